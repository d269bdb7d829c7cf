"""End-to-end tests of the JUnit document, on the harness_selftest program:
byte for byte, well-formed for xmllint, and read by junitparser."""

import re
import unittest
import xml.etree.ElementTree as ElementTree

from junitparser import Failure, JUnitXml

from machine_common import (SELFTEST_PATH, assert_well_formed_xml, declared_lines, machine_run,
                            machine_run_into, normalise, take_binary_argument)

BIN = None
SERIAL = {"RUST_TEST_THREADS": "1"}
DECLARATION = b'<?xml version="1.0" encoding="UTF-8"?>'
SUITE_END = b"<system-out/><system-err/></testsuite></testsuites>\n"


def suite_start(failed, total, ignored):
    return (b'<testsuites><testsuite name="test" package="test" id="0" errors="0" '
            b'failures="%d" tests="%d" skipped="%d" >' % (failed, total, ignored))


def report_sections(name, *lines):
    """A failure report ("\\nthread ... panicked at ...:\\n" and `lines`, each
    followed by a line break) as character data, normalised."""
    text = "<![CDATA[]]>&#xA;<![CDATA[thread '%s' (TID) panicked at SELFTEST:L:C:]]>&#xA;" % name
    return text + "".join("<![CDATA[%s]]>&#xA;" % line for line in lines) + "<![CDATA[]]>"


def basic_run_document(show_output=False):
    but_passes = "test did not panic as expected at %s:%d:4" % (
        SELFTEST_PATH, declared_lines()["expect_failure_but_passes"])
    note = "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace"

    def passed(name, output=None):
        if output is None or not show_output:
            return '<testcase classname="crate" name="%s" time="T"/>' % name
        return ('<testcase classname="crate" name="%s" time="T"><system-out>%s</system-out>'
                '</testcase>' % (name, output))

    cases = [
        passed("expect_failure_any_message",
               report_sections("expect_failure_any_message", "any failure", note)),
        '<testcase classname="crate" name="expect_failure_but_passes" time="T">'
        '<failure message="%s" type="assert"/></testcase>' % but_passes,
        '<testcase classname="crate" name="expect_failure_message_differs" time="T">'
        '<failure message="panic did not contain expected string&#xA;      panic message: '
        '&quot;another text&quot;&#xA; expected substring: &quot;expected text&quot;" '
        'type="assert"/><system-out>%s</system-out></testcase>'
        % report_sections("expect_failure_message_differs", "another text"),
        passed("expect_failure_message_matches",
               report_sections("expect_failure_message_matches", "boom went the test")),
        '<testcase classname="crate" name="fails_with_panic" time="T"><failure type="assert"/>'
        "<system-out><![CDATA[before the failure]]>&#xA;&#xA;<![CDATA[thread 'fails_with_panic' "
        "(TID) panicked at SELFTEST:L:C:]]>&#xA;<![CDATA[assertion failed: left == right]]>&#xA;"
        "<![CDATA[]]></system-out></testcase>",
        '<testcase classname="crate" name="fails_with_unwrap" time="T"><failure type="assert"/>'
        "<system-out>%s</system-out></testcase>"
        % report_sections("fails_with_unwrap",
                          'called `Result::unwrap()` on an `Err` value: '
                          'SelftestError("no such tile")'),
        passed("passes"),
        passed("passes_printing",
               "<![CDATA[hello from stdout]]>&#xA;<![CDATA[hello from stderr]]>&#xA;"
               "<![CDATA[]]>"),
    ]
    return DECLARATION + suite_start(4, 10, 2) + "".join(cases).encode() + SUITE_END


def read_back(case, document):
    """The document through junitparser: [(classname, name, [(type, message)])]
    per testcase, after checking the suite's counts against ours."""
    root = ElementTree.fromstring(document)
    ours = root.find("testsuite").attrib
    suites = list(JUnitXml.fromstring(document))
    case.assertEqual(len(suites), 1)
    suite = suites[0]
    cases = list(suite)
    failures = [c for c in cases if any(isinstance(r, Failure) for r in c.result)]
    # Ignored tests have no testcase element; they are only in "skipped".
    case.assertEqual(suite.failures, int(ours["failures"]))
    case.assertEqual(len(failures), int(ours["failures"]))
    case.assertEqual(suite.errors, 0)
    case.assertEqual(len(cases), int(ours["tests"]) - int(ours["skipped"]))
    return [(c.classname, c.name, [(r.type, r.message) for r in c.result]) for c in cases]


class JunitRun(unittest.TestCase):
    maxDiff = None

    def test_serial_run_byte_for_byte(self):
        for show_output in (False, True):
            with self.subTest(show_output=show_output):
                args = ["--show-output"] if show_output else []
                result = machine_run(BIN, "junit", *args, env=SERIAL)
                self.assertEqual((result.status, result.stderr), (101, b""))
                assert_well_formed_xml(self, result.stdout)
                self.assertEqual(normalise(result.stdout).decode(),
                                 basic_run_document(show_output).decode())

    def test_read_back_by_junitparser(self):
        result = machine_run(BIN, "junit", env={"RUST_TEST_THREADS": "4"})
        self.assertEqual(result.status, 101, result.stderr)
        assert_well_formed_xml(self, result.stdout)
        cases = read_back(self, result.stdout)
        lines = declared_lines()
        differs = ('panic did not contain expected string\n      panic message: "another text"\n'
                   ' expected substring: "expected text"')
        expected = {
            "expect_failure_any_message": [],
            "expect_failure_but_passes": [
                ("assert", "test did not panic as expected at %s:%d:4"
                 % (SELFTEST_PATH, lines["expect_failure_but_passes"]))],
            "expect_failure_message_differs": [("assert", differs)],
            "expect_failure_message_matches": [],
            "fails_with_panic": [("assert", None)],
            "fails_with_unwrap": [("assert", None)],
            "passes": [],
            "passes_printing": [],
        }
        # Completion order in a parallel run is free; the contents are not.
        self.assertEqual(sorted(cases), sorted(("crate", n, r) for n, r in expected.items()))

    def test_times_follow_the_time_options(self):
        plain = machine_run(BIN, "junit", env=SERIAL)
        self.assertEqual(set(re.findall(rb'time="([^"]*)"', plain.stdout)), {b"0"})
        timed = machine_run(BIN, "junit", "--report-time", env=SERIAL)
        assert_well_formed_xml(self, timed.stdout)
        times = re.findall(rb'time="([^"]*)"', timed.stdout)
        self.assertEqual(len(times), 8)
        for time in times:
            self.assertRegex(time, rb"^(0|[1-9][0-9]*)\.[0-9]*[1-9]$")  # a real, non-zero time
        for case in JUnitXml.fromstring(timed.stdout):
            for test in case:
                self.assertGreater(test.time, 0)

    def test_nothing_selected(self):
        result = machine_run(BIN, "junit", "no_such_test")
        self.assertEqual((result.status, result.stderr), (0, b""))
        assert_well_formed_xml(self, result.stdout)
        self.assertEqual(result.stdout, DECLARATION + suite_start(0, 0, 0) + SUITE_END)

    def test_class_names_and_time_limit_failures(self):
        # Unit tests over 1 ms fail by time limit; the failing unit test stays
        # an assertion failure.
        result = machine_run(BIN, "junit", "--ensure-time",
                             env={"HARNESS_SELFTEST_REGISTRY": "timing", "RUST_TEST_THREADS": "1",
                                  "HARNESS_SELFTEST_SLEEP_MS": "5",
                                  "RUST_TEST_TIME_UNIT": "1,1"})
        self.assertEqual(result.status, 101, result.stderr)
        assert_well_formed_xml(self, result.stdout)
        self.assertEqual(read_back(self, result.stdout), [
            ("doc", "doc_sleeps", []),
            ("integration", "integration_sleeps", []),
            ("crate", "unit_sleeps", [("timeout", None)]),
            ("crate", "unit_sleeps_then_fails", [("assert", None)]),
            ("unknown", "unknown_sleeps", []),
        ])
        # A time-limit failure carries no captured output.
        self.assertIn(b'<testcase classname="crate" name="unit_sleeps" time="', result.stdout)
        self.assertRegex(result.stdout,
                         rb'name="unit_sleeps" time="[0-9.]+"><failure type="timeout"/>'
                         rb'</testcase>')

    def test_interrupted_run_leaves_only_the_declaration(self):
        result = machine_run(BIN, "junit", env={"HARNESS_SELFTEST_REGISTRY": "abort"})
        self.assertNotEqual(result.status, 0)
        self.assertTrue(result.stdout.startswith(DECLARATION), result.stdout)
        self.assertNotIn(b"<testsuites>", result.stdout)

    def test_full_output_device(self):
        result = machine_run_into("/dev/full", BIN, "junit", "passes")
        self.assertEqual((result.status, result.stderr), (
            101, b'error: io error when listing tests: Os { code: 28, kind: StorageFull, '
                 b'message: "No space left on device" }\n'))


if __name__ == "__main__":
    BIN = take_binary_argument()
    unittest.main()
