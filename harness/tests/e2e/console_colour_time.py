"""Colour on the console, from a terminal description compiled into a private
terminfo directory, and the time suffixes of --report-time / --ensure-time.

Usage: console_colour_time.py HARNESS_SELFTEST
"""

import os
import pty
import re
import shutil
import subprocess
import sys
import tempfile
import tty
import unittest

from e2e import clean_env, normalise_thread_ids, normalise_times, run

SELFTEST = None
SERIAL = {"RUST_TEST_THREADS": "1"}
UNSTABLE = {"RUSTC_BOOTSTRAP": "1"}

DESCRIPTION = b"""zel-e2e|terminal for colour tests,
\tcolors#8, setaf=\\E[3%p1%dm, setab=\\E[4%p1%dm, sgr0=\\E[0m,
zel-e2e-mono|terminal without colour,
\tcols#80,
"""

MARKERS = [(b"\x1b[31m", b"{red}"), (b"\x1b[32m", b"{green}"), (b"\x1b[33m", b"{yellow}"),
           (b"\x1b[36m", b"{cyan}"), (b"\x1b[0m", b"{reset}")]

_SOURCE_POSITION = re.compile(rb"\S*selftest_main\.cpp:\d+:\d+")


def marked(text):
    """Known escape sequences as {colour} markers; any other escape stays visible."""
    for code, marker in MARKERS:
        text = text.replace(code, marker)
    text = normalise_thread_ids(normalise_times(text))
    return _SOURCE_POSITION.sub(b"selftest_main.cpp:L:C", text)


class TerminfoTestCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="zel-terminfo-")
        source = os.path.join(cls.dir, "zel.ti")
        with open(source, "wb") as f:
            f.write(DESCRIPTION)
        subprocess.run(["tic", "-o", cls.dir, source], check=True)
        # HOME keeps a developer's ~/.terminfo out of the search.
        cls.terminal = {"TERM": "zel-e2e", "TERMINFO": cls.dir, "HOME": cls.dir}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def selftest(self, args, env, unset=("TERMINFO_DIRS",)):
        result = run([SELFTEST] + args, env=env, unset=unset)
        result.stdout = marked(result.stdout)
        return result


G_OK = b"{green}ok{reset}"


class ColourAlways(TerminfoTestCase):
    def test_pretty(self):
        result = self.selftest(["--color", "always", "--exact", "passes", "ignored_with_message",
                                "fails_with_panic"], {**self.terminal, **SERIAL})
        self.assertEqual(result.status, 101)
        self.assertEqual(
            result.stdout,
            b"\nrunning 3 tests\n"
            b"test fails_with_panic ... {red}FAILED{reset}\n"
            b"test ignored_with_message ... {yellow}ignored, needs a card{reset}\n"
            b"test passes ... " + G_OK + b"\n"
            b"\nfailures:\n"
            b"\n---- fails_with_panic stdout ----\n"
            b"before the failure\n"
            b"\nthread 'fails_with_panic' (TID) panicked at selftest_main.cpp:L:C:\n"
            b"assertion failed: left == right\n"
            b"note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n"
            b"\n"
            b"\nfailures:\n"
            b"    fails_with_panic\n"
            b"\ntest result: {red}FAILED{reset}. 1 passed; 1 failed; 1 ignored; 0 measured; "
            b"7 filtered out; finished in X.XXs\n\n")

    def test_terse(self):
        result = self.selftest(["--color", "always", "-q", "--exact", "passes",
                                "ignored_plain", "fails_with_unwrap"], {**self.terminal, **SERIAL})
        self.assertEqual(result.status, 101)
        self.assertTrue(result.stdout.startswith(
            b"\nrunning 3 tests\nfails_with_unwrap --- {red}FAILED{reset}\n"
            b"{yellow}i{reset}{green}.{reset}\nfailures:\n"), result.stdout)
        self.assertTrue(result.stdout.endswith(
            b"\ntest result: {red}FAILED{reset}. 1 passed; 1 failed; 1 ignored; 0 measured; "
            b"7 filtered out; finished in X.XXs\n\n"), result.stdout)

    def test_no_escape_codes_without_a_colour_terminal(self):
        plain = (b"\nrunning 1 test\ntest passes ... ok\n"
                 b"\ntest result: ok. 1 passed; 0 failed; 0 ignored; 0 measured; "
                 b"9 filtered out; finished in X.XXs\n\n")
        args = ["--color", "always", "--exact", "passes"]
        cases = [
            ("TERM unset", {"TERMINFO": self.dir}, ("TERM", "TERMINFO_DIRS")),
            ("TERM not in the database", {**self.terminal, "TERM": "zel-nowhere"},
             ("TERMINFO_DIRS",)),
            ("TERM empty", {**self.terminal, "TERM": ""}, ("TERMINFO_DIRS",)),
            ("terminal without colours", {**self.terminal, "TERM": "zel-e2e-mono"},
             ("TERMINFO_DIRS",)),
            ("--color never", self.terminal, ("TERMINFO_DIRS",)),
        ]
        for label, env, unset in cases:
            with self.subTest(label):
                case_args = args if label != "--color never" else ["--color", "never", "--exact",
                                                                   "passes"]
                result = self.selftest(case_args, env, unset)
                self.assertEqual(result.status, 0)
                self.assertEqual(result.stdout, plain)
                self.assertEqual(result.stderr, b"")

    def test_listing_never_uses_colour(self):
        result = self.selftest(["--color", "always", "--list", "--exact", "passes"],
                               self.terminal)
        self.assertEqual(result.stdout, b"passes: test\n\n1 test, 0 benchmarks\n")


class ColourAuto(TerminfoTestCase):
    """Automatic colour needs standard output to be a terminal and capture on."""

    def run_on_pty(self, args):
        master, slave = pty.openpty()
        tty.setraw(slave)  # no newline translation
        proc = subprocess.Popen([SELFTEST] + args, stdout=slave, stderr=subprocess.PIPE,
                                env=clean_env({**self.terminal, **SERIAL},
                                              unset=("TERMINFO_DIRS",)))
        os.close(slave)
        out = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the slave side closed
                break
            if not chunk:
                break
            out += chunk
        os.close(master)
        proc.stderr.read()
        proc.stderr.close()
        return proc.wait(timeout=60), marked(out)

    def test_auto(self):
        cases = [
            (["--exact", "passes"], b"test passes ... " + G_OK + b"\n"),
            (["--color", "auto", "--exact", "passes"], b"test passes ... " + G_OK + b"\n"),
            (["--no-capture", "--exact", "passes"], b"test passes ... ok\n"),
        ]
        for args, line in cases:
            with self.subTest(args=args):
                status, out = self.run_on_pty(args)
                self.assertEqual(status, 0)
                self.assertIn(line, out)

    def test_auto_through_a_pipe_is_plain(self):
        result = self.selftest(["--exact", "passes"], {**self.terminal, **SERIAL})
        self.assertIn(b"test passes ... ok\n", result.stdout)
        self.assertNotIn(b"\x1b", result.stdout)


TIMING = {**SERIAL, **UNSTABLE, "HARNESS_SELFTEST_REGISTRY": "timing",
          # Unit tests are critical at once; integration tests warn at once.
          "RUST_TEST_TIME_UNIT": "0,0", "RUST_TEST_TIME_INTEGRATION": "0,60000"}

TIMING_FAILURE_BLOCK = (
    b"\n---- unit_sleeps_then_fails stdout ----\n"
    b"\nthread 'unit_sleeps_then_fails' (TID) panicked at selftest_main.cpp:L:C:\n"
    b"failed after sleeping\n"
    b"note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n"
    b"\n"
    b"\nfailures:\n"
    b"    unit_sleeps_then_fails\n"
)


class TimeReporting(TerminfoTestCase):
    def test_report_time_colours_the_suffix_by_the_kinds_thresholds(self):
        result = self.selftest(["-Z", "unstable-options", "--report-time", "--color", "always"],
                               {**self.terminal, **TIMING})
        self.assertEqual(result.status, 101)
        self.assertEqual(
            result.stdout,
            b"\nrunning 5 tests\n"
            b"test doc_sleeps ... " + G_OK + b" <X.XXXs>\n"
            b"test integration_sleeps ... " + G_OK + b"{yellow} <X.XXXs>{reset}\n"
            b"test unit_sleeps ... " + G_OK + b"{red} <X.XXXs>{reset}\n"
            b"test unit_sleeps_then_fails ... {red}FAILED{reset}{red} <X.XXXs>{reset}\n"
            b"test unknown_sleeps ... " + G_OK + b" <X.XXXs>\n"
            b"\nfailures:\n" + TIMING_FAILURE_BLOCK +
            b"\ntest result: {red}FAILED{reset}. 4 passed; 1 failed; 0 ignored; 0 measured; "
            b"0 filtered out; finished in X.XXs\n\n")

    def test_ensure_time_fails_a_passing_test_at_its_critical_threshold(self):
        result = self.selftest(["-Z", "unstable-options", "--ensure-time"], TIMING)
        self.assertEqual(result.status, 101)
        self.assertEqual(
            result.stdout,
            b"\nrunning 5 tests\n"
            b"test doc_sleeps ... ok <X.XXXs>\n"
            b"test integration_sleeps ... ok <X.XXXs>\n"
            b"test unit_sleeps ... FAILED (time limit exceeded) <X.XXXs>\n"
            b"test unit_sleeps_then_fails ... FAILED <X.XXXs>\n"
            b"test unknown_sleeps ... ok <X.XXXs>\n"
            b"\nfailures:\n" + TIMING_FAILURE_BLOCK +
            b"\nfailures (time limit exceeded):\n"
            b"\nfailures (time limit exceeded):\n"
            b"    unit_sleeps\n"
            b"\ntest result: FAILED. 3 passed; 2 failed; 0 ignored; 0 measured; "
            b"0 filtered out; finished in X.XXs\n\n")

    def test_ensure_time_terse_shows_no_times_and_lists_only_other_failures(self):
        result = self.selftest(["-Z", "unstable-options", "--ensure-time", "-q",
                                "--exact", "unit_sleeps", "doc_sleeps"], TIMING)
        self.assertEqual(result.status, 101)
        self.assertEqual(
            result.stdout,
            b"\nrunning 2 tests\n"
            b". 1/2\n"
            b"unit_sleeps --- FAILED\n"
            b"\nfailures:\n"
            b"\nfailures:\n"
            b"\ntest result: FAILED. 1 passed; 1 failed; 0 ignored; 0 measured; "
            b"3 filtered out; finished in X.XXs\n\n")


if __name__ == "__main__":
    SELFTEST = sys.argv[1]
    unittest.main(argv=[sys.argv[0]])
