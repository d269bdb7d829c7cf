"""The pretty and terse console formats of a harness program, compared byte
for byte: serial and parallel runs, captured output, fail-fast, listings,
and failed writes to standard output.

Usage: console_output.py HARNESS_SELFTEST
"""

import os
import re
import subprocess
import sys
import unittest

from e2e import clean_env, normalise_thread_ids, normalise_times, run

SELFTEST = None
SERIAL = {"RUST_TEST_THREADS": "1"}
UNSTABLE = {"RUSTC_BOOTSTRAP": "1"}

_SOURCE_POSITION = re.compile(rb"\S*selftest_main\.cpp:\d+:\d+")


def normalise(text):
    """Times, thread ids and source positions replaced by fixed markers."""
    text = normalise_thread_ids(normalise_times(text))
    return _SOURCE_POSITION.sub(b"selftest_main.cpp:L:C", text)


def selftest(args, env=None):
    result = run([SELFTEST] + args, env=env)
    result.stdout = normalise(result.stdout)
    return result


# The end-of-run part of the basic registry's output, shared by both formats.
BASIC_FAILURES = (
    b"\nfailures:\n"
    b"\n"
    b"---- expect_failure_but_passes stdout ----\n"
    b"note: test did not panic as expected at selftest_main.cpp:L:C\n"
    b"---- expect_failure_message_differs stdout ----\n"
    b"\nthread 'expect_failure_message_differs' (TID) panicked at selftest_main.cpp:L:C:\n"
    b"another text\n"
    b"note: panic did not contain expected string\n"
    b'      panic message: "another text"\n'
    b' expected substring: "expected text"\n'
    b"---- fails_with_panic stdout ----\n"
    b"before the failure\n"
    b"\nthread 'fails_with_panic' (TID) panicked at selftest_main.cpp:L:C:\n"
    b"assertion failed: left == right\n"
    b"\n"
    b"---- fails_with_unwrap stdout ----\n"
    b"\nthread 'fails_with_unwrap' (TID) panicked at selftest_main.cpp:L:C:\n"
    b"called `Result::unwrap()` on an `Err` value: SelftestError(\"no such tile\")\n"
    b"\n"
    b"\nfailures:\n"
    b"    expect_failure_but_passes\n"
    b"    expect_failure_message_differs\n"
    b"    fails_with_panic\n"
    b"    fails_with_unwrap\n"
    b"\ntest result: FAILED. 4 passed; 4 failed; 2 ignored; 0 measured; 0 filtered out; "
    b"finished in X.XXs\n\n"
)

BASIC_PRETTY_LINES = [
    b"test expect_failure_any_message - should panic ... ok\n",
    b"test expect_failure_but_passes - should panic ... FAILED\n",
    b"test expect_failure_message_differs - should panic ... FAILED\n",
    b"test expect_failure_message_matches - should panic ... ok\n",
    b"test fails_with_panic ... FAILED\n",
    b"test fails_with_unwrap ... FAILED\n",
    b"test ignored_plain ... ignored\n",
    b"test ignored_with_message ... ignored, needs a card\n",
    b"test passes ... ok\n",
    b"test passes_printing ... ok\n",
]


BACKTRACE_NOTE = b"note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n"


def blocks(section):
    """A failures section as (set of output blocks, the name list and result line)."""
    body, _, tail = section.rpartition(b"\nfailures:\n")
    parts = re.split(rb"(?m)^(?=---- \S+ stdout ----\n)", body.removeprefix(b"\nfailures:\n\n"))
    return set(parts), tail


class PrettyFormat(unittest.TestCase):
    def test_serial_run(self):
        result = selftest([], SERIAL)
        self.assertEqual(result.status, 101)
        self.assertEqual(result.stdout,
                         b"\nrunning 10 tests\n" + b"".join(BASIC_PRETTY_LINES) + BASIC_FAILURES)
        self.assertEqual(result.stderr, b"")

    def test_parallel_run_writes_whole_lines(self):
        # Lines and output blocks come in completion order, and the
        # once-per-process backtrace note follows whichever test failed first.
        result = selftest([], {"RUST_TEST_THREADS": "4"})
        self.assertEqual(result.status, 101)
        head = b"\nrunning 10 tests\n"
        self.assertTrue(result.stdout.startswith(head), result.stdout)
        lines, sep, rest = result.stdout[len(head):].partition(b"\nfailures:\n")
        self.assertEqual(sorted(lines.splitlines(keepends=True)), BASIC_PRETTY_LINES)
        self.assertEqual(blocks(sep + rest.replace(BACKTRACE_NOTE, b"")), blocks(BASIC_FAILURES))

    def test_show_output_prints_the_successes_section(self):
        result = selftest(["--show-output", "--exact", "passes_printing"], SERIAL)
        self.assertEqual(result.status, 0)
        self.assertEqual(
            result.stdout,
            b"\nrunning 1 test\n"
            b"test passes_printing ... ok\n"
            b"\nsuccesses:\n"
            b"\n"
            b"---- passes_printing stdout ----\n"
            b"hello from stdout\nhello from stderr\n"
            b"\n"
            b"\nsuccesses:\n"
            b"    passes_printing\n"
            b"\ntest result: ok. 1 passed; 0 failed; 0 ignored; 0 measured; 9 filtered out; "
            b"finished in X.XXs\n\n")

    def test_nothing_selected(self):
        result = selftest(["no_such_test"])
        self.assertEqual(result.status, 0)
        self.assertEqual(
            result.stdout,
            b"\nrunning 0 tests\n"
            b"\ntest result: ok. 0 passed; 0 failed; 0 ignored; 0 measured; 10 filtered out; "
            b"finished in X.XXs\n\n")

    def test_shuffle_seed_is_named_in_the_first_line(self):
        result = selftest(["-Z", "unstable-options", "--shuffle-seed", "42", "--exact",
                           "passes", "passes_printing"], UNSTABLE)
        self.assertEqual(result.status, 0)
        self.assertTrue(result.stdout.startswith(b"\nrunning 2 tests (shuffle seed: 42)\n"),
                        result.stdout)

    def test_fail_fast_stops_at_the_first_failure(self):
        result = selftest(["-Z", "unstable-options", "--fail-fast"], {**SERIAL, **UNSTABLE})
        self.assertEqual(result.status, 101)
        self.assertEqual(
            result.stdout,
            b"\nrunning 10 tests\n"
            b"test expect_failure_any_message - should panic ... ok\n"
            b"test expect_failure_but_passes - should panic ... FAILED\n"
            b"\nfailures:\n"
            b"\n"
            b"---- expect_failure_but_passes stdout ----\n"
            b"note: test did not panic as expected at selftest_main.cpp:L:C\n"
            b"\nfailures:\n"
            b"    expect_failure_but_passes\n"
            b"\ntest result: FAILED. 1 passed; 1 failed; 0 ignored; 0 measured; 0 filtered out; "
            b"finished in X.XXs\n\n")


class TerseFormat(unittest.TestCase):
    def test_serial_run(self):
        expected = (b"\nrunning 10 tests\n"
                    b". 1/10\n"
                    b"expect_failure_but_passes --- FAILED\n"
                    b"expect_failure_message_differs --- FAILED\n"
                    b". 4/10\n"
                    b"fails_with_panic --- FAILED\n"
                    b"fails_with_unwrap --- FAILED\n"
                    b"ii.." + BASIC_FAILURES)
        for args in (["-q"], ["--quiet"], ["--format", "terse"], ["-q", "--format=terse"]):
            with self.subTest(args=args):
                result = selftest(args, SERIAL)
                self.assertEqual(result.status, 101)
                self.assertEqual(result.stdout, expected)

    def test_two_hundred_passes(self):
        for threads in ("1", "3"):
            with self.subTest(threads=threads):
                result = selftest(["-q"], {"HARNESS_SELFTEST_REGISTRY": "many",
                                           "RUST_TEST_THREADS": threads})
                self.assertEqual(result.status, 0)
                self.assertEqual(
                    result.stdout,
                    b"\nrunning 200 tests\n" + b"." * 87 + b" 87/200\n" + b"." * 87 +
                    b" 174/200\n" + b"." * 26 +
                    b"\ntest result: ok. 200 passed; 0 failed; 0 ignored; 0 measured; "
                    b"0 filtered out; finished in X.XXs\n\n")

    def test_single_ignored_test_names_its_reason(self):
        result = selftest(["-q", "--exact", "ignored_with_message"])
        self.assertEqual(result.status, 0)
        self.assertEqual(
            result.stdout,
            b"\nrunning 1 test\n"
            b"i\n"
            b"test result: ok. 0 passed; 0 failed; 1 ignored; 0 measured; 9 filtered out; "
            b"finished in X.XXs\n\n"
            b"test: ignored_with_message, ignore_message: needs a card\n\n")

    def test_fail_fast(self):
        result = selftest(["-q", "-Z", "unstable-options", "--fail-fast"], {**SERIAL, **UNSTABLE})
        self.assertEqual(result.status, 101)
        self.assertTrue(
            result.stdout.startswith(b"\nrunning 10 tests\n. 1/10\n"
                                     b"expect_failure_but_passes --- FAILED\n\nfailures:\n"),
            result.stdout)
        self.assertTrue(result.stdout.endswith(
            b"\ntest result: FAILED. 1 passed; 1 failed; 0 ignored; 0 measured; 0 filtered out; "
            b"finished in X.XXs\n\n"))


NAMES = [b"expect_failure_any_message", b"expect_failure_but_passes",
         b"expect_failure_message_differs", b"expect_failure_message_matches",
         b"fails_with_panic", b"fails_with_unwrap", b"ignored_plain", b"ignored_with_message",
         b"passes", b"passes_printing"]


class Listing(unittest.TestCase):
    def test_listings(self):
        lines = b"".join(name + b": test\n" for name in NAMES)
        cases = [
            (["--list"], lines + b"\n10 tests, 0 benchmarks\n"),
            (["--list", "--format", "junit", "-Z", "unstable-options"],
             lines + b"\n10 tests, 0 benchmarks\n"),
            (["--list", "-q"], lines),
            (["--list", "--exact", "passes"], b"passes: test\n\n1 test, 0 benchmarks\n"),
            (["--list", "nothing_matches"], b"0 tests, 0 benchmarks\n"),
            (["--list", "-q", "nothing_matches"], b""),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                result = selftest(args, UNSTABLE)
                self.assertEqual(result.status, 0)
                self.assertEqual(result.stdout, expected)
                self.assertEqual(result.stderr, b"")


def run_with_stdout(args, stdout_fd):
    proc = subprocess.run([SELFTEST] + args, stdout=stdout_fd, stderr=subprocess.PIPE,
                          env=clean_env(SERIAL), timeout=60)
    return proc.returncode, proc.stderr


class OutputErrors(unittest.TestCase):
    """A write to standard output that fails ends the run with status 101 and
    the error on standard error, whether running or listing."""

    def test_full_device(self):
        full_message = (b"error: io error when listing tests: Os { code: 28, kind: StorageFull, "
                        b'message: "No space left on device" }\n')
        for args in ([], ["-q"], ["--list"]):
            with self.subTest(args=args), open("/dev/full", "wb") as full:
                self.assertEqual(run_with_stdout(args, full), (101, full_message))

    def test_reader_gone(self):
        pipe_message = (b"error: io error when listing tests: Os { code: 32, kind: BrokenPipe, "
                        b'message: "Broken pipe" }\n')
        for args in ([], ["--list"]):
            with self.subTest(args=args):
                read_end, write_end = os.pipe()
                os.close(read_end)
                try:
                    self.assertEqual(run_with_stdout(args, write_end), (101, pipe_message))
                finally:
                    os.close(write_end)


if __name__ == "__main__":
    SELFTEST = sys.argv[1]
    unittest.main(argv=[sys.argv[0]])
