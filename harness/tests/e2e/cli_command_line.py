"""The command line of a harness program, seen from outside: error reports,
help, fatal harness variables, filters after "--", the log-file warning and
reproducible shuffling.

Usage: cli_command_line.py HARNESS_SELFTEST HARDWARE_E2E
"""

import re
import sys
import unittest

from e2e import run

SELFTEST = None

UNSTABLE = {"RUSTC_BOOTSTRAP": "1"}


def selftest(args, env=None):
    return run([SELFTEST] + args, env=env)


def order(stdout):
    """Test names in the order their results were printed."""
    return re.findall(rb"^test (\S+)(?: - should panic)? \.\.\. ", stdout, re.M)


class CommandLineErrors(unittest.TestCase):
    CASES = [
        (["--frobnicate"], {}, "Unrecognized option: 'frobnicate'"),
        (["-x"], {}, "Unrecognized option: 'x'"),
        (["--format"], {}, "Argument to option 'format' missing"),
        (["--list=yes"], {}, "Option 'list' does not take an argument"),
        (["--exact", "--exact"], {}, "Option 'exact' given more than once"),
        (["-q", "--quiet"], {}, "Option 'quiet' given more than once"),
        (["-h", "--frobnicate"], {}, "Unrecognized option: 'frobnicate'"),
        (["--format=json"], {},
         'The "json" format is only accepted on the nightly compiler with -Z unstable-options'),
        (["-Z", "unstable-options", "--format=json"], {},
         "the option `Z` is only accepted on the nightly compiler"),
        (["-Z", "unstable"], UNSTABLE, "Unrecognized option to `Z`"),
        (["--fail-fast", "--report-time"], {},
         'The "fail-fast" flag is only accepted on the nightly compiler with -Z unstable-options'),
        (["--shuffle"], {},
         'The "shuffle" flag is only accepted on the nightly compiler with -Z unstable-options'),
        (["--shuffle-seed", "1"], {},
         'The "shuffle-seed" option is only accepted on the nightly compiler with '
         "-Z unstable-options"),
        (["-Zunstable-options", "--shuffle-seed", "-1"], UNSTABLE,
         "argument for --shuffle-seed must be a number (error: invalid digit found in string)"),
        (["--test-threads", "0"], {}, "argument for --test-threads must not be 0"),
        (["--test-threads="], {},
         "argument for --test-threads must be a number > 0 "
         "(error: cannot parse integer from empty string)"),
        (["--test-threads", "x4"], {},
         "argument for --test-threads must be a number > 0 (error: invalid digit found in string)"),
        (["--include-ignored", "--ignored"], {},
         "the options --include-ignored and --ignored are mutually exclusive"),
        (["--color", "blue"], {}, "argument for --color must be auto, always, or never (was blue)"),
        (["--format", "xml"], {},
         "argument for --format must be pretty, terse, json or junit (was xml)"),
        # A failing check suppresses the log-file warning.
        (["--logfile", "never-written.log", "--color", "blue"], {},
         "argument for --color must be auto, always, or never (was blue)"),
    ]

    def test_errors_are_reported_on_stderr_with_status_101(self):
        for args, env, message in self.CASES:
            with self.subTest(args=args):
                result = selftest(args, env)
                self.assertEqual(result.stderr, b"error: " + message.encode() + b"\n")
                self.assertEqual(result.stdout, b"")
                self.assertEqual(result.status, 101)


class Help(unittest.TestCase):
    def test_help_goes_to_stdout_and_exits_0(self):
        for args in (["-h"], ["--help"], ["-h", "--format", "xml"], ["passes", "-qh"]):
            with self.subTest(args=args):
                result = selftest(args)
                self.assertEqual(result.status, 0)
                self.assertEqual(result.stderr, b"")
                head = b"Usage: " + SELFTEST.encode() + b" [OPTIONS] [FILTERS...]\n\nOptions:\n"
                self.assertTrue(result.stdout.startswith(head), result.stdout[:200])
                self.assertIn(b"\n        --shuffle-seed SEED\n", result.stdout)
                self.assertIn(b"\nTest Attributes:\n", result.stdout)
                self.assertTrue(result.stdout.endswith(b"\n"))
                self.assertNotIn(b"\nrunning ", result.stdout)
                self.assertNotIn(b"nocapture", result.stdout)


class FatalVariables(unittest.TestCase):
    CASES = [
        (["-Zunstable-options"], {"RUST_TEST_SHUFFLE_SEED": "abc"},
         "RUST_TEST_SHUFFLE_SEED is `abc`, should be a number."),
        (["-Zunstable-options", "--report-time"], {"RUST_TEST_TIME_UNIT": "500"},
         "Duration variable RUST_TEST_TIME_UNIT expected to have 2 numbers separated by comma, "
         "but got 500"),
        (["-Zunstable-options", "--ensure-time"], {"RUST_TEST_TIME_INTEGRATION": "a,b"},
         "Duration value in variable RUST_TEST_TIME_INTEGRATION is expected to be a number, "
         "but got a"),
        (["-Zunstable-options", "--report-time"], {"RUST_TEST_TIME_DOCTEST": "200,100"},
         "Test execution warn time should be less or equal to the critical time"),
        ([], {"RUST_TEST_THREADS": "0"}, "RUST_TEST_THREADS is `0`, should be a positive integer."),
        ([], {"RUST_TEST_THREADS": "four"},
         "RUST_TEST_THREADS is `four`, should be a positive integer."),
    ]

    def test_bad_variables_stop_the_program_before_any_test(self):
        for args, env, message in self.CASES:
            with self.subTest(env=env):
                result = selftest(args + ["passes"], dict(UNSTABLE, **env))
                self.assertEqual(result.status, 101)
                self.assertIn(message.encode() + b"\n", result.stderr)
                self.assertNotIn(b"test passes", result.stdout)

    def test_bad_variables_are_harmless_where_they_are_not_read(self):
        env = {"RUST_TEST_TIME_UNIT": "500", "RUST_TEST_SHUFFLE_SEED": "abc"}
        result = selftest(["passes", "--exact"], env)
        self.assertEqual(result.status, 0, result.stderr)
        # RUST_TEST_THREADS is not read when the option gives the count.
        result = selftest(["passes", "--exact", "--test-threads", "1"], {"RUST_TEST_THREADS": "0"})
        self.assertEqual(result.status, 0, result.stderr)

    def test_invalid_text_counts_as_unset(self):
        result = selftest(["passes", "--exact"], {"RUST_TEST_THREADS": b"\xff"})
        self.assertEqual(result.status, 0, result.stderr)
        result = selftest(["-Zunstable-options", "passes", "--exact"],
                          {"RUSTC_BOOTSTRAP": b"\xff"})
        self.assertEqual(result.stderr,
                         b"error: the option `Z` is only accepted on the nightly compiler\n")


class Filters(unittest.TestCase):
    def test_arguments_after_double_dash_are_filters(self):
        result = selftest(["--", "--list"])
        self.assertEqual(result.status, 0, result.stderr)
        self.assertIn(b"\nrunning 0 tests\n", result.stdout)
        self.assertIn(b"10 filtered out", result.stdout)
        self.assertNotIn(b": test", result.stdout)

    def test_filters_and_skips_wherever_they_stand(self):
        result = selftest(["ignored", "--skip", "plain", "--include-ignored", "passes", "--skip",
                           "printing"], {"RUST_TEST_THREADS": "1"})
        self.assertEqual(order(result.stdout),
                         [b"expect_failure_but_passes", b"ignored_with_message", b"passes"])


class LogfileWarning(unittest.TestCase):
    def test_warning_precedes_the_run_without_a_line_break(self):
        import os
        import tempfile
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "run.log")
            result = selftest(["--logfile", path, "passes", "--exact"])
            self.assertEqual(result.status, 0)
            self.assertEqual(result.stderr, b"warning: `--logfile` is deprecated")
            with open(path, "rb") as log:
                self.assertEqual(log.read(), b"ok passes\n")


class Shuffle(unittest.TestCase):
    MANY = {"HARNESS_SELFTEST_REGISTRY": "many", "HARNESS_SELFTEST_COUNT": "30",
            "RUST_TEST_THREADS": "1", "RUSTC_BOOTSTRAP": "1"}

    def test_printed_seed_reproduces_the_order(self):
        first = selftest(["-Z", "unstable-options", "--shuffle"], self.MANY)
        self.assertEqual(first.status, 0, first.stderr)
        seed = re.search(rb"^running 30 tests \(shuffle seed: (\d+)\)$", first.stdout, re.M)
        self.assertIsNotNone(seed, first.stdout[:200])
        names = order(first.stdout)
        self.assertEqual(sorted(names), [b"test_%02d" % i for i in range(30)])

        again = selftest(["-Zunstable-options", "--shuffle-seed", seed.group(1).decode()],
                         self.MANY)
        self.assertEqual(order(again.stdout), names)
        self.assertIn(b"(shuffle seed: " + seed.group(1) + b")", again.stdout)
        by_variable = selftest(["-Zunstable-options"],
                               dict(self.MANY, RUST_TEST_SHUFFLE_SEED=seed.group(1).decode()))
        self.assertEqual(order(by_variable.stdout), names)

    def test_seed_order_is_fixed(self):
        env = {"RUSTC_BOOTSTRAP": "1", "RUST_TEST_THREADS": "1"}
        result = selftest(["-Zunstable-options", "--shuffle-seed=0", "--bench"], env)
        self.assertEqual(order(result.stdout), [
            b"ignored_with_message", b"fails_with_panic", b"ignored_plain",
            b"expect_failure_message_differs", b"expect_failure_any_message", b"passes",
            b"expect_failure_message_matches", b"expect_failure_but_passes",
            b"fails_with_unwrap", b"passes_printing"])
        # A different selection hashes differently: the same seed, another order.
        subset = selftest(["-Zunstable-options", "--shuffle-seed=0", "--bench", "--skip",
                           "ignored_plain"], env)
        self.assertEqual(order(subset.stdout), [
            b"ignored_with_message", b"fails_with_unwrap", b"expect_failure_any_message",
            b"expect_failure_message_matches", b"passes", b"expect_failure_message_differs",
            b"passes_printing", b"fails_with_panic", b"expect_failure_but_passes"])

    def test_without_a_seed_the_registry_order_stays(self):
        result = selftest(["--bench"], {"RUST_TEST_THREADS": "1", "RUST_TEST_SHUFFLE": "1"})
        self.assertNotIn(b"shuffle seed", result.stdout)
        self.assertEqual(order(result.stdout), sorted(order(result.stdout)))


if __name__ == "__main__":
    SELFTEST = sys.argv[1]
    unittest.main(argv=[sys.argv[0]])
