"""End-to-end tests of the JSON event stream, on the harness_selftest program."""

import json
import re
import unittest

from e2e import run
from machine_common import (GATED, SELFTEST_PATH, assert_json_lines, declared_lines,
                            machine_run, machine_run_into, normalise, take_binary_argument)

BIN = None
SERIAL = {"RUST_TEST_THREADS": "1"}

NOTE = "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\\n"


def started(name):
    return '{ "type": "test", "event": "started", "name": "%s" }' % name


def report(name, message):
    return "\\nthread '%s' (TID) panicked at SELFTEST:L:C:\\n%s\\n" % (name, message)


def basic_run_lines(show_output=False):
    """The JSON lines of a serial run of the basic registry, normalised."""
    lines = declared_lines()
    but_passes = "test did not panic as expected at %s:%d:4" % (
        SELFTEST_PATH, lines["expect_failure_but_passes"])
    printing = ', "stdout": "hello from stdout\\nhello from stderr\\n"' if show_output else ""
    any_message = (', "stdout": "%s%s"' % (report("expect_failure_any_message", "any failure"),
                                            NOTE)) if show_output else ""
    matches = (', "stdout": "%s"' % report("expect_failure_message_matches",
                                           "boom went the test")) if show_output else ""
    return [
        '{ "type": "suite", "event": "started", "test_count": 10 }',
        started("expect_failure_any_message"),
        '{ "type": "test", "name": "expect_failure_any_message", "event": "ok"%s }' % any_message,
        started("expect_failure_but_passes"),
        '{ "type": "test", "name": "expect_failure_but_passes", "event": "failed", '
        '"message": "%s" }' % but_passes,
        started("expect_failure_message_differs"),
        '{ "type": "test", "name": "expect_failure_message_differs", "event": "failed", '
        '"stdout": "%s", "message": "panic did not contain expected string\\n      '
        'panic message: \\"another text\\"\\n expected substring: \\"expected text\\"" }'
        % report("expect_failure_message_differs", "another text"),
        started("expect_failure_message_matches"),
        '{ "type": "test", "name": "expect_failure_message_matches", "event": "ok"%s }' % matches,
        started("fails_with_panic"),
        '{ "type": "test", "name": "fails_with_panic", "event": "failed", '
        '"stdout": "before the failure\\n%s" }'
        % report("fails_with_panic", "assertion failed: left == right"),
        started("fails_with_unwrap"),
        '{ "type": "test", "name": "fails_with_unwrap", "event": "failed", "stdout": "%s" }'
        % report("fails_with_unwrap", "called `Result::unwrap()` on an `Err` value: "
                 'SelftestError(\\"no such tile\\")'),
        started("ignored_plain"),
        '{ "type": "test", "name": "ignored_plain", "event": "ignored" }',
        started("ignored_with_message"),
        '{ "type": "test", "name": "ignored_with_message", "event": "ignored", '
        '"message": "needs a card" }',
        started("passes"),
        '{ "type": "test", "name": "passes", "event": "ok" }',
        started("passes_printing"),
        '{ "type": "test", "name": "passes_printing", "event": "ok"%s }' % printing,
        '{ "type": "suite", "event": "failed", "passed": 4, "failed": 4, "ignored": 2, '
        '"measured": 0, "filtered_out": 0, "exec_time": T }',
    ]


def text_lines(stdout):
    return normalise(stdout).decode("utf-8").split("\n")[:-1]


class JsonRun(unittest.TestCase):
    def test_serial_run_line_by_line(self):
        result = machine_run(BIN, "json", env=SERIAL)
        self.assertEqual((result.status, result.stderr), (101, b""))
        assert_json_lines(self, result.stdout)
        self.assertEqual(text_lines(result.stdout), basic_run_lines())

    def test_show_output_adds_stdout_of_passing_tests(self):
        result = machine_run(BIN, "json", "--show-output", env=SERIAL)
        self.assertEqual((result.status, result.stderr), (101, b""))
        assert_json_lines(self, result.stdout)
        self.assertEqual(text_lines(result.stdout), basic_run_lines(show_output=True))

    def test_report_time_times_every_run_test(self):
        for threads in ("1", "4"):
            with self.subTest(threads=threads):
                result = machine_run(BIN, "json", "--report-time",
                                     env={"RUST_TEST_THREADS": threads})
                self.assertEqual(result.status, 101, result.stderr)
                events = assert_json_lines(self, result.stdout)
                results = [e for e in events if e["type"] == "test" and e["event"] != "started"]
                self.assertEqual(len(results), 10)
                for event in results:
                    # Ignored tests never run, so they have no time.
                    self.assertEqual("exec_time" in event, event["event"] != "ignored", event)
                    if "exec_time" in event:
                        self.assertGreaterEqual(event["exec_time"], 0)
                self.assertGreater(events[-1]["exec_time"], 0)
                # Shortest decimal form, never an exponent.
                for number in re.findall(rb'"exec_time": ([^ ,}]+)', result.stdout):
                    self.assertRegex(number, rb"^(0|[1-9][0-9]*)(\.[0-9]*[1-9])?$")

    def test_parallel_run_reports_every_test_once(self):
        result = machine_run(BIN, "json", env={"RUST_TEST_THREADS": "4"})
        self.assertEqual(result.status, 101, result.stderr)
        events = assert_json_lines(self, result.stdout)
        names = sorted(declared_lines())
        started_names = [e["name"] for e in events if e.get("event") == "started" and "name" in e]
        finished = [e["name"] for e in events if e["type"] == "test" and e["event"] != "started"]
        self.assertEqual(sorted(started_names), names)
        self.assertEqual(sorted(finished), names)
        for name in names:
            self.assertLess(events.index(next(e for e in events if e.get("name") == name)),
                            events.index(next(e for e in events if e.get("name") == name
                                              and e["event"] != "started")))
        self.assertEqual(events[0], {"type": "suite", "event": "started", "test_count": 10})
        self.assertEqual(events[-1]["event"], "failed")

    def test_shuffled_run_announces_seed_and_keeps_pretty_order(self):
        result = machine_run(BIN, "json", "--shuffle-seed", "42", env=SERIAL)
        self.assertEqual(result.status, 101, result.stderr)
        events = assert_json_lines(self, result.stdout)
        self.assertEqual(events[0], {"type": "suite", "event": "started", "test_count": 10,
                                     "shuffle_seed": 42})
        json_order = [e["name"] for e in events if e.get("event") == "started" and "name" in e]
        pretty = run([BIN, "-Z", "unstable-options", "--shuffle-seed", "42"],
                     env=dict(GATED, **SERIAL))
        pretty_order = re.findall(rb"^test (\w+)(?: - should panic)? \.\.\. ", pretty.stdout,
                                  re.MULTILINE)
        self.assertEqual(json_order, [n.decode() for n in pretty_order])
        self.assertNotEqual(json_order, sorted(json_order))
        # A wall-clock seed is announced the same way.
        clock = machine_run(BIN, "json", "--shuffle", "--exact", "passes", env=SERIAL)
        self.assertEqual(clock.status, 0, clock.stderr)
        first = assert_json_lines(self, clock.stdout)[0]
        self.assertEqual(sorted(first), ["event", "shuffle_seed", "test_count", "type"])
        self.assertIsInstance(first["shuffle_seed"], int)

    def test_nothing_selected(self):
        result = machine_run(BIN, "json", "no_such_test")
        self.assertEqual((result.status, result.stderr), (0, b""))
        assert_json_lines(self, result.stdout)
        self.assertEqual(text_lines(result.stdout), [
            '{ "type": "suite", "event": "started", "test_count": 0 }',
            '{ "type": "suite", "event": "ok", "passed": 0, "failed": 0, "ignored": 0, '
            '"measured": 0, "filtered_out": 10, "exec_time": T }',
        ])

    def test_lines_stay_whole_next_to_uncaptured_output(self):
        # With capture off, tests print while the formatter writes; every
        # event line must still arrive whole.
        result = machine_run(BIN, "json", "--no-capture",
                             env={"HARNESS_SELFTEST_REGISTRY": "markers", "RUST_TEST_THREADS": "8",
                                  "HARNESS_SELFTEST_REPEAT": "300"})
        self.assertEqual(result.status, 0, result.stderr[-500:])
        text = result.stdout.decode("utf-8")
        starts = [m.start() for m in re.finditer(r'\{ "type": ', text)]
        self.assertEqual(len(starts), 1 + 2 * 8 + 1)
        for start in starts:
            line = text[start:text.index("\n", start)]
            self.assertIsInstance(json.loads(line), dict, line)


class JsonListing(unittest.TestCase):
    def test_listing_with_source_spans(self):
        result = machine_run(BIN, "json", "--list")
        self.assertEqual((result.status, result.stderr), (0, b""))
        assert_json_lines(self, result.stdout)
        ignore_messages = {"ignored_with_message": "needs a card"}
        expected = ['{ "type": "suite", "event": "discovery" }']
        for name, line in sorted(declared_lines().items()):
            expected.append(
                '{ "type": "test", "event": "discovered", "name": "%s", "ignore": %s, '
                '"ignore_message": "%s", "source_path": "%s", "start_line": %d, "start_col": 4, '
                '"end_line": %d, "end_col": %d }'
                % (name, "true" if name.startswith("ignored") else "false",
                   ignore_messages.get(name, ""), SELFTEST_PATH, line, line, 4 + len(name)))
        expected.append('{ "type": "suite", "event": "completed", "tests": 10, "benchmarks": 0, '
                        '"total": 10, "ignored": 2 }')
        self.assertEqual(result.stdout.decode().split("\n"), expected + [""])

    def test_filtered_listing(self):
        result = machine_run(BIN, "json", "--list", "--exact", "passes")
        self.assertEqual((result.status, result.stderr), (0, b""))
        events = assert_json_lines(self, result.stdout)
        self.assertEqual([e.get("name") for e in events], [None, "passes", None])
        self.assertEqual(events[-1], {"type": "suite", "event": "completed", "tests": 1,
                                      "benchmarks": 0, "total": 1, "ignored": 0})

    def test_junit_lists_in_the_pretty_format(self):
        result = machine_run(BIN, "junit", "--list")
        self.assertEqual((result.status, result.stderr), (0, b""))
        names = sorted(declared_lines())
        self.assertEqual(result.stdout,
                         b"".join(b"%s: test\n" % n.encode() for n in names)
                         + b"\n10 tests, 0 benchmarks\n")


class JsonWriteErrors(unittest.TestCase):
    def test_full_output_device(self):
        message = (b'error: io error when listing tests: Os { code: 28, kind: StorageFull, '
                   b'message: "No space left on device" }\n')
        for args in ([], ["--list"]):
            with self.subTest(args=args):
                result = machine_run_into("/dev/full", BIN, "json", *args, "passes")
                self.assertEqual((result.status, result.stderr), (101, message))


if __name__ == "__main__":
    BIN = take_binary_argument()
    unittest.main()
