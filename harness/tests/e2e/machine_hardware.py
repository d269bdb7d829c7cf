"""The JUnit document and the JSON stream of hardware_e2e on the simulated
card: a full run, and runs with failures injected into the runners."""

import re
import unittest

from junitparser import Failure, JUnitXml

from catalogue import listing
from machine_common import assert_json_lines, assert_well_formed_xml, machine_run, \
    take_binary_argument

BIN = None


def listed_names():
    return [name for name, _ in listing(BIN)]


class HardwareJunit(unittest.TestCase):
    maxDiff = None

    def read(self, document):
        """[(classname, name, failure types, system-out)] through junitparser,
        with the suite's declared counts."""
        assert_well_formed_xml(self, document)
        suites = list(JUnitXml.fromstring(document))
        self.assertEqual(len(suites), 1)
        declared = re.search(rb'failures="(\d+)" tests="(\d+)" skipped="(\d+)" >', document)
        self.assertIsNotNone(declared, document[:300])
        counts = tuple(int(n) for n in declared.groups())
        cases = [(c.classname, c.name, [r.type for r in c.result if isinstance(r, Failure)],
                  c.system_out) for c in suites[0]]
        return counts, cases

    def test_full_run(self):
        result = machine_run(BIN, "junit")
        self.assertEqual((result.status, result.stderr), (0, b""))
        counts, cases = self.read(result.stdout)
        names = listed_names()
        self.assertEqual(counts, (0, len(names), 0))
        self.assertEqual(sorted(cases), [("integration", n, [], None) for n in names])
        self.assertEqual(set(re.findall(rb'time="([^"]*)"', result.stdout)), {b"0"})

    def test_injected_exit_code_fails_one_test(self):
        result = machine_run(BIN, "junit", env={"ZEL_SIM_FAULT": "zel-gemm-e2e=exit:3"})
        self.assertEqual(result.status, 101, result.stderr)
        counts, cases = self.read(result.stdout)
        self.assertEqual(counts, (1, len(listed_names()), 0))
        failed = [c for c in cases if c[2]]
        self.assertEqual([(c[0], c[1], c[2]) for c in failed],
                         [("integration", "blocked_gemm_with_cycle_profile_works", ["assert"])])
        self.assertIn("\nthread 'blocked_gemm_with_cycle_profile_works' (", failed[0][3])
        self.assertIn(" failed with exit status: 3\n", failed[0][3])
        self.assertEqual(len(cases), len(listed_names()))

    def test_corrupted_card_fails_every_test(self):
        # The runners report mismatches on the real standard error; the
        # document on standard output stays whole.
        result = machine_run(BIN, "junit", "--report-time", env={"ZEL_SIM_FAULT": "corrupt"})
        self.assertEqual(result.status, 101, result.stderr)
        self.assertIn(b"mismatch", result.stderr)
        counts, cases = self.read(result.stdout)
        names = listed_names()
        self.assertEqual(counts, (len(names), len(names), 0))
        self.assertEqual(sorted((c[0], c[1], c[2]) for c in cases),
                         [("integration", n, ["assert"]) for n in names])
        for time in re.findall(rb'time="([^"]*)"', result.stdout):
            self.assertNotEqual(time, b"0")


class HardwareJson(unittest.TestCase):
    def test_full_run_with_times(self):
        result = machine_run(BIN, "json", "--report-time", env={"RUST_TEST_THREADS": "1"})
        self.assertEqual((result.status, result.stderr), (0, b""))
        events = assert_json_lines(self, result.stdout)
        names = listed_names()
        self.assertEqual(len(events), 1 + 2 * len(names) + 1)
        self.assertEqual(events[0], {"type": "suite", "event": "started",
                                     "test_count": len(names)})
        for i, name in enumerate(names):
            start, finish = events[1 + 2 * i], events[2 + 2 * i]
            self.assertEqual(start, {"type": "test", "event": "started", "name": name})
            self.assertEqual(sorted(finish), ["event", "exec_time", "name", "type"])
            self.assertEqual((finish["name"], finish["event"]), (name, "ok"))
        self.assertEqual(events[-1]["event"], "ok")
        self.assertEqual(events[-1]["passed"], len(names))


if __name__ == "__main__":
    BIN = take_binary_argument()
    unittest.main()
