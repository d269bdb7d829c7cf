"""How failing runners fail their tests: the exact messages for exit codes,
signals and core dumps, for runners that cannot be started, and for a later
launch of a test that launches several times."""

import os
import tempfile
import unittest

from standin import (BROKEN_BIN, STANDIN_BIN, catalogue, failure_messages, gemm_writes,
                     run_program)



def summary_all_failed():
    return (f"test result: FAILED. 0 passed; {len(catalogue(''))} failed; 0 ignored; 0 measured; "
            "0 filtered out").encode()


def capability(description, status_text):
    return f'hardware capability "{description}" failed with {status_text}'


class RunnerEndings(unittest.TestCase):
    def assert_every_test_fails_with(self, plan, status_text):
        result = run_program(STANDIN_BIN, plan=plan)
        self.assertEqual(result.status, 101)
        tests = catalogue("")
        self.assertIn(summary_all_failed(), result.stdout)
        expected = {t.name: capability(t.launches[0].description, status_text) for t in tests}
        self.assertEqual(failure_messages(result.stdout), expected)
        # The first failing launch ends its test: one launch per test.
        self.assertEqual(len(result.records), len(tests))

    def test_exit_codes(self):
        for code in (2, 255):
            with self.subTest(code=code):
                self.assert_every_test_fails_with([{"do": {"exit": code}}],
                                                  f"exit status: {code}")

    def test_signals(self):
        for number, text in ((9, "signal: 9 (SIGKILL)"), (34, "signal: 34")):
            with self.subTest(signal=number):
                self.assert_every_test_fails_with([{"do": {"signal": number}}], text)

    def test_one_failing_test_alone_fails(self):
        result = run_program(STANDIN_BIN, plan=[
            {"when": {"runner": "zel-host-e2e", "env": {"ZEL_HOST_TEST_D2H_ONLY": "1"}},
             "do": {"exit": 2}}, gemm_writes("valid")])
        self.assertEqual(result.status, 101)
        self.assertEqual(failure_messages(result.stdout), {
            "initialized_local_tile_d2h_works":
                'hardware capability "initialized tile D2H" failed with exit status: 2'})
        self.assertIn(f"test result: FAILED. {len(catalogue('')) - 1} passed; 1 failed;".encode(),
                      result.stdout)

    def test_core_dump_is_named(self):
        with open("/proc/sys/kernel/core_pattern") as f:
            pattern = f.read().strip()
        if not pattern or pattern.startswith("|"):
            self.skipTest(f"core files go to {pattern!r}")
        with tempfile.TemporaryDirectory() as cores:
            result = run_program(STANDIN_BIN, ["--exact", "local_h2d_and_d2h_round_trip_works"],
                                 plan=[{"do": {"signal": 11, "core_dir": cores}}])
            dumped = any(name.startswith("core") for name in os.listdir(cores))
        suffix = " (core dumped)" if dumped else ""
        self.assertEqual(failure_messages(result.stdout), {
            "local_h2d_and_d2h_round_trip_works":
                capability("local H2D and D2H", "signal: 11 (SIGSEGV)" + suffix)})

    def test_later_launch_failure_ends_the_test_there(self):
        tests = {t.name: t for t in catalogue("")}
        cases = [
            ("randomized_static_d2d_graphs_work", "zel-randomized-e2e",
             {"ZEL_RANDOM_SEED": "7640891576956012809"}, 1),
            ("randomized_multi_tile_host_round_trips_work", "zel-host-e2e",
             {"ZEL_HOST_TEST_BYTES": "8192", "ZEL_HOST_TEST_TILES": "19,82,416,602,829,893,1065,1187"}, 2),
        ]
        for name, runner, env, index in cases:
            with self.subTest(name):
                result = run_program(STANDIN_BIN, ["--exact", name],
                                     plan=[{"when": {"runner": runner, "env": env},
                                            "do": {"exit": 7}}])
                self.assertEqual(result.status, 101)
                self.assertEqual(failure_messages(result.stdout), {
                    name: capability(tests[name].launches[index].description, "exit status: 7")})
                self.assertEqual(len(result.records), index + 1)


class LaunchFailures(unittest.TestCase):
    def test_missing_or_unexecutable_runner_gives_the_tests_launch_message(self):
        result = run_program(BROKEN_BIN)
        self.assertEqual(result.status, 101)
        self.assertIn(summary_all_failed(), result.stdout)
        missing = 'Os { code: 2, kind: NotFound, message: "No such file or directory" }'
        denied = 'Os { code: 13, kind: PermissionDenied, message: "Permission denied" }'
        expected = {}
        for test in catalogue(""):
            error = denied if test.name == "blocked_gemm_with_cycle_profile_works" else missing
            expected[test.name] = f"{test.launches[0].launch_message}: {error}"
        self.assertEqual(failure_messages(result.stdout), expected)


if __name__ == "__main__":
    unittest.main()
