"""End-to-end tests of output capture on harness_selftest: every test's
output lands in its own block, capture off writes straight through, and a
test that aborts the process still shows what it had printed."""

import json
import re
import sys
import unittest

from e2e import run

BIN = sys.argv.pop(1)


def selftest(registry, *args, env=None):
    return run([BIN, *args], env={"HARNESS_SELFTEST_REGISTRY": registry, **(env or {})})


def marker_lines(test, repeat):
    return b"".join(b"marker %d stdout %d\nmarker %d stderr %d\n" % (test, k, test, k)
                    for k in range(repeat))


class Capture(unittest.TestCase):
    def test_parallel_tests_keep_their_own_output(self):
        count, repeat = 16, 300
        result = selftest("markers", env={
            "HARNESS_SELFTEST_COUNT": str(count), "HARNESS_SELFTEST_REPEAT": str(repeat),
            "HARNESS_SELFTEST_FAIL": "1", "RUST_TEST_THREADS": "8"})
        self.assertEqual(result.status, 101)
        blocks = dict(re.findall(rb"---- marker_(\d+) stdout ----\n(.*?)\n(?=---- |\nfailures:)",
                                 result.stdout, re.S))
        self.assertEqual(sorted(int(k) for k in blocks), list(range(count)))
        for key, block in blocks.items():
            test = int(key)
            with self.subTest(test=test):
                self.assertTrue(block.startswith(marker_lines(test, repeat) + b"\nthread 'marker_%d' ("
                                                 % test))
                self.assertIn(b"marker %d failed\n" % test, block)
        self.assertEqual(result.stderr, b"")

    def test_capture_off_writes_to_the_real_streams(self):
        for env in ({"RUST_TEST_NOCAPTURE": "1"}, {}):
            args = [] if env else ["--no-capture"]
            with self.subTest(env=env, args=args):
                result = selftest("markers", *args, env={
                    **env, "HARNESS_SELFTEST_COUNT": "3", "HARNESS_SELFTEST_REPEAT": "5",
                    "RUST_TEST_THREADS": "1"})
                self.assertEqual(result.status, 0)
                for test in range(3):
                    stdout = b"".join(b"marker %d stdout %d\n" % (test, k) for k in range(5))
                    stderr = b"".join(b"marker %d stderr %d\n" % (test, k) for k in range(5))
                    self.assertIn(b"test marker_%d ... " % test + stdout + b"ok\n", result.stdout)
                    self.assertIn(stderr, result.stderr)


class AbortingTests(unittest.TestCase):
    def test_captured_output_is_flushed_before_the_process_dies(self):
        expected_stdout = (b"\nrunning 1 test\ntest crashes ... captured before the crash\n"
                           b"captured stderr before the crash\n")
        for crash in ("segv", "abort", "terminate", "stack_overflow"):
            with self.subTest(crash=crash):
                result = selftest("abort", env={"HARNESS_SELFTEST_CRASH": crash,
                                                "RUST_TEST_THREADS": "1"})
                # Killed by the signal (a sanitizer's own handler may end the
                # process with a status of its own instead).
                self.assertNotIn(result.status, (0, 101))
                self.assertEqual(result.stdout, expected_stdout)
                if crash == "terminate":
                    self.assertIn(b"terminate called after throwing an instance of "
                                  b"'std::runtime_error'", result.stderr)

    def test_machine_formats_keep_a_crashing_tests_output_off_stdout(self):
        for fmt in ("json", "junit"):
            with self.subTest(format=fmt):
                result = selftest("abort", "-Z", "unstable-options", "--format", fmt,
                                  env={"RUSTC_BOOTSTRAP": "1", "RUST_TEST_THREADS": "1"})
                self.assertNotIn(result.status, (0, 101))
                self.assertIn(b"captured before the crash\ncaptured stderr before the crash\n",
                              result.stderr)
                self.assertNotIn(b"captured", result.stdout)
                if fmt == "json":
                    self.assertTrue(result.stdout.endswith(b"\n"))
                    for line in result.stdout.splitlines():
                        json.loads(line)
                else:
                    self.assertEqual(result.stdout,
                                     b'<?xml version="1.0" encoding="UTF-8"?>')


if __name__ == "__main__":
    unittest.main()
