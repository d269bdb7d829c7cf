"""End-to-end tests of the five simulated runners, run as the hardware tests
run them: every configuration the test catalogue uses passes; bad values end
with exit code 2 and one line naming the variable; corrupted data ends with
exit code 1 naming the first mismatch; fault rules end a runner as asked; the
GEMM runner's profile passes `zel-profile check` and decodes as 1,472 tiles.

Usage: runners_e2e_test.py RUNNER_DIR ZEL_PROFILE CAPNP_SCHEMA
"""

import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

from catalogue import launches
from e2e import clean_env, run

RUNNER_DIR, ZEL_PROFILE, SCHEMA = sys.argv[1:4]
del sys.argv[1:4]


def runner(name):
    return os.path.join(RUNNER_DIR, name)


HOST, GRAPH, RANDOM, GEMM, ATTENTION = (
    "zel-host-e2e", "zel-hardware-e2e", "zel-randomized-e2e", "zel-gemm-e2e",
    "zel-attention-f16-e2e")

# Every runner configuration of the hardware tests (the GEMM profile path is added per run).
CATALOGUE = [(launch.runner, {k: v for k, v in launch.added if k != "ZEL_PROFILE_OUTPUT"})
             for test_launches in launches("").values() for launch in test_launches]

# Further combinations that must work too.
EXTRA = [
    (HOST, {"ZEL_HOST_TEST_TILES": "5,741", "ZEL_HOST_TEST_EXCHANGE": "1",
            "ZEL_HOST_TEST_RESIDENT_INPUT": "1", "ZEL_HOST_TEST_INVOCATIONS": "2"}),
    (HOST, {"ZEL_HOST_TEST_TILES": "5,741", "ZEL_HOST_TEST_COMPUTE_RELAY": "1",
            "ZEL_HOST_TEST_ADDRESS": "0x6fff0", "ZEL_HOST_TEST_BYTES": "16"}),
    (HOST, {"ZEL_HOST_TEST_D2H_ONLY": "1", "ZEL_HOST_TEST_INVOCATIONS": "2",
            "ZEL_HOST_TEST_ADDRESS": "0x3", "ZEL_HOST_TEST_BYTES": "1"}),
    (HOST, {"ZEL_HOST_TEST_TILE": "", "ZEL_HOST_TEST_BYTES": ""}),  # empty counts as unset
    (RANDOM, {}),
    (GEMM, {"ZEL_GEMM_DIMENSION": "16"}),
    (GEMM, {"ZEL_GEMM_DIMENSION": "256", "ZEL_GEMM_SRAM_CHECK_BLOCK": "15,0"}),
]

MISMATCH = re.compile(
    rb"^(zel-[a-z0-9-]+): [^\n]*mismatch on tile \d+ at address 0x[0-9a-f]+: "
    rb"expected [^\n]+, found [^\n]+\n$")

JITTER = {"ZEL_HOST_WRITE_JITTER_MAX_US": "40", "ZEL_HOST_WRITE_JITTER_SEED": "7"}


def label(name, env):
    return name + " " + " ".join(f"{k}={v}" for k, v in env.items())[:120]


class Catalogue(unittest.TestCase):
    def test_every_configuration_passes_silently(self):
        for name, env in CATALOGUE + EXTRA:
            with self.subTest(label(name, env)):
                result = run([runner(name)], env=env)
                self.assertEqual((result.status, result.stderr), (0, b""))

    def test_results_do_not_depend_on_host_write_jitter(self):
        for name, env in CATALOGUE:
            for jitter in (JITTER, {"ZEL_HOST_WRITE_JITTER_SEED": "13503953896175478587"}):
                with self.subTest(label(name, {**env, **jitter})):
                    result = run([runner(name)], env={**env, **jitter})
                    self.assertEqual((result.status, result.stderr), (0, b""))

    def test_corrupted_data_fails_every_scenario_naming_the_mismatch(self):
        for name, env in CATALOGUE + EXTRA:
            with self.subTest(label(name, env)):
                result = run([runner(name)], env={**env, "ZEL_SIM_FAULT": "corrupt"})
                self.assertEqual(result.status, 1, result.stderr)
                match = MISMATCH.match(result.stderr)
                self.assertIsNotNone(match, result.stderr)
                self.assertEqual(match.group(1).decode(), name)

    def test_mismatch_messages(self):
        cases = [
            (HOST, {}, "zel-host-e2e: invocation 1 of 1: mismatch on tile 0 at address 0x1001: "
                       "expected 0xcb, found 0x34"),
            (HOST, {"ZEL_HOST_TEST_EXCHANGE": "1", "ZEL_HOST_TEST_TILE": "1471"},
             "zel-host-e2e: invocation 1 of 1: mismatch on tile 735 at address 0x1001: "
             "expected 0xed, found 0x12"),
            (GEMM, {}, "zel-gemm-e2e: C[0][0]: mismatch on tile 0 at address 0x10000: "
                       "expected -120, found -120.49805"),
        ]
        for name, env, line in cases:
            with self.subTest(label(name, env)):
                result = run([runner(name)], env={**env, "ZEL_SIM_FAULT": "corrupt"})
                self.assertEqual((result.status, result.stderr), (1, (line + "\n").encode()))


class BadValues(unittest.TestCase):
    TILES_EXPECTED = 'expected tile numbers from 0 to 1471 joined by ","'
    FLAG_EXPECTED = 'expected "1" (on) or "0" (off)'
    CASES = [
        (HOST, {"ZEL_HOST_TEST_TILE": "1472"},
         'ZEL_HOST_TEST_TILE is "1472", expected a tile number from 0 to 1471'),
        (HOST, {"ZEL_HOST_TEST_TILE": "-1"},
         'ZEL_HOST_TEST_TILE is "-1", expected a tile number from 0 to 1471'),
        (HOST, {"ZEL_HOST_TEST_TILE": b"\xff7\n"},
         'ZEL_HOST_TEST_TILE is "\\xff7\\n", expected a tile number from 0 to 1471'),
        (HOST, {"ZEL_HOST_TEST_TILES": "1471,1472"},
         'ZEL_HOST_TEST_TILES is "1471,1472", ' + TILES_EXPECTED),
        (HOST, {"ZEL_HOST_TEST_TILES": "1,,2"}, 'ZEL_HOST_TEST_TILES is "1,,2", ' + TILES_EXPECTED),
        (HOST, {"ZEL_HOST_TEST_TILES": "1, 2"}, 'ZEL_HOST_TEST_TILES is "1, 2", ' + TILES_EXPECTED),
        (HOST, {"ZEL_HOST_TEST_TILES": "5,9,5"},
         'ZEL_HOST_TEST_TILES is "5,9,5", expected distinct tile numbers, but 5 appears more '
         'than once'),
        (HOST, {"ZEL_HOST_TEST_TILE": "1", "ZEL_HOST_TEST_TILES": "2,3"},
         'ZEL_HOST_TEST_TILES is "2,3", expected only one of ZEL_HOST_TEST_TILE and '
         'ZEL_HOST_TEST_TILES to be set'),
        (HOST, {"ZEL_HOST_TEST_BYTES": "0"},
         'ZEL_HOST_TEST_BYTES is "0", expected a transfer size in bytes from 1 to 458752'),
        (HOST, {"ZEL_HOST_TEST_BYTES": "99999999999999999999"},
         'ZEL_HOST_TEST_BYTES is "99999999999999999999", expected a transfer size in bytes from '
         '1 to 458752'),
        (HOST, {"ZEL_HOST_TEST_ADDRESS": "60000"},
         'ZEL_HOST_TEST_ADDRESS is "60000", expected a hexadecimal address with "0x" from 0x0 '
         'to 0x6ffff'),
        (HOST, {"ZEL_HOST_TEST_ADDRESS": "0x70000"},
         'ZEL_HOST_TEST_ADDRESS is "0x70000", expected a hexadecimal address with "0x" from 0x0 '
         'to 0x6ffff'),
        (HOST, {"ZEL_HOST_TEST_ADDRESS": "0x60000", "ZEL_HOST_TEST_BYTES": "65537"},
         'ZEL_HOST_TEST_BYTES is "65537", expected at most 65536 bytes from address 0x60000, '
         "where the tile's 0x70000-byte SRAM ends"),
        (HOST, {"ZEL_HOST_TEST_BYTES": "458752"},
         'ZEL_HOST_TEST_BYTES is "458752", expected at most 454656 bytes from address 0x1000, '
         "where the tile's 0x70000-byte SRAM ends"),
        (HOST, {"ZEL_HOST_TEST_INVOCATIONS": "0"},
         'ZEL_HOST_TEST_INVOCATIONS is "0", expected a number of invocations from 1 to 100'),
        (HOST, {"ZEL_HOST_TEST_INVOCATIONS": "101"},
         'ZEL_HOST_TEST_INVOCATIONS is "101", expected a number of invocations from 1 to 100'),
        (HOST, {"ZEL_HOST_TEST_D2H_ONLY": "true"},
         'ZEL_HOST_TEST_D2H_ONLY is "true", ' + FLAG_EXPECTED),
        (HOST, {"ZEL_HOST_TEST_COMPUTE_RELAY": "2"},
         'ZEL_HOST_TEST_COMPUTE_RELAY is "2", ' + FLAG_EXPECTED),
        (HOST, {"ZEL_HOST_TEST_INITIALIZED_EXCHANGE": "1"},
         'ZEL_HOST_TEST_INITIALIZED_EXCHANGE is "1", expected it only together with '
         'ZEL_HOST_TEST_EXCHANGE="1"'),
        (HOST, {"ZEL_HOST_TEST_RESIDENT_INPUT": "1", "ZEL_HOST_TEST_REMOTE_D2H": "1"},
         'ZEL_HOST_TEST_RESIDENT_INPUT is "1", expected it unset when the tiles initialise their '
         'own data (ZEL_HOST_TEST_D2H_ONLY, ZEL_HOST_TEST_REMOTE_D2H or '
         'ZEL_HOST_TEST_INITIALIZED_EXCHANGE)'),
        (HOST, {"ZEL_HOST_WRITE_JITTER_MAX_US": "lots"},
         'ZEL_HOST_WRITE_JITTER_MAX_US is "lots", expected a delay in microseconds from 0 to '
         '1000000'),
        (GEMM, {"ZEL_HOST_WRITE_JITTER_SEED": "-7"},
         'ZEL_HOST_WRITE_JITTER_SEED is "-7", expected an unsigned 64-bit decimal number'),
        (GRAPH, {},
         'ZEL_GRAPH_TEST is not set, expected one of "fanout", "reduction", "permutation", '
         '"reduction-permutation", "multicast", "compiler-segmented-add"'),
        (GRAPH, {"ZEL_GRAPH_TEST": "Fanout"},
         'ZEL_GRAPH_TEST is "Fanout", expected one of "fanout", "reduction", "permutation", '
         '"reduction-permutation", "multicast", "compiler-segmented-add"'),
        (RANDOM, {"ZEL_RANDOM_SEED": "18446744073709551616"},
         'ZEL_RANDOM_SEED is "18446744073709551616", expected an unsigned 64-bit decimal seed'),
        (RANDOM, {"ZEL_RANDOM_SEED": "0x10"},
         'ZEL_RANDOM_SEED is "0x10", expected an unsigned 64-bit decimal seed'),
        (ATTENTION, {"ZEL_CARD": "card-0"},
         'ZEL_CARD is "card-0", expected a card id of 1 to 64 characters from a-z, 0-9 and _'),
        (HOST, {"ZEL_CARD": "c" * 65},
         f'ZEL_CARD is "{"c" * 65}", expected a card id of 1 to 64 characters from a-z, 0-9 '
         'and _'),
        (GEMM, {"ZEL_GEMM_DIMENSION": "100"},
         'ZEL_GEMM_DIMENSION is "100", expected a multiple of 16 from 16 to 256'),
        (GEMM, {"ZEL_GEMM_DIMENSION": "0128"}, None),  # leading zeros are plain decimal
        (GEMM, {"ZEL_GEMM_DIMENSION": "0"},
         'ZEL_GEMM_DIMENSION is "0", expected a multiple of 16 from 16 to 256'),
        (GEMM, {"ZEL_GEMM_DIMENSION": "272"},
         'ZEL_GEMM_DIMENSION is "272", expected a multiple of 16 from 16 to 256'),
        (GEMM, {"ZEL_GEMM_SRAM_CHECK_BLOCK": "8,1"},
         'ZEL_GEMM_SRAM_CHECK_BLOCK is "8,1", expected "row,column" with each from 0 to 7'),
        (GEMM, {"ZEL_GEMM_SRAM_CHECK_BLOCK": "1"},
         'ZEL_GEMM_SRAM_CHECK_BLOCK is "1", expected "row,column" with each from 0 to 7'),
        (GEMM, {"ZEL_GEMM_SRAM_CHECK_BLOCK": "1,1,1"},
         'ZEL_GEMM_SRAM_CHECK_BLOCK is "1,1,1", expected "row,column" with each from 0 to 7'),
        (GEMM, {"ZEL_GEMM_DIMENSION": "32", "ZEL_GEMM_SRAM_CHECK_BLOCK": "0,2"},
         'ZEL_GEMM_SRAM_CHECK_BLOCK is "0,2", expected "row,column" with each from 0 to 1'),
    ]

    def test_bad_values_exit_2_with_one_line_naming_variable_and_value(self):
        for name, env, message in self.CASES:
            with self.subTest(label(name, {k: repr(v) for k, v in env.items()})):
                result = run([runner(name)], env=env)
                if message is None:
                    self.assertEqual((result.status, result.stderr), (0, b""))
                else:
                    expected = f"{name}: {message}\n".encode()
                    self.assertEqual((result.status, result.stderr), (2, expected))

    def test_a_malformed_fault_rule_stops_every_runner(self):
        for name in (HOST, GRAPH, RANDOM, GEMM, ATTENTION):
            with self.subTest(name):
                result = run([runner(name)], env={"ZEL_SIM_FAULT": "corrupt,zel-gemm=exit:1",
                                                  "ZEL_GRAPH_TEST": "fanout"})
                self.assertEqual(result.status, 2)
                self.assertEqual(
                    result.stderr,
                    f'{name}: ZEL_SIM_FAULT rule "zel-gemm=exit:1" is malformed, expected a '
                    'runner name before "=": zel-host-e2e, zel-hardware-e2e, zel-randomized-e2e, '
                    'zel-gemm-e2e or zel-attention-f16-e2e\n'.encode())


class FaultRules(unittest.TestCase):
    def test_rules_end_the_runner_as_asked(self):
        cases = [
            (GEMM, "zel-gemm-e2e=signal:9", -9),
            (GEMM, "zel-host-e2e=signal:9", 0),          # a rule for another runner
            (HOST, "exit:3,exit:4", 3),                   # in order, the first ends it
            (HOST, "exit:0", 0),
            (ATTENTION, "signal:11", -11),
            (RANDOM, "corrupt,exit:0", 0),                 # ends before the corruption shows
            (GRAPH, "zel-hardware-e2e=exit:255", 255),
        ]
        for name, rules, status in cases:
            with self.subTest(f"{name} {rules}"):
                result = run([runner(name)], env={"ZEL_SIM_FAULT": rules,
                                                  "ZEL_GRAPH_TEST": "fanout"})
                self.assertEqual((result.status, result.stderr), (status, b""))

    def test_sleep_waits_before_the_scenario(self):
        started = time.monotonic()
        result = run([runner(HOST)], env={"ZEL_SIM_FAULT": "sleep:0.3,exit:6"})
        self.assertGreaterEqual(time.monotonic() - started, 0.3)
        self.assertEqual(result.status, 6)

    def test_bad_values_are_reported_before_any_rule_applies(self):
        result = run([runner(HOST)], env={"ZEL_SIM_FAULT": "exit:0", "ZEL_HOST_TEST_TILE": "x"})
        self.assertEqual(result.status, 2)


class CardClaim(unittest.TestCase):
    def test_a_second_runner_on_a_busy_card_fails_and_other_cards_are_free(self):
        with tempfile.TemporaryDirectory() as state:
            holder = subprocess.Popen(
                [runner(ATTENTION)], env=clean_env({"ZEL_SIM_CARD_STATE_DIR": state,
                                                   "ZEL_SIM_FAULT": "sleep:2"}))
            try:
                busy = os.path.join(state, "card-0.busy")
                deadline = time.monotonic() + 10
                while not os.path.exists(busy) and time.monotonic() < deadline:
                    time.sleep(0.01)
                cases = [({}, 1, b"zel-host-e2e: card 0 busy\n"),
                         ({"ZEL_CARD": "0"}, 1, b"zel-host-e2e: card 0 busy\n"),
                         ({"ZEL_CARD": "1"}, 0, b"")]
                for env, status, stderr in cases:
                    with self.subTest(env):
                        result = run([runner(HOST)],
                                     env={"ZEL_SIM_CARD_STATE_DIR": state, **env})
                        self.assertEqual((result.status, result.stderr), (status, stderr))
            finally:
                holder.kill()
                holder.wait()
            # The claim ends with the runner.
            self.assertEqual(run([runner(HOST)], env={"ZEL_SIM_CARD_STATE_DIR": state}).status, 0)
            self.assertEqual(sorted(os.listdir(state)), ["card-0.busy", "card-1.busy"])


class GemmProfile(unittest.TestCase):
    def test_profile_covers_every_tile_and_kind_and_passes_the_checker(self):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "zel-stack-gemm-profile-42.capnp")
            # A stale file is replaced, not appended to.
            with open(path, "wb") as stale:
                stale.write(b"\xff" * 5_000_000)
            result = run([runner(GEMM)], env={"ZEL_GEMM_DIMENSION": "128",
                                              "ZEL_PROFILE_OUTPUT": path,
                                              "ZEL_GEMM_SRAM_CHECK_BLOCK": "1,1", **JITTER})
            self.assertEqual((result.status, result.stderr), (0, b""))

            check = run([ZEL_PROFILE, "check", path])
            self.assertEqual(check.status, 0, check.stderr)
            self.assertIn(b"tiles: 1472\n", check.stdout)
            self.assertIn(b"distinct_physical_tiles: 1472\n", check.stdout)

            with open(path, "rb") as profile:
                text = subprocess.run(["capnp", "decode", "-I/usr/include", SCHEMA, "Profile"],
                                      stdin=profile, capture_output=True, check=True).stdout
        self.assertIn(b"schemaVersion = 3,", text)
        self.assertIn(b"clockHz = 1850000000,", text)
        tiles = re.findall(rb"physicalTile = (\d+),\s+samples = \[", text)
        self.assertEqual([int(t) for t in tiles], list(range(1472)))
        self.assertEqual(len(re.findall(rb"samples = \[\]", text)), 0)
        kinds = set(re.findall(rb"kind = (\w+)", text))
        self.assertEqual(kinds, {b"exchange", b"compute", b"synchronization", b"idle"})

    def test_a_profile_that_cannot_be_written_fails_with_the_os_error(self):
        with tempfile.TemporaryDirectory() as tmp:
            for path, error in ((os.path.join(tmp, "missing", "p.capnp"),
                                 "No such file or directory (os error 2)"),
                                (tmp, "Is a directory (os error 21)")):
                with self.subTest(path):
                    result = run([runner(GEMM)], env={"ZEL_PROFILE_OUTPUT": path})
                    expected = (f'zel-gemm-e2e: cannot write the profile to "{path}" '
                                f"(ZEL_PROFILE_OUTPUT): {error}\n")
                    self.assertEqual((result.status, result.stderr), (1, expected.encode()))

    def test_a_failed_check_still_leaves_the_profile_of_what_ran(self):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "p.capnp")
            result = run([runner(GEMM)], env={"ZEL_PROFILE_OUTPUT": path,
                                              "ZEL_SIM_FAULT": "corrupt"})
            self.assertEqual(result.status, 1)
            self.assertIn(b"mismatch", result.stderr)
            checked = run([ZEL_PROFILE, "check", path])
            self.assertEqual(checked.status, 0, checked.stderr)


if __name__ == "__main__":
    unittest.main()
