"""What the people on call learn from a run that went wrong, against the
stand-in runners: a hung runner is stopped at its bound and the suite goes on;
a run stopped by SIGTERM still reports every test it started; a runner's
command line repeats it in a shell; a failed GEMM test keeps its profile where
a test engine collects it; a test waiting for its card says who holds it; a
build engine's test filter selects."""

import fcntl
import json
import os
import pathlib
import re
import subprocess
import tempfile
import time
import unittest

import junitparser

from e2e import clean_env, run
from standin import STANDIN_BIN, catalogue, profile_fixture, run_program

SCHEMA = pathlib.Path(__file__).resolve().parents[4] / "tests/support/junit-ci.xsd"
MACHINE = ("-Z", "unstable-options", "--format")
GEMM = "blocked_gemm_with_cycle_profile_works"


def schema_valid(path):
    return subprocess.run(["xmllint", "--noout", "--schema", str(SCHEMA), path],
                          capture_output=True).returncode == 0


class RunnerBound(unittest.TestCase):
    def test_a_hung_runner_is_stopped_at_its_bound_and_the_next_test_runs(self):
        # The runner ignores SIGTERM, so the bound ends it with SIGKILL after the grace
        # period. The bound leaves a loaded machine time to start the next runner.
        plan = [{"when": {"runner": "zel-gemm-e2e"}, "do": {"ignore_term": True, "sleep": 60}}]
        with tempfile.TemporaryDirectory() as locks:
            program = run_program(STANDIN_BIN, ["--test-threads", "1", "blocked_gemm", "direct_mu"],
                                  plan=plan, env={"ZEL_RUNNER_TIMEOUT": "3", "ZEL_CARD": "1",
                                                  "ZEL_CARD_LOCK_DIR": locks})
        self.assertEqual(program.status, 101)
        self.assertIn(f"---- {GEMM} stdout ----\nrunner zel-gemm-e2e timed out after 3 s on "
                      f"card 1 and was stopped\n\nthread '{GEMM}'".encode(), program.stdout)
        self.assertIn(b'per-tile cycle profile" failed with signal: 9 (SIGKILL)\n', program.stdout)
        self.assertIn(b"test direct_multicast_works ... ok\n", program.stdout)
        # A runner killed by SIGKILL logs nothing; the next test's runner ran.
        self.assertEqual([r.runner for r in program.records], ["zel-hardware-e2e"])


class StoppedRun(unittest.TestCase):
    def test_sigterm_with_two_workers_reports_every_test_it_started(self):
        # The GEMM and multicast runners hang; the reduction's passes. Whichever of the
        # first two tests to start takes the device, one test is stopped in its runner
        # and one is waiting for the device when the signal comes.
        for fmt in ("junit", "json"):
            with self.subTest(format=fmt), tempfile.TemporaryDirectory() as scratch:
                started = os.path.join(scratch, "started")
                hang = {"started": started, "early_profile": profile_fixture("valid"),
                        "print": "hanging\n", "sleep": 60}
                plan = [{"when": {"runner": "zel-gemm-e2e"}, "do": hang},
                        {"when": {"env": {"ZEL_GRAPH_TEST": "fanout"}},
                         "do": {k: v for k, v in hang.items() if k != "early_profile"}}]
                report = os.path.join(scratch, "report.xml")
                program = subprocess.Popen(
                    [STANDIN_BIN, "--test-threads", "2", *MACHINE, fmt, "all_tile_reduction",
                     "blocked_gemm", "direct_multicast"],
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                    env=clean_env({"STANDIN_PLAN": json.dumps(plan), "RUSTC_BOOTSTRAP": "1",
                                   "TMPDIR": scratch, "XML_OUTPUT_FILE": report,
                                   "TEST_PREMATURE_EXIT_FILE": os.path.join(scratch, "premature"),
                                   "ZEL_CAPTURE_RUNNER_OUTPUT": "1"}))
                deadline = time.monotonic() + 30
                while not os.path.exists(started) and time.monotonic() < deadline:
                    time.sleep(0.02)
                time.sleep(0.5)  # the other test reaches the device
                program.terminate()
                stdout, stderr = program.communicate(timeout=30)
                self.assertEqual(program.returncode, -15, stderr)
                self.assertTrue(os.path.exists(os.path.join(scratch, "premature")))
                self.assertEqual([f for f in os.listdir(scratch) if f.endswith(".capnp")], [])

                [suite] = junitparser.JUnitXml.fromfile(report)
                running = self.check_interrupted(suite)
                self.assertTrue(schema_valid(report))
                case = next(case for case in suite if case.name == running)
                self.assertGreater(case.time, 0)
                self.assertRegex(case.system_out, r"^runner: .*/zel-\w+-e2e\nhanging\n"
                                 r"runner: signal: 15 \(SIGTERM\) after \d+\.\d{3} s\n$")
                if fmt == "junit":
                    [suite] = junitparser.JUnitXml.fromstring(stdout)
                    self.check_interrupted(suite)
                else:
                    events = [json.loads(line) for line in stdout.splitlines()]
                    self.assertEqual(events[-1]["event"], "failed")
                    self.assertEqual(events[-1]["failed"], 2)
                    self.check_messages({e["name"]: e["message"] for e in events
                                         if e["type"] == "test" and e["event"] == "failed"})

    def check_interrupted(self, suite):
        """The suite holds exactly the tests that started, the two interrupted
        ones failed; returns the name of the one stopped in its runner."""
        self.assertEqual((suite.tests, suite.failures), (len(list(suite)), 2))
        return self.check_messages({case.name: case.result[0].message
                                    for case in suite if case.result})

    def check_messages(self, messages):
        running = [name for name, message in messages.items() if "runner" in message]
        self.assertEqual(len(running), 1, messages)
        self.assertRegex(messages.pop(running[0]), r"^interrupted by SIGTERM after \d+\.\d s "
                                                   r"while its runner zel-\w+-e2e was running$")
        [waiting] = messages.values()
        self.assertRegex(waiting, r"^interrupted by SIGTERM after \d+\.\d s while waiting for "
                                  r"the device$")
        return running[0]


class RunnerCommand(unittest.TestCase):
    def test_the_printed_command_repeats_a_failing_and_a_passing_runner(self):
        # Each runner ends as asked only with exactly the variables its test sets.
        plan = [{"when": {"runner": "zel-gemm-e2e", "env": {"ZEL_GEMM_DIMENSION": "128"}},
                 "do": {"print_err": "mismatch on tile 0\n", "exit": 3}},
                {"when": {"runner": "zel-host-e2e",
                          "env": {"ZEL_HOST_TEST_D2H_ONLY": "1",
                                  "ZEL_HOST_WRITE_JITTER_SEED": "it's $7"}}, "do": {}},
                {"do": {"exit": 5}}]
        env = {"ZEL_CAPTURE_RUNNER_OUTPUT": "1", "RUSTC_BOOTSTRAP": "1",
               "ZEL_TEST_HOST_WRITE_JITTER_SEED": "it's $7"}
        program = run_program(STANDIN_BIN, [*MACHINE, "json", "--show-output", "blocked_gemm",
                                            "initialized_local_tile"], plan=plan, env=env)
        self.assertEqual(program.status, 101, program.stderr)
        results = {e["name"]: e for e in map(json.loads, program.stdout.splitlines())
                   if e["type"] == "test" and e["event"] != "started"}
        for name, status in ((GEMM, 3), ("initialized_local_tile_d2h_works", 0)):
            with self.subTest(name):
                output = results[name]["stdout"]
                command = re.match(r"runner: (.*)\n", output).group(1)
                self.assertRegex(output, rf"\nrunner: exit status: {status} after \d+\.\d{{3}} s\n")
                repeated = subprocess.run(["sh", "-c", command], capture_output=True,
                                          env=clean_env({"STANDIN_PLAN": json.dumps(plan)}))
                self.assertEqual(repeated.returncode, status, command)


class KeptProfile(unittest.TestCase):
    def test_a_failed_gemm_test_keeps_its_profile_where_the_engine_collects_it(self):
        fixture = profile_fixture("valid")
        plan = [{"when": {"runner": "zel-gemm-e2e"}, "do": {"profile": fixture, "exit": 1}}]
        with tempfile.TemporaryDirectory() as scratch, \
                tempfile.TemporaryDirectory(dir="/dev/shm") as other_fs:
            same_fs = os.path.join(scratch, "outputs")
            os.mkdir(same_fs)
            kept = os.path.join(same_fs, GEMM + ".capnp")
            with open(kept, "wb") as old:
                old.write(b"an earlier run's profile")
            folders = [same_fs, os.path.join(scratch, "missing")]
            if os.stat(other_fs).st_dev != os.stat(scratch).st_dev:
                folders.append(other_fs)
            else:
                print("skipped the move across file systems: /dev/shm is on the same one")
            for folder in folders:
                with self.subTest(folder=folder):
                    program = run_program(STANDIN_BIN, ["blocked_gemm"], plan=plan,
                                          env={"TMPDIR": scratch,
                                               "TEST_UNDECLARED_OUTPUTS_DIR": folder})
                    self.assertEqual(program.status, 101)
                    temporary = program.records[0].value("ZEL_PROFILE_OUTPUT")
                    target = os.path.join(folder, GEMM + ".capnp")
                    if folder.endswith("missing"):
                        line = (f"cycle profile kept: {temporary} (not moved to {folder}: "
                                "No such file or directory (os error 2))")
                        final = temporary
                    else:
                        line, final = f"cycle profile kept: {target}", target
                        self.assertFalse(os.path.exists(temporary))
                    self.assertIn(f"---- {GEMM} stdout ----\n{line}\n\nthread ".encode(),
                                  program.stdout)
                    self.assertEqual(pathlib.Path(final).read_bytes(),
                                     pathlib.Path(fixture).read_bytes())


class CardWait(unittest.TestCase):
    def test_a_test_waiting_for_its_card_names_the_holder_once(self):
        with tempfile.TemporaryDirectory() as locks:
            path = os.path.join(locks, "zel-t742-card-3.lock")
            with open(path, "w", encoding="ascii") as holder:
                fcntl.flock(holder, fcntl.LOCK_EX)
                holder.write(f"{os.getpid()}\n")
                holder.flush()
                program = subprocess.Popen(
                    [STANDIN_BIN, "--exact", "direct_multicast_works"], stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE,
                    env=clean_env({"ZEL_CARD": "3", "ZEL_CARD_LOCK_DIR": locks}))
                notice = program.stderr.readline()
            stdout, rest = program.communicate(timeout=30)
            self.assertEqual((program.returncode, notice + rest), (0, (
                f"test direct_multicast_works is waiting for card 3 (held by process "
                f"{os.getpid()})\n").encode()), stdout)
            # The holder cleared its pid before it let go.
            self.assertEqual(pathlib.Path(path).read_text(encoding="ascii"), "")


class EngineFilter(unittest.TestCase):
    def test_testbridge_test_only_filters_unless_the_command_line_does(self):
        for value, args, selected in (
                ("multicast", [], ["direct_multicast_works",
                                   "multicast_receiver_can_send_in_same_phase"]),
                ("multicast", ["blocked_gemm"], [GEMM]),
                ("multicast", ["--exact"], []),
                ("direct_multicast_works", ["--exact"], ["direct_multicast_works"]),
                ("", [], None)):
            with self.subTest(value=value, args=args):
                listed = run([STANDIN_BIN, "--list", *args], env={"TESTBRIDGE_TEST_ONLY": value})
                names = [line[:-len(": test")] for line in listed.stdout.decode().splitlines()
                         if line.endswith(": test")]
                self.assertEqual(listed.status, 0)
                if selected is None:
                    self.assertEqual(names, [t.name for t in catalogue("")])
                else:
                    self.assertEqual(names, selected)


if __name__ == "__main__":
    unittest.main()
