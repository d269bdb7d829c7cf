"""End-to-end tests of zel-health on simulated fleets and on real reports.

Run by CTest: zel_health_e2e.py ZEL_HEALTH HARDWARE_E2E
The tests' names come from hardware_e2e --list; the fleets from fleet_generator.
"""

import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

from e2e import run
import fleet_generator

TOOL = None
PROGRAM = None
TESTS = None

USAGE = (b"usage: zel-health [OPTIONS] PATH...\n"
         b"Reads the reports of hardware_e2e runs (files, or folders searched for *.xml) and says\n"
         b"which cards are suspect and which tests fail on one card, are broken or are flaky.\n"
         b"  --all           list every test on every card, not only the failing ones\n"
         b"  --json FILE     write the findings as JSON to FILE (- for standard output)\n"
         b"  --svg FILE      draw the tests by cards as a heat map to FILE (- for standard output)\n"
         b"  --since TIME    only the runs that started at TIME (UTC) or later:\n"
         b"                  2026-11-06 or 2026-11-06T02:00:00\n")


def health(*args):
    return run([TOOL, *args])


def findings(folder, *args):
    """zel-health's JSON on `folder`, with its cards, tests and cells by name."""
    result = health("--json", "-", *args, folder)
    assert result.status == 0, result.stderr
    doc = json.loads(result.stdout)
    doc["suspects"] = {"%s/%s" % (c["host"], c["card"]) for c in doc["cards"]
                       if c["verdict"] == "suspect"}
    doc["verdicts"] = {t["name"]: t["verdict"] for t in doc["tests"]}
    doc["fails_here"] = {(c["test"], "%s/%s" % (c["host"], c["card"])) for c in doc["cells"]
                         if c["verdict"] == "fails-here"}
    return doc


class FleetTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def folder(self, name):
        return os.path.join(self.dir, name)

    def test_findings_on_simulated_fleets(self):
        flaky, bad_tile_test, broken = TESTS[1], TESTS[2], TESTS[3]
        cases = [
            # name, set-up, suspect cards, fails-here cells, broken/flaky verdicts
            ("bad card", lambda f: f.bad_cards.update({"lab-b/2": 0.2}), {"lab-b/2"}, None, {}),
            ("bad tile", lambda f: f.bad_cells.update({(bad_tile_test, "lab-c/0"): 0.9}),
             None, {(bad_tile_test, "lab-c/0")}, {bad_tile_test: "ok"}),
            ("broken test", lambda f: f.broken.add(broken), set(), set(), {broken: "broken"}),
        ] + [
            # Healthy fleets with flaky tests: no card and no cell may be flagged.
            ("healthy, seed %d" % seed, lambda f: f.flaky.update({flaky: 0.15, TESTS[4]: 0.3}),
             set(), set(), {flaky: "flaky", TESTS[4]: "flaky"})
            for seed in (1, 2, 3)
        ]
        for seed, (name, set_up, suspects, cells, verdicts) in enumerate(cases, 1):
            with self.subTest(name):
                fleet = fleet_generator.Fleet(TESTS, seed=seed)
                fleet.flaky[TESTS[0]] = 0.1
                set_up(fleet)
                fleet.write(self.folder(name))
                doc = findings(self.folder(name))
                self.assertEqual((doc["reports"], doc["results"]), (120, 120 * len(TESTS)))
                if suspects is not None:
                    self.assertEqual(doc["suspects"], suspects)
                if cells is not None:
                    self.assertEqual(doc["fails_here"], cells)
                for test, verdict in verdicts.items():
                    self.assertEqual(doc["verdicts"][test], verdict)

    def test_text_lines_and_since(self):
        fleet = fleet_generator.Fleet(TESTS, seed=4)
        fleet.bad_cells[(TESTS[2], "lab-c/0")] = 1.0
        fleet.broken.add(TESTS[3])
        fleet.flaky[TESTS[1]] = 0.2
        counts = fleet.write(self.dir)
        result = health(self.dir, "--all")
        self.assertEqual((result.status, result.stderr), (0, b""))
        lines = result.stdout.decode().split("\n")
        flaky_failures = sum(counts[(TESTS[1], c)][1] for c in fleet.card_names())
        flaky_cards = sum(1 for c in fleet.card_names() if counts[(TESTS[1], c)][1])
        self.assertEqual(lines[:2] + sorted(lines[2:4]), [
            "120 reports, %d test results, 12 cards on 3 hosts, "
            "2026-11-01T02:00:00 to 2026-11-10T02:02:21" % (120 * len(TESTS)),
            "test %s fails on card lab-c/0: 10 of 10 runs there, 0 of 110 elsewhere" % TESTS[2],
        ] + sorted([
            "test %s is broken: 120 failures in 120 runs on 12 of 12 cards" % TESTS[3],
            "test %s is flaky: %d failures in 120 runs on %d of 12 cards"
            % (TESTS[1], flaky_failures, flaky_cards),
        ]))
        # --all: a row for every test on every card.
        self.assertEqual(len([l for l in lines if re.match(r"\S+ +lab-\w/\d +\d+ +10", l)]),
                         12 * len(TESTS))
        # --since keeps the runs that started then or later, option after the path too.
        self.assertEqual(findings(self.dir, "--since", "2026-11-06")["reports"], 60)
        self.assertEqual(findings(self.dir, "--since=2026-11-10T02:01:00")["reports"], 8)

    def test_bad_card_timeline_and_picture_at_400_cards(self):
        fleet = fleet_generator.Fleet(TESTS, hosts=50, cards=8, nights=2, seed=5)
        fleet.bad_cards["lab-b/2"] = 0.5
        fleet.flaky[TESTS[1]] = 0.1
        fleet.write(self.dir)
        svg, png = self.folder("health.svg"), self.folder("health.png")
        result = health("--svg", svg, self.dir)
        self.assertEqual(result.status, 0, result.stderr)
        self.assertLess(os.path.getsize(svg), 4 << 20)
        with open(svg, encoding="utf-8") as f:
            picture = f.read()
        for name in ("lab-b/2", TESTS[1], "first failing run 2026-11-01T02:01:14"):
            self.assertIn(name, picture)
        subprocess.run(["rsvg-convert", "-o", png, svg], check=True)
        with open(png, "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")


class InputTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        fleet = fleet_generator.Fleet(TESTS[:3], hosts=1, cards=2, nights=1)
        fleet.write(self.dir)

    def tearDown(self):
        self.tmp.cleanup()

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_bad_reports_are_skipped_with_a_warning(self):
        good = fleet_generator.document("lab-a", "0", fleet_generator.START,
                                        [(TESTS[0], True, "out")]).encode()
        # The parser's own words follow "line N: "; only their start is checked.
        xml_error = "not well-formed XML (line 1: "
        bad = [
            ("1-truncated.xml", good[:len(good) // 2], xml_error),
            ("2-empty.xml", b"", "empty file"),
            ("3-binary.xml", bytes(range(256)), xml_error),
            ("4-other-tool.xml", b'<testsuites><testsuite name="x" timestamp='
             b'"2026-11-01T02:00:00"><testcase name="t"/></testsuite></testsuites>',
             'no "host" property: not a report of hardware_e2e'),
            ("5-no-time.xml", good.replace(b'timestamp="2026-11-01T02:00:00"', b""),
             'no start time: the testsuite\'s timestamp "" is not like 2026-11-01T02:00:00'),
            ("6-other-root.xml", b"<svg/>",
             "not a test report (its root element is not <testsuites>)"),
        ]
        paths = [self.write(name, data) for name, data, _ in bad]
        result = health("--json", "-", self.dir)
        self.assertEqual(result.status, 0)
        warnings = result.stderr.decode().split("\n")
        self.assertEqual(warnings[5:], ["warning: skipped 1 more files that are not readable "
                                        "reports", ""])
        doc = json.loads(result.stdout)
        self.assertEqual(doc["reports"], 2)
        self.assertEqual([s["path"] for s in doc["skipped"]], paths)
        for i, (path, (_, _, reason)) in enumerate(zip(paths, bad)):
            self.assertTrue(doc["skipped"][i]["reason"].startswith(reason))
            if i < 5:
                self.assertTrue(warnings[i].startswith("warning: skipped %s: %s" % (path, reason)),
                                warnings[i])
        # Nothing readable at all: one line, status 1.
        self.assertEqual(health(paths[1]).stderr,
                         b"warning: skipped %s: empty file\n"
                         b"error: the one file found is not a readable report\n" % paths[1].encode())
        self.assertEqual(health(paths[1]).status, 1)
        empty = os.path.join(self.dir, "empty")
        os.mkdir(empty)
        self.assertEqual((health(empty).status, health(empty).stderr),
                         (1, b"error: no report file (*.xml) in the paths given\n"))
        self.assertEqual(health("--since", "2027-01-01", self.dir).stderr.split(b"\n")[-2],
                         b"error: no run started at or after 2027-01-01T00:00:00: "
                         b"all 2 readable reports are older")

    def test_usage_errors(self):
        cases = [
            ((), "no PATH given: name report files or folders"),
            (("--bogus", self.dir), "unknown option '--bogus'"),
            ((self.dir, "--json"), "--json needs a file (- for standard output)"),
            (("--since",), "--since needs a time, such as 2026-11-06"),
            (("/nonexistent/reports",), "no such file or folder: '/nonexistent/reports'"),
            (("--since", "2026-02-30", self.dir),
             "--since '2026-02-30' is not a time: expected 2026-11-06 or 2026-11-06T02:00:00"),
            (("--since=yesterday", self.dir),
             "--since 'yesterday' is not a time: expected 2026-11-06 or 2026-11-06T02:00:00"),
            (("--json", "-", "--svg", "-", self.dir),
             "--json and --svg cannot both write to standard output"),
        ]
        for args, message in cases:
            with self.subTest(args):
                result = health(*args)
                self.assertEqual((result.status, result.stdout), (2, b""))
                self.assertEqual(result.stderr, b"error: " + message.encode() + b"\n" + USAGE)
        self.assertEqual(health("--help").stdout, USAGE)


class RealReportsTest(unittest.TestCase):
    def test_reports_written_by_the_program(self):
        """Documents written by hardware_e2e itself, one run with a failing runner."""
        gemm = [t for t in TESTS if "gemm" in t]
        with tempfile.TemporaryDirectory() as tmp:
            env = {"ZEL_CARD_LOCK_DIR": tmp, "ZEL_SIM_CARD_STATE_DIR": tmp}
            for card, fault in (("0", "zel-gemm-e2e=exit:1"), ("1", "")):
                run([PROGRAM, "gemm"], env=dict(env, ZEL_CARD=card, ZEL_SIM_FAULT=fault,
                                                XML_OUTPUT_FILE=os.path.join(tmp, card + ".xml")))
            result = health("--json", "-", tmp)
            self.assertEqual(result.stderr, b"")
            doc = json.loads(result.stdout)
            self.assertEqual((doc["reports"], doc["results"]), (2, 2 * len(gemm)))
            self.assertEqual(sorted(c["card"] for c in doc["cards"]), ["0", "1"])
            failing = {(c["test"], c["card"]) for c in doc["cells"] if c["failures"]}
            self.assertEqual(failing, {(t, "0") for t in gemm})


if __name__ == "__main__":
    TOOL, PROGRAM = sys.argv[1], sys.argv[2]
    listing = subprocess.run([PROGRAM, "--list"], capture_output=True, check=True).stdout
    TESTS = re.findall(r"^(\S+): test$", listing.decode(), re.M)
    unittest.main(argv=sys.argv[:1])
