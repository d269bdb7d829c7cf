"""Every run leaves its report in ZEL_REPORT_DIR: a new file named after the
host, the card, the run's start and the process, the same document as
XML_OUTPUT_FILE; a stopped run's too; under ctest, every test and every
attempt of --repeat leaves its own, and a card ctest allocated is named on
standard error so ctest's own JUnit says which card a passing test used."""

import json
import os
import re
import signal
import socket
import subprocess
import tempfile
import unittest

import junitparser

from e2e import clean_env, run
from lifetime_test import wait_until
from standin import STANDIN_BIN, catalogue, discovery_project, gemm_writes, run_program

TESTS = catalogue("")
HOST = socket.gethostname()


def report_name(card, pid):
    return re.compile(rf"^{re.escape(HOST)}_{card}_\d{{8}}T\d{{6}}Z_{pid}\.xml$")


class ReportDir(unittest.TestCase):
    def test_each_run_adds_its_document_and_never_replaces_one(self):
        with tempfile.TemporaryDirectory() as scratch:
            folder = os.path.join(scratch, "lab", "nightly")  # made with its parents
            xml = os.path.join(scratch, "engine.xml")
            env = {"ZEL_REPORT_DIR": folder, "XML_OUTPUT_FILE": xml, "ZEL_CARD": "2",
                   "ZEL_CARD_LOCK_DIR": scratch}
            first = run_program(STANDIN_BIN, ["--exact", TESTS[0].name], env=env)
            self.assertEqual(first.status, 0, first.stderr)
            [name] = os.listdir(folder)
            with open(os.path.join(folder, name), "rb") as report, open(xml, "rb") as engine:
                self.assertEqual(report.read(), engine.read())
            [suite] = junitparser.JUnitXml.fromfile(os.path.join(folder, name))
            self.assertEqual({p.name: p.value for p in suite.properties()}["card"], "2")
            pid = re.match(report_name("card-2", r"(\d+)"), name).group(1)

            # Without a card, and without XML_OUTPUT_FILE: a second file beside the first.
            second = run_program(STANDIN_BIN, ["--exact", TESTS[0].name],
                                 env={"ZEL_REPORT_DIR": folder})
            self.assertEqual(second.status, 0, second.stderr)
            names = sorted(os.listdir(folder))
            self.assertEqual(len(names), 2)
            self.assertIn(name, names)
            [other] = [n for n in names if n != name]
            self.assertRegex(other, report_name("no-card", r"\d+"))
            self.assertNotEqual(other, report_name("no-card", pid))

    def test_a_stopped_run_leaves_its_whole_report(self):
        with tempfile.TemporaryDirectory() as scratch:
            folder = os.path.join(scratch, "reports")
            started = os.path.join(scratch, "started")
            plan = [{"when": {"runner": "zel-gemm-e2e"},
                     "do": {"started": started, "sleep": 60}}]
            program = subprocess.Popen(
                [STANDIN_BIN, "--test-threads", "1"], stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
                env=clean_env({"STANDIN_PLAN": json.dumps(plan), "TMPDIR": scratch,
                               "ZEL_REPORT_DIR": folder}))
            self.assertTrue(wait_until(lambda: os.path.exists(started)))
            program.send_signal(signal.SIGTERM)
            self.assertEqual(program.wait(timeout=60), -signal.SIGTERM)
            [name] = os.listdir(folder)
            self.assertRegex(name, report_name("no-card", program.pid))
            [suite] = junitparser.JUnitXml.fromfile(os.path.join(folder, name))
            failures = [case.name for case in suite if not case.is_passed]
            gemm = [t.name for t in TESTS if t.launches and t.launches[0].runner == "zel-gemm-e2e"]
            self.assertEqual(failures, gemm[:1])


class UnderCtest(unittest.TestCase):
    def test_two_cards_and_repeat_leave_a_report_per_attempt_naming_the_card(self):
        failing = {t.name for t in TESTS if any(l.runner == "zel-attention-f16-e2e"
                                                for l in t.launches)}
        self.assertTrue(failing)
        with tempfile.TemporaryDirectory() as project:
            build = discovery_project(project)
            spec = os.path.join(project, "cards.json")
            with open(spec, "w", encoding="utf-8") as out:
                json.dump({"version": {"major": 1, "minor": 0},
                           "local": [{"cards": [{"id": "0", "slots": 1},
                                                {"id": "1", "slots": 1}]}]}, out)
            folder = os.path.join(project, "reports")
            junit = os.path.join(project, "ctest.xml")
            plan = [{"when": {"runner": "zel-attention-f16-e2e"}, "do": {"exit": 1}},
                    gemm_writes("valid")]
            ctest = run(["ctest", "--test-dir", build, "-j2", "--resource-spec-file", spec,
                         "--repeat", "until-pass:2", "--output-junit", junit],
                        env={"ZEL_REPORT_DIR": folder, "ZEL_CARD_LOCK_DIR": project,
                             "STANDIN_PLAN": json.dumps(plan)}, timeout=300)
            self.assertEqual(ctest.status, 8, ctest.stdout.decode())

            # One report per attempt: two for each failing test, one for the others.
            attempts, cards = {}, set()
            for name in os.listdir(folder):
                [suite] = junitparser.JUnitXml.fromfile(os.path.join(folder, name))
                [case] = list(suite)
                card = {p.name: p.value for p in suite.properties()}["card"]
                self.assertRegex(name, report_name(f"card-{card}", r"\d+"))
                attempts[case.name] = attempts.get(case.name, 0) + 1
                cards.add(card)
            self.assertEqual(attempts, {t.name: 2 if t.name in failing else 1 for t in TESTS})
            self.assertEqual(cards, {"0", "1"})

            # ctest's own JUnit names the card of a passing test.
            # (its root is a single testsuite)
            suite = junitparser.JUnitXml.fromfile(junit)
            passing = next(case for case in suite if case.name == f"hw.{TESTS[0].name}")
            self.assertRegex(passing.system_out, rf"running on card [01] of host {re.escape(HOST)}")


if __name__ == "__main__":
    unittest.main()
