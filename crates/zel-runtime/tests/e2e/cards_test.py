"""Cards and shards, against the stand-in runners: two programs on one card
never have runners alive at once, on two cards they do; every runner learns
its card; with no variable set nothing of it shows; three shards run the
tests once each, touch the status file and leave a JUnit document; malformed
variables stop the program before any test."""

import json
import os
import pathlib
import subprocess
import tempfile
import socket
import unittest

import junitparser

from e2e import clean_env, run
from standin import STANDIN_BIN, catalogue, discovery_project, gemm_writes, run_program

NAMES = [t.name for t in catalogue("")]
STANDIN_DIR = os.path.join(os.path.dirname(STANDIN_BIN), "standin-runners")
SCHEMA = str(pathlib.Path(__file__).resolve().parents[4] / "tests/support/junit-ci.xsd")
LAUNCHES = sum(len(t.launches) for t in catalogue(""))
# Every launch takes a while, so that runners of two programs would meet if allowed,
# even when a loaded machine starts one program late.
SLOW = [{**gemm_writes("valid"), "do": {**gemm_writes("valid")["do"], "sleep": 0.1}},
        {"do": {"sleep": 0.1}}]


def run_together(cards, scratch):
    """Starts one program per card id in `cards` at once; returns their
    statuses and every runner's log record."""
    log = os.path.join(scratch, "launches.jsonl")
    programs = [subprocess.Popen(
        [STANDIN_BIN], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        env=clean_env({"ZEL_CARD": card, "ZEL_CARD_LOCK_DIR": scratch, "STANDIN_LOG": log,
                       "STANDIN_PLAN": json.dumps(SLOW)}))
        for card in cards]
    outputs = [p.communicate(timeout=120)[0] for p in programs]
    with open(log, encoding="utf-8") as lines:
        records = [json.loads(line) for line in lines]
    card_of = {p.pid: card for p, card in zip(programs, cards)}
    return [p.returncode for p in programs], outputs, records, card_of


def overlaps(records):
    """Pairs of runners of different programs that were alive at the same time."""
    return sum(1 for i, a in enumerate(records) for b in records[i + 1:]
               if a["ppid"] != b["ppid"] and a["start"] < b["end"] and b["start"] < a["end"])


class Cards(unittest.TestCase):
    def test_one_card_is_never_shared_and_two_cards_run_at_once(self):
        for cards, shared in ((["0", "0"], False), (["0", "1"], True)):
            with self.subTest(cards=cards), tempfile.TemporaryDirectory() as scratch:
                statuses, outputs, records, card_of = run_together(cards, scratch)
                self.assertEqual(statuses, [0, 0], b"".join(outputs).decode())
                self.assertEqual(len(records), 2 * LAUNCHES)
                for record in records:
                    env = dict(record["env"])
                    self.assertEqual(env.get("ZEL_CARD"), card_of[record["ppid"]])
                if shared:
                    self.assertGreater(overlaps(records), 0)
                else:
                    self.assertEqual(overlaps(records), 0)
                self.assertEqual(sorted(os.listdir(scratch)),
                                 ["launches.jsonl"] + [f"zel-t742-card-{c}.lock"
                                                       for c in sorted(set(cards))])

    def test_without_a_card_no_runner_gets_one_and_no_lock_file_appears(self):
        with tempfile.TemporaryDirectory() as locks:
            program = run_program(STANDIN_BIN, plan=[gemm_writes("valid")],
                                  env={"ZEL_CARD_LOCK_DIR": locks})
            self.assertEqual(program.status, 0, program.stdout.decode())
            self.assertEqual(len(program.records), LAUNCHES)
            self.assertFalse(any(r.value("ZEL_CARD") is not None for r in program.records))
            self.assertEqual(os.listdir(locks), [])

    def test_a_test_that_cannot_lock_its_card_fails_naming_the_path(self):
        program = run_program(STANDIN_BIN, ["--exact", "direct_multicast_works"],
                              env={"ZEL_CARD": "7", "ZEL_CARD_LOCK_DIR": "/nonexistent"})
        self.assertEqual(program.status, 101)
        self.assertEqual(program.records, [])
        self.assertIn(b"cannot lock card 7: create /nonexistent/zel-t742-card-7.lock: "
                      b"No such file or directory", program.stdout)


class Shards(unittest.TestCase):
    def test_three_shards_run_every_test_once_and_report_as_engines_expect(self):
        seen = []
        with tempfile.TemporaryDirectory() as scratch:
            for index in range(3):
                files = {name: os.path.join(scratch, f"{name}-{index}") for name in
                         ("TEST_SHARD_STATUS_FILE", "XML_OUTPUT_FILE", "TEST_PREMATURE_EXIT_FILE")}
                env = {"TEST_TOTAL_SHARDS": "3", "TEST_SHARD_INDEX": str(index), **files,
                       "ZEL_CARD": "2", "ZEL_CARD_LOCK_DIR": scratch}
                listed = run([STANDIN_BIN, "--list"], env=env)
                program = run_program(STANDIN_BIN, plan=[gemm_writes("valid")], env=env)
                self.assertEqual(program.status, 0, program.stdout.decode())
                [suite] = junitparser.JUnitXml.fromfile(files["XML_OUTPUT_FILE"])
                names = [case.name for case in suite]
                self.assertEqual(sorted(names), sorted(NAMES[index::3]))
                # Which host, card and shard; when; every test's time, --report-time or not.
                self.assertEqual({p.name: p.value for p in suite.properties()},
                                 {"card": "2", "host": socket.gethostname(),
                                  "runner_dir": STANDIN_DIR, "shard": f"{index + 1}/3"})
                self.assertEqual(suite.hostname, socket.gethostname())
                self.assertRegex(suite.timestamp, r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d$")
                self.assertTrue(all(case.time > 0 for case in suite))
                self.assertEqual(subprocess.run(["xmllint", "--noout", "--schema", SCHEMA,
                                                 files["XML_OUTPUT_FILE"]],
                                                capture_output=True).returncode, 0)
                self.assertEqual(listed.stdout.decode().splitlines()[:-2],
                                 [f"{n}: test" for n in NAMES[index::3]])
                self.assertTrue(os.path.exists(files["TEST_SHARD_STATUS_FILE"]))
                self.assertFalse(os.path.exists(files["TEST_PREMATURE_EXIT_FILE"]))
                self.assertIn(f"{len(NAMES) - len(names)} filtered out".encode(), program.stdout)
                seen += names
        self.assertEqual(sorted(seen), sorted(NAMES))


class DiscoveryModule(unittest.TestCase):
    def test_another_project_registers_every_test_even_inside_a_shard(self):
        with tempfile.TemporaryDirectory() as project:
            build = discovery_project(project, 'DEFAULT_CARD lab_2 RUNNER_TIMEOUT 02.5 PROPERTIES '
                                               'PROCESSORS 2 ENVIRONMENT "A=1;B=2"')
            # ctest started by a CI shard, with a card of its own and a malformed one.
            shown = run(["ctest", "--test-dir", build, "-N", "--show-only=json-v1"],
                        env={"TEST_TOTAL_SHARDS": "3", "TEST_SHARD_INDEX": "1",
                             "ZEL_CARD": "not a card"})
            self.assertEqual(shown.status, 0, shown.stderr.decode())
            tests = json.loads(shown.stdout)["tests"]
            self.assertEqual([t["name"] for t in tests], [f"hw.{n}" for n in NAMES])
            properties = {p["name"]: p["value"] for p in tests[0]["properties"]}
            self.assertEqual(properties["ENVIRONMENT"],
                             ["ZEL_DEFAULT_CARD=lab_2", "ZEL_RUNNER_TIMEOUT=02.5", "A=1", "B=2"])
            self.assertIn("TESTBRIDGE_TEST_ONLY=unset:", properties["ENVIRONMENT_MODIFICATION"])
            self.assertEqual(properties["LABELS"], ["hardware"])
            self.assertEqual(properties["RESOURCE_GROUPS"],
                             [{"requirements": [{".type": "cards", "slots": 1}]}])
            # The bound plus the grace period and a margin: ctest's backstop.
            self.assertEqual((properties["TIMEOUT"], properties["PROCESSORS"]), (37.5, 2))
            self.assertEqual(tests[0]["command"], [STANDIN_BIN, "--exact", NAMES[0]])


class BadVariables(unittest.TestCase):
    CASES = [
        ({"ZEL_CARD": "card-0"},
         'ZEL_CARD is "card-0", expected a card id of 1 to 64 characters from a-z, 0-9 and _'),
        ({"CTEST_RESOURCE_GROUP_COUNT": "1", "CTEST_RESOURCE_GROUP_0": "cards",
          "CTEST_RESOURCE_GROUP_0_CARDS": "id:0"},
         'CTEST_RESOURCE_GROUP_0_CARDS is "id:0", expected "id:<card id>,slots:<count>" with a '
         'card id of 1 to 64 characters from a-z, 0-9 and _'),
        ({"XML_OUTPUT_FILE": "/nonexistent/report.xml"},
         'cannot create XML_OUTPUT_FILE "/nonexistent/report.xml": No such file or directory'),
        ({"ZEL_REPORT_DIR": "/dev/null/reports"},
         'cannot create ZEL_REPORT_DIR "/dev/null/reports": Not a directory'),
        ({"ZEL_RUNNER_TIMEOUT": "1e3"},
         'ZEL_RUNNER_TIMEOUT is "1e3", expected seconds above 0 and at most 604800, such as 600 '
         'or 2.5'),
        ({"TEST_SHARD_INDEX": "0"},
         "TEST_SHARD_INDEX is set but TEST_TOTAL_SHARDS is not; a test engine sets both"),
    ]

    def test_stop_before_any_test_with_one_line_and_status_101(self):
        for env, message in self.CASES:
            with self.subTest(env):
                program = run_program(STANDIN_BIN, env=env)
                self.assertEqual((program.status, program.stdout, program.stderr),
                                 (101, b"", f"error: {message}\n".encode()))
                self.assertEqual(program.records, [])
                # A listing reads the shard variables only.
                listed = run([STANDIN_BIN, "--list"], env=env)
                self.assertEqual(listed.status, 101 if "TEST_SHARD_INDEX" in env else 0)

    def test_a_document_that_cannot_be_written_fails_the_run_naming_the_path(self):
        # A folder where the document should go passes the check at the start
        # (its temporary file is made beside it) and refuses the rename at the end.
        with tempfile.TemporaryDirectory() as scratch:
            target = os.path.join(scratch, "report.xml")
            os.mkdir(target)
            program = run_program(STANDIN_BIN, env={"XML_OUTPUT_FILE": target})
            self.assertEqual(program.status, 101)
            self.assertTrue(program.stderr.endswith(
                f'error: cannot write XML_OUTPUT_FILE "{target}": Is a directory\n'.encode()),
                program.stderr)
            self.assertEqual(os.listdir(scratch), ["report.xml"])


if __name__ == "__main__":
    unittest.main()
