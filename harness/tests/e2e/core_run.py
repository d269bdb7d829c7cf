"""End-to-end tests of the harness core on harness_selftest: exit statuses,
failure reports, fatal stops, output errors, the log file, fail-fast and the
test threads' stack and names."""

import os
import re
import sys
import tempfile
import unittest

from e2e import normalise_thread_ids, run

BIN = sys.argv.pop(1)

NOTE = b"note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n"


def selftest(registry, *args, env=None, **kwargs):
    return run([BIN, *args], env={"HARNESS_SELFTEST_REGISTRY": registry, **(env or {})}, **kwargs)


class ExitStatus(unittest.TestCase):
    def test_status_by_outcome(self):
        cases = [
            ("basic", [], 101),            # some tests fail
            ("basic", ["--exact", "passes", "passes_printing"], 0),
            ("basic", ["ignored"], 0),     # ignored tests do not fail a run
            ("many", [], 0),
            ("timing", ["zzz"], 0),        # nothing selected
            ("basic", ["-Z", "unstable-options", "--fail-fast"], 101),
        ]
        for registry, args, status in cases:
            with self.subTest(registry=registry, args=args):
                self.assertEqual(selftest(registry, *args, env={"RUSTC_BOOTSTRAP": "1"}).status,
                                 status)

    def test_nothing_selected_runs_zero_tests(self):
        result = selftest("timing", "zzz", env={"RUST_TEST_THREADS": "1"})
        self.assertEqual(result.status, 0)
        self.assertTrue(result.stdout.startswith(b"\nrunning 0 tests\n\ntest result: ok. 0 passed; "
                                                 b"0 failed; 0 ignored; 0 measured; 5 filtered out"))

    def test_fail_fast_abandons_running_tests_without_crashing(self):
        # Sixteen failing tests on eight threads: the first failure ends the
        # process while others still print.
        result = selftest("markers", "-Z", "unstable-options", "--fail-fast", env={
            "RUSTC_BOOTSTRAP": "1",
            "HARNESS_SELFTEST_COUNT": "16", "HARNESS_SELFTEST_REPEAT": "2000",
            "HARNESS_SELFTEST_FAIL": "1", "RUST_TEST_THREADS": "8"})
        self.assertEqual(result.status, 101)
        self.assertIn(b"test result: FAILED.", result.stdout)
        self.assertEqual(result.stderr, b"")


class FailureReports(unittest.TestCase):
    def test_report_is_in_the_failed_tests_output(self):
        result = selftest("basic", env={"RUST_TEST_THREADS": "1"})
        out = normalise_thread_ids(result.stdout)
        self.assertRegex(
            out,
            rb"\n---- fails_with_panic stdout ----\nbefore the failure\n\n"
            rb"thread 'fails_with_panic' \(TID\) panicked at "
            rb"harness/tests/selftest/selftest_main\.cpp:\d+:\d+:\n"
            rb"assertion failed: left == right\n\n---- fails_with_unwrap stdout ----\n\n"
            rb"thread 'fails_with_unwrap' \(TID\) panicked at "
            rb"harness/tests/selftest/selftest_main\.cpp:\d+:\d+:\n"
            rb"called `Result::unwrap\(\)` on an `Err` value: SelftestError\(\"no such tile\"\)\n\n")
        self.assertIn(b"\n---- expect_failure_message_differs stdout ----\n\nthread "
                      b"'expect_failure_message_differs' (TID) panicked at ", out)
        self.assertIn(b"another text\nnote: panic did not contain expected string\n"
                      b"      panic message: \"another text\"\n"
                      b" expected substring: \"expected text\"\n", out)
        # The backtrace note goes with the first report of the process only:
        # in a serial run that is the expected failure, whose output is hidden.
        self.assertNotIn(NOTE, out)

    def test_backtrace_note_once_per_process(self):
        result = selftest("basic", "--show-output", env={"RUST_TEST_THREADS": "1"})
        out = normalise_thread_ids(result.stdout)
        self.assertEqual(out.count(NOTE), 1)
        self.assertIn(b"---- expect_failure_any_message stdout ----\n\nthread "
                      b"'expect_failure_any_message' (TID) panicked at ", out)
        self.assertRegex(out, rb"selftest_main\.cpp:\d+:\d+:\nany failure\n" + re.escape(NOTE))

    def test_backtrace_when_asked_for(self):
        result = selftest("basic", "fails_with_panic", env={"RUST_BACKTRACE": "1"})
        self.assertRegex(result.stdout, rb"assertion failed: left == right\nstack backtrace:\n"
                                        rb"   0: [^\n]*fails_with_panic")
        self.assertNotIn(NOTE, result.stdout)
        # "0" keeps backtraces off.
        result = selftest("basic", "fails_with_panic", env={"RUST_BACKTRACE": "0"})
        self.assertIn(b"assertion failed: left == right\n" + NOTE, result.stdout)


class FatalStops(unittest.TestCase):
    def test_messages_and_status(self):
        cases = [
            ("nonstatic", [], {},
             rb"\nthread 'main' \(TID\) panicked at harness/src/test_main\.cpp:\d+:\d+:\n"
             rb"non-static tests passed to test::test_main_static\n" + re.escape(NOTE)),
            ("basic", [], {"RUST_TEST_THREADS": "four"},
             rb"\nthread 'main' \(TID\) panicked at harness/src/concurrency\.cpp:\d+:\d+:\n"
             rb"RUST_TEST_THREADS is `four`, should be a positive integer\.\n" + re.escape(NOTE)),
            ("basic", ["--bogus"], {}, re.escape(b"error: Unrecognized option: 'bogus'\n")),
        ]
        for registry, args, env, stderr in cases:
            with self.subTest(registry=registry, args=args):
                result = selftest(registry, *args, env=env)
                self.assertEqual(result.status, 101)
                self.assertEqual(result.stdout, b"")
                self.assertRegex(normalise_thread_ids(result.stderr), b"^" + stderr + b"$")

    def test_output_errors(self):
        full = ("error: io error when listing tests: Os { code: 28, kind: StorageFull, "
                "message: \"No space left on device\" }\n").encode()
        for args in ([], ["--list"]):
            with self.subTest(args=args), open("/dev/full", "wb") as dev_full:
                import subprocess
                from e2e import clean_env
                proc = subprocess.run([BIN, *args], stdout=dev_full, stderr=subprocess.PIPE,
                                      env=clean_env({"HARNESS_SELFTEST_REGISTRY": "many"}),
                                      timeout=120)
                self.assertEqual(proc.returncode, 101)
                self.assertEqual(proc.stderr, full)


class LogFile(unittest.TestCase):
    def test_run_and_list_lines(self):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "log.txt")
            result = selftest("basic", "--logfile", path, env={"RUST_TEST_THREADS": "1"})
            self.assertEqual(result.status, 101)
            with open(path, "rb") as log:
                self.assertEqual(log.read(), (
                    b"ok expect_failure_any_message\n"
                    b"failed: test did not panic as expected at "
                    b"harness/tests/selftest/selftest_main.cpp:" +
                    re.search(rb"did not panic as expected at [^:]+:(\d+:\d+)",
                              result.stdout).group(1) + b" expect_failure_but_passes\n"
                    b"failed: panic did not contain expected string\n"
                    b"      panic message: \"another text\"\n"
                    b" expected substring: \"expected text\" expect_failure_message_differs\n"
                    b"ok expect_failure_message_matches\n"
                    b"failed fails_with_panic\n"
                    b"failed fails_with_unwrap\n"
                    b"ignored ignored_plain\n"
                    b"ignored: needs a card ignored_with_message\n"
                    b"ok passes\n"
                    b"ok passes_printing\n"))

            result = selftest("basic", "--list", "--logfile", path, "ignored")
            self.assertEqual(result.status, 0)
            with open(path, "rb") as log:
                self.assertEqual(log.read(), b"test ignored_plain\ntest ignored_with_message\n")

    def test_times_with_report_time(self):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "log.txt")
            result = selftest("timing", "integration", "--logfile", path, "-Z", "unstable-options",
                              "--report-time", env={"RUSTC_BOOTSTRAP": "1"})
            self.assertEqual(result.status, 0, result.stderr)
            with open(path, "rb") as log:
                self.assertRegex(log.read(), rb"^ok integration_sleeps <\d+\.\d{3}s>\n$")


class TestThreads(unittest.TestCase):
    def test_stack_size_and_kernel_name(self):
        cases = [(None, b"2097152"), ("8388608", b"8388608"), ("abc", b"2097152")]
        for min_stack, size in cases:
            with self.subTest(min_stack=min_stack):
                env = {"RUST_TEST_NOCAPTURE": "1"}
                if min_stack is not None:
                    env["RUST_MIN_STACK"] = min_stack
                result = selftest("stack", env=env)
                self.assertEqual(result.status, 0)
                self.assertIn(b"stack " + size + b"\nthread reports_stack_s\n", result.stdout)

    def test_thread_creation_failures(self):
        # A stack larger than the address space: the system is out of
        # resources (EAGAIN), so the test runs on the main thread.
        result = selftest("stack", env={"RUST_TEST_NOCAPTURE": "1",
                                        "RUST_MIN_STACK": str(2 ** 62)})
        self.assertEqual(result.status, 0)
        self.assertIn(b"\nthread harness_selftes\n", result.stdout)
        # A size the system rejects outright stops the harness.
        result = selftest("stack", env={"RUST_MIN_STACK": str(2 ** 64 - 1)})
        self.assertEqual(result.status, 101)
        self.assertRegex(normalise_thread_ids(result.stderr),
                         rb"^\nthread 'main' \(TID\) panicked at harness/src/run\.cpp:\d+:\d+:\n"
                         rb"failed to spawn thread to run test: Invalid argument\n" + re.escape(NOTE) +
                         b"$")


if __name__ == "__main__":
    unittest.main()
