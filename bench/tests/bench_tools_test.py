"""End-to-end tests of the tools behind `make bench`: the runner recording that
gives the suite's baseline replays every launch with exactly the variables it
was started with, and stops at the first runner that fails; the harness
overhead benchmark runs its measurements and whole-program comparisons.

Usage: bench_tools_test.py HARDWARE_E2E_RECORDING RECORDING_DIR RUNNER_DIR HARNESS_OVERHEAD
"""

import os
import re
import subprocess
import sys
import tempfile
import unittest

from catalogue import launch_count
from e2e import clean_env, run

RECORDING, RECORDING_DIR, RUNNER_DIR, OVERHEAD = sys.argv[1:5]
del sys.argv[1:5]

RUNNERS = ("zel-host-e2e", "zel-hardware-e2e", "zel-randomized-e2e", "zel-gemm-e2e",
           "zel-attention-f16-e2e")

# Inherited by every runner, so written down with each launch: blanks, quotes,
# commas, a dollar sign and a backslash must survive the replay unchanged.
AWKWARD = "a b'c\"d,e$f\\g"


def record(log, env=None):
    return run([RECORDING, "--test-threads", "1"],
               env={"BENCH_RUNNER_LOG": log, "ZEL_BENCH_AWKWARD": AWKWARD, **(env or {})})


def replay(script, env):
    proc = subprocess.run(["bash", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=clean_env(env), timeout=120)
    return proc.returncode


class RunnerRecording(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.first = os.path.join(self.dir.name, "first.sh")

    def test_replay_starts_the_same_launches_with_the_same_variables(self):
        result = record(self.first)
        self.assertEqual(result.status, 0, result.stdout + result.stderr)
        with open(self.first) as f:
            lines = f.read().splitlines()
        launches = [line for line in lines if line.startswith("env ")]
        # Every launch of every test, as the catalogue lists them.
        self.assertEqual(len(launches), launch_count(RECORDING))
        for line in launches:
            self.assertRegex(line, r" %s/(%s) \|\| exit 1$" % (
                re.escape(RUNNER_DIR), "|".join(map(re.escape, RUNNERS))))
        removals = [line for line in lines if line.startswith("rm -f -- ")]
        gemm = [line for line in launches if "/zel-gemm-e2e " in line]
        self.assertEqual(len(removals), len(gemm))
        self.assertEqual(len(lines), len(launches) + len(removals))

        # Replayed through the recorders once more, the launches write down
        # the very same lines: every variable reached the runner unchanged.
        again = os.path.join(self.dir.name, "again.sh")
        through_recorders = os.path.join(self.dir.name, "through_recorders.sh")
        with open(through_recorders, "w") as f:
            f.write("\n".join(lines).replace(RUNNER_DIR + "/", RECORDING_DIR + "/") + "\n")
        self.assertEqual(replay(through_recorders, {"BENCH_RUNNER_LOG": again}), 0)
        with open(again) as f:
            self.assertEqual(f.read().splitlines(), lines)
        for line in launches:
            self.assertIn(" ZEL_BENCH_AWKWARD=", line)

        # The profiles the GEMM launches wrote are gone again.
        for line in removals:
            path = line[len("rm -f -- "):]
            self.assertFalse(os.path.exists(path), path)

    def test_replay_stops_with_status_1_at_a_failing_runner(self):
        result = record(self.first, {"ZEL_SIM_FAULT": "zel-gemm-e2e=exit:3"})
        self.assertEqual(result.status, 101)
        marker = os.path.join(self.dir.name, "after_the_failure")
        with open(self.first, "a") as f:
            f.write("touch %s\n" % marker)
        self.assertEqual(replay(self.first, {}), 1)
        self.assertFalse(os.path.exists(marker))


class HarnessOverhead(unittest.TestCase):
    def test_prints_every_figure_and_both_comparisons(self):
        result = run([OVERHEAD, "40", "1"])
        self.assertEqual(result.status, 0, result.stderr)
        text = result.stdout.decode()
        for workers in ("1 worker ", "2 workers"):
            self.assertIn("\n%s " % workers, text)
        for label in ("floor", "run loop", "console driver", "harness program", "GoogleTest"):
            self.assertEqual(len(re.findall(r"\n  %s +\d+\.\d" % label, text)), 2, label)
        self.assertEqual(len(re.findall(r"\n  harness program / GoogleTest: ", text)), 2)
        self.assertRegex(text, r"\nharness overhead goal: (met|MISSED)\n$")

    def test_refuses_an_unknown_measurement(self):
        result = run([OVERHEAD, "10", "1", "everything"])
        self.assertEqual(result.status, 2)
        self.assertEqual(result.stderr,
                         b"cannot run 'everything': floor, loop, console, gtest or program\n")


if __name__ == "__main__":
    unittest.main()
