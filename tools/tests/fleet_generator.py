"""Simulated fleets: the reports a lab's nightly runs of hardware_e2e leave,
written in the engine document format (what XML_OUTPUT_FILE gets), with
faults drawn from a seeded random generator.

    fleet = Fleet(tests, hosts=3, cards=4, nights=10, seed=1)
    fleet.flaky["some_test"] = 0.15          # fails 15 % of its runs anywhere
    fleet.bad_cards["lab-b/2"] = 0.2         # every test on that card fails 20 % more
    fleet.bad_cells[("a_test", "lab-c/0")] = 0.9
    fleet.broken.add("another_test")
    counts = fleet.write(folder)             # one file a run; returns the counts

Run as a program it writes the benchmark's fleet:
    fleet_generator.py bench FOLDER TESTS_FILE   12,000 reports, one with 16 MiB of output
"""

import datetime
import os
import random
import sys
from xml.sax.saxutils import quoteattr

START = datetime.datetime(2026, 11, 1, 2, 0, 0)


def timestamp(when):
    return when.strftime("%Y-%m-%dT%H:%M:%S")


def character_data(text):
    """Captured output as the engine writes it: a CDATA section a line."""
    return "&#xA;".join("<![CDATA[%s]]>" % line for line in text.split("\n"))


def document(host, card, when, results):
    """The engine document of one run; `results` is [(test, failed, output)]."""
    failures = sum(1 for _, failed, _ in results if failed)
    properties = ""
    if card is not None:
        properties += '<property name="card" value=%s/>' % quoteattr(card)
    properties += '<property name="host" value=%s/>' % quoteattr(host)
    properties += '<property name="runner_dir" value="/opt/zel/bin"/>'
    parts = ['<?xml version="1.0" encoding="UTF-8"?><testsuites><testsuite name="test" '
             'package="test" id="0" errors="0" failures="%d" tests="%d" skipped="0" '
             'hostname=%s timestamp="%s" ><properties>%s</properties>'
             % (failures, len(results), quoteattr(host), timestamp(when), properties)]
    for test, failed, output in results:
        head = '<testcase classname="integration" name=%s time="0.125"' % quoteattr(test)
        if not failed:
            parts.append(head + "/>")
            continue
        parts.append(head + '><failure message="hardware capability failed" type="assert"/>')
        if output:
            parts.append("<system-out>%s</system-out>" % character_data(output))
        parts.append("</testcase>")
    parts.append("<system-out/><system-err/></testsuite></testsuites>\n")
    return "".join(parts)


class Fleet:
    def __init__(self, tests, hosts=3, cards=4, nights=10, seed=1):
        self.tests = list(tests)
        self.hosts = ["lab-%s" % chr(ord("a") + i) for i in range(hosts)]
        self.cards = cards
        self.nights = nights
        self.random = random.Random(seed)
        self.flaky = {}      # test -> failure rate on every card
        self.bad_cards = {}  # "host/card" -> added failure rate of every test there
        self.bad_cells = {}  # (test, "host/card") -> failure rate of the test there
        self.broken = set()
        self.big_output = 0  # bytes of captured output for the first failure written

    def card_names(self):
        return ["%s/%d" % (host, card) for host in self.hosts for card in range(self.cards)]

    def runs(self):
        """(host, card, start) of every run, night by night."""
        for night in range(self.nights):
            for h, host in enumerate(self.hosts):
                for card in range(self.cards):
                    when = START + datetime.timedelta(days=night, seconds=60 * h + 7 * card)
                    yield host, str(card), when

    def fails(self, test, card_name):
        rate = 1.0 if test in self.broken else self.flaky.get(test, 0.0)
        rate = max(rate, self.bad_cells.get((test, card_name), 0.0))
        rate = min(1.0, rate + self.bad_cards.get(card_name, 0.0))
        return self.random.random() < rate

    def write(self, folder):
        """Writes a report a run; returns {(test, card_name): [runs, failures]}."""
        os.makedirs(folder, exist_ok=True)
        counts = {}
        for host, card, when in self.runs():
            name = "%s/%s" % (host, card)
            results = []
            for test in self.tests:
                failed = self.fails(test, name)
                output = ""
                if failed and self.big_output:
                    line = "runner output of a failing test, line after line " * 2
                    output = "\n".join([line] * (self.big_output // (len(line) + 1)))
                    self.big_output = 0
                elif failed:
                    output = "hardware capability %r failed with exit status: 1" % test
                results.append((test, failed, output))
                cell = counts.setdefault((test, name), [0, 0])
                cell[0] += 1
                cell[1] += failed
            path = os.path.join(folder, host, "%s-%s-%s.xml"
                                % (host, card, when.strftime("%Y%m%dT%H%M%S")))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w", encoding="utf-8") as f:
                f.write(document(host, card, when, results))
        return counts


def main(argv):
    if len(argv) != 4 or argv[1] != "bench":
        sys.stderr.write("usage: fleet_generator.py bench FOLDER TESTS_FILE\n")
        return 2
    with open(argv[3], encoding="utf-8") as f:
        tests = [line.strip() for line in f if line.strip()]
    # 50 hosts x 4 cards x 60 nights = 12,000 reports.
    fleet = Fleet(tests, hosts=50, cards=4, nights=60, seed=7)
    fleet.hosts = ["lab-%02d" % i for i in range(50)]
    fleet.flaky[tests[0]] = 0.05
    fleet.bad_cards[fleet.card_names()[5]] = 0.2
    fleet.big_output = 16 << 20
    fleet.write(argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
