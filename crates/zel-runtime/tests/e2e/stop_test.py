"""A stop by signal at any moment, against the stand-in runners: the report is
whole and never reads as a success, a test whose runner had ended finishes
with its own result within the grace, every test still in flight says what
it was doing, the card lock file names no one afterwards, a waiter names only
a real holder, and a second signal ends the program at once."""

import fcntl
import json
import os
import pathlib
import re
import signal
import subprocess
import tempfile
import threading
import unittest

from e2e import clean_env
from lifetime_test import alive, pids_in, wait_until
from standin import STANDIN_BIN, profile_fixture, profile_path

SCHEMA = str(pathlib.Path(__file__).resolve().parents[4] / "tests/support/junit-ci.xsd")
GEMM = "blocked_gemm_with_cycle_profile_works"
NAMES = [line.split(": ")[0] for line in subprocess.run(
    [STANDIN_BIN, "--list"], env=clean_env({}), capture_output=True, check=True,
    text=True).stdout.splitlines() if line.endswith(": test")]
MACHINE = ["-Z", "unstable-options", "--format"]


def blocks(pid, number, task=None):
    """Whether the thread `task` of `pid` (its main thread by default) blocks signal `number`."""
    with open(f"/proc/{pid}/task/{task or pid}/status", encoding="ascii") as status:
        mask = next(line for line in status if line.startswith("SigBlk:")).split()[1]
    return bool(int(mask, 16) >> (number - 1) & 1)


def has_reader(fifo):
    try:
        os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
        return True
    except OSError:
        return False


def sentence(number, not_started, selected):
    return (rb"run interrupted by %s after \d+\.\d s; %d of %d selected tests did not start"
            % (number.name.encode(), not_started, selected))


class Moments(unittest.TestCase):
    def start(self, scratch, args, plan=(), env=None, stderr=subprocess.PIPE):
        return subprocess.Popen(
            [STANDIN_BIN, *args], stdout=subprocess.PIPE, stderr=stderr,
            env=clean_env({"STANDIN_PLAN": json.dumps(list(plan)), "TMPDIR": scratch,
                           "RUSTC_BOOTSTRAP": "1", **(env or {})}))

    def test_a_stop_at_each_moment(self):
        gemm_runs = len(NAMES[:NAMES.index(GEMM) + 1])
        selected = len(NAMES)

        def before_first_test(program, scratch):
            # The log is a FIFO: no test starts before it has a reader.
            self.assertTrue(wait_until(lambda: blocks(program.pid, signal.SIGTERM)))
            program.send_signal(signal.SIGTERM)
            return open(os.path.join(scratch, "log"), "rb")

        def runner_reaped(program, scratch):
            started = os.path.join(scratch, "started")
            self.assertTrue(wait_until(lambda: len(pids_in(started)) == 1))
            self.assertTrue(wait_until(lambda: not os.path.exists(f"/proc/{pids_in(started)[0]}")))
            program.send_signal(signal.SIGTERM)

        def finished_in_grace(program, scratch):
            runner_reaped(program, scratch)
            with open(profile_path(scratch, program.pid), "wb") as fifo, \
                    open(profile_fixture("valid"), "rb") as fixture:
                fifo.write(fixture.read())

        def checking_profile(program, scratch):
            fifo = profile_path(scratch, program.pid)
            self.assertTrue(wait_until(lambda: os.path.exists(fifo) and has_reader(fifo)))
            held = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            program.send_signal(signal.SIGTERM)
            return os.fdopen(held, "wb")

        def runner_running(program, scratch):
            started = os.path.join(scratch, "started")
            self.assertTrue(wait_until(lambda: len(pids_in(started)) == 1))
            program.send_signal(signal.SIGINT)

        fifo_gemm = [{"when": {"runner": "zel-gemm-e2e"},
                      "do": {"started": None, "fifo_profile": True}}]
        sleeping = [{"do": {"started": None, "sleep": 60}}]
        # (moment, arguments, plan, signal sent when, signal, lines the report must hold)
        for moment, args, plan, when, number, expected in (
                ("before the first test", [*MACHINE, "json", "--logfile", "{log}"], [],
                 before_first_test, signal.SIGTERM,
                 [rb'\{ "type": "suite", "event": "failed", "passed": 0, "failed": 0,']),
                ("after a runner ended, finished in the grace",
                 ["--test-threads", "1"], fifo_gemm, finished_in_grace, signal.SIGTERM,
                 [rb"test %s \.\.\. ok" % GEMM.encode(),
                  b"\n" + sentence(signal.SIGTERM, selected - gemm_runs, selected)
                  + rb"\n\ntest result: FAILED\. %d passed; 0 failed;" % gemm_runs]),
                ("checking its profile, past the grace", [*MACHINE, "junit", GEMM], fifo_gemm,
                 checking_profile, signal.SIGTERM,
                 [rb'<failure message="interrupted by SIGTERM after \d+\.\d s '
                  rb'while checking its cycle profile" type="assert"/>',
                  rb"<system-err><!\[CDATA\[%s\]\]></system-err>" % sentence(
                      signal.SIGTERM, 0, 1)]),
                ("two tests in flight", ["--format", "terse", "--test-threads", "2"], sleeping,
                 runner_running, signal.SIGINT,
                 [rb"\nnote: interrupted by SIGINT after \d+\.\d s while its runner zel-\S+ was "
                  rb"running\n", rb"\nnote: interrupted by SIGINT after \d+\.\d s while waiting for "
                  rb"the device\n",
                  b"\n" + sentence(signal.SIGINT, selected - 2, selected)
                  + rb"\n\ntest result: FAILED\. 0 passed; 2 failed;"])):
            with self.subTest(moment=moment), tempfile.TemporaryDirectory() as scratch:
                os.mkfifo(os.path.join(scratch, "log"))
                for rule in plan:
                    rule["do"]["started"] = os.path.join(scratch, "started")
                xml = os.path.join(scratch, "engine.xml")
                program = self.start(scratch, [arg.format(log=os.path.join(scratch, "log"))
                                               for arg in args], plan,
                                     {"XML_OUTPUT_FILE": xml, "ZEL_CARD": "0",
                                      "ZEL_CARD_LOCK_DIR": scratch})
                held = when(program, scratch)
                stdout, stderr = program.communicate(timeout=60)
                if held:
                    held.close()
                self.assertEqual(program.returncode, -number, stderr)
                for pattern in expected:
                    self.assertRegex(stdout, pattern)
                # The engine's document says the same, and both documents are valid.
                with open(xml, "rb") as document:
                    engine = document.read()
                self.assertRegex(engine, rb"<system-err><!\[CDATA\[%s\]\]></system-err>" % sentence(
                    number, 0, 1 if GEMM in args else selected).replace(b"0 of", rb"\d+ of"))
                documents = [xml] + ([os.path.join(scratch, "stdout.xml")]
                                     if "junit" in args else [])
                pathlib.Path(scratch, "stdout.xml").write_bytes(stdout)
                checked = subprocess.run(["xmllint", "--noout", "--schema", SCHEMA, *documents],
                                         capture_output=True)
                self.assertEqual(checked.returncode, 0, checked.stderr)
                # Nothing left behind: no runner, no profile, no pid in the card's lock file.
                runners = pids_in(os.path.join(scratch, "started"))
                self.assertTrue(wait_until(lambda: not any(map(alive, runners)), timeout=5))
                self.assertFalse(os.path.exists(profile_path(scratch, program.pid)))
                self.assertEqual(pathlib.Path(scratch, "zel-t742-card-0.lock").read_bytes()
                                 if os.path.exists(os.path.join(scratch, "zel-t742-card-0.lock"))
                                 else b"", b"")

    def test_second_signal_ends_the_program_at_once(self):
        with tempfile.TemporaryDirectory() as scratch:
            started = os.path.join(scratch, "started")
            noted = os.path.join(scratch, "noted")
            plan = [{"do": {"started": started, "note_term": noted, "sleep": 60}}]
            program = self.start(scratch, [GEMM], plan)
            self.assertTrue(wait_until(lambda: len(pids_in(started)) == 1))
            program.send_signal(signal.SIGTERM)
            # The first stop waits out the runner's grace; the second signal does not.
            self.assertTrue(wait_until(lambda: os.path.exists(noted)))
            program.send_signal(signal.SIGINT)
            program.communicate(timeout=60)
            self.assertEqual(program.returncode, -signal.SIGINT)
            self.assertTrue(wait_until(lambda: not alive(pids_in(started)[0]), timeout=5))


class Waiters(unittest.TestCase):
    def test_a_waiter_names_only_the_holder(self):
        with tempfile.TemporaryDirectory() as scratch:
            bystander = subprocess.Popen(["sleep", "60"])
            self.addCleanup(bystander.wait)
            self.addCleanup(bystander.kill)
            lock_file = os.path.join(scratch, "zel-t742-card-0.lock")
            # (pid the lock file names, the notice's ending)
            for named, ending in ((os.getpid(), b" (held by process %d)\n" % os.getpid()),
                                  (bystander.pid, b"\n")):
                with self.subTest(named=named), open(lock_file, "wb") as lock:
                    fcntl.flock(lock, fcntl.LOCK_EX)
                    lock.write(b"%d\n" % named)
                    lock.flush()
                    program = subprocess.Popen(
                        [STANDIN_BIN, GEMM], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                        env=clean_env({"ZEL_CARD": "0", "ZEL_CARD_LOCK_DIR": scratch,
                                       "TMPDIR": scratch}))
                    notice = program.stderr.readline()
                    program.send_signal(signal.SIGTERM)
                    stdout, _ = program.communicate(timeout=60)
                    self.assertEqual(notice, b"test %s is waiting for card 0%s"
                                     % (GEMM.encode(), ending))
                    self.assertRegex(stdout, rb"note: interrupted by SIGTERM after \d+\.\d s "
                                     rb"while waiting for the card\n")
                    self.assertEqual(program.returncode, -signal.SIGTERM)


if __name__ == "__main__":
    unittest.main()
