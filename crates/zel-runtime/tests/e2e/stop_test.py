"""A stop by signal at any moment, against the stand-in runners: the report is
whole and never reads as a success, a test whose runner had ended finishes
with its own result within the grace, every test still in flight says what
it was doing, the card lock file names no one afterwards, a waiter names only
a real holder, and a second signal ends the program at once."""

import fcntl
import json
import os
import pathlib
import signal
import subprocess
import tempfile
import unittest

from e2e import clean_env
from lifetime_test import alive, pids_in, wait_until
from standin import STANDIN_BIN, profile_fixture, profile_path

SCHEMA = str(pathlib.Path(__file__).resolve().parents[4] / "tests/support/junit-ci.xsd")
GEMM = "blocked_gemm_with_cycle_profile_works"
NAMES = [line.split(": ")[0] for line in subprocess.run(
    [STANDIN_BIN, "--list"], env=clean_env({}), capture_output=True, check=True,
    text=True).stdout.splitlines() if line.endswith(": test")]


def start(scratch, args, plan=(), env=None):
    args = [os.path.join(scratch, arg) if arg == "log" else arg for arg in args]
    return subprocess.Popen([STANDIN_BIN, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=clean_env({"STANDIN_PLAN": json.dumps(plan), "TMPDIR": scratch,
                                           "RUSTC_BOOTSTRAP": "1", **(env or {})}))


def blocks_sigterm(pid):
    """Whether the main thread of `pid` blocks SIGTERM: the signal handling is in place."""
    with open(f"/proc/{pid}/status", encoding="ascii") as status:
        mask = next(line for line in status if line.startswith("SigBlk:")).split()[1]
    return bool(int(mask, 16) >> (signal.SIGTERM - 1) & 1)


def has_reader(fifo):
    try:
        os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
        return True
    except OSError:
        return False


def sentence(name, not_started, selected):
    """The run's sentence; `not_started` a number or a pattern."""
    return (rb"run interrupted by %s after \d+\.\d s; %s of %d selected tests did not start"
            % (name, str(not_started).encode(), selected))


class Stops(unittest.TestCase):
    def test_a_stop_at_each_moment(self):
        before_gemm, selected = NAMES.index(GEMM), len(NAMES)

        def before_first_test(program, scratch):  # the log is a FIFO no one reads yet
            self.assertTrue(wait_until(lambda: blocks_sigterm(program.pid)))
            program.send_signal(signal.SIGTERM)
            return open(os.path.join(scratch, "log"), "rb")

        def grace(program, scratch):  # the runner is reaped; the test reads its profile
            started = os.path.join(scratch, "started")
            # Gone from /proc, not only a zombie: the program has seen it end.
            self.assertTrue(wait_until(lambda: pids_in(started) and
                                       not os.path.exists("/proc/%d" % pids_in(started)[0])))
            program.send_signal(signal.SIGTERM)
            with open(profile_path(scratch, program.pid), "wb") as fifo:
                fifo.write(pathlib.Path(profile_fixture("valid")).read_bytes())

        def checking(program, scratch):  # the test waits inside its profile
            fifo = profile_path(scratch, program.pid)
            self.assertTrue(wait_until(lambda: os.path.exists(fifo) and has_reader(fifo)))
            held = open(fifo, "wb")
            program.send_signal(signal.SIGTERM)
            return held

        def running(program, scratch):
            self.assertTrue(wait_until(lambda: pids_in(scratch + "/started")))
            program.send_signal(signal.SIGINT)

        gemm = [{"when": {"runner": "zel-gemm-e2e"}, "do": {"fifo_profile": True}}]
        sleeping = [{"do": {"sleep": 60}}]
        # (moment, arguments, plan, how the signal is sent, its name, what stdout must hold)
        for moment, args, plan, when, name, expected in (
                ("before the first test", ["--format", "json", "--logfile", "log"], [],
                 before_first_test, b"SIGTERM",
                 [rb'\{ "type": "suite", "event": "failed", "passed": 0, "failed": 0,']),
                ("between tests, one finishing in the grace", ["--test-threads", "1"], gemm,
                 grace, b"SIGTERM",
                 [rb"test %s \.\.\. ok\n" % GEMM.encode(),
                  rb"\n%s\n\ntest result: FAILED\. %d passed; 0 failed;" % (sentence(
                      b"SIGTERM", selected - before_gemm - 1, selected), before_gemm + 1)]),
                ("checking its profile past the grace", ["--format", "junit", GEMM], gemm,
                 checking, b"SIGTERM",
                 [rb'<failure message="interrupted by SIGTERM after \d+\.\d s while checking '
                  rb'its cycle profile" type="assert"/>',
                  rb"<system-err><!\[CDATA\[%s\]\]></system-err>" % sentence(b"SIGTERM", 0, 1)]),
                ("two tests in flight", ["--format", "terse", "--test-threads", "2"], sleeping,
                 running, b"SIGINT",
                 [rb"\nnote: interrupted by SIGINT after \d+\.\d s while its runner zel-\S+ was "
                  rb"running\n", rb"\nnote: interrupted by SIGINT after \d+\.\d s while waiting "
                  rb"for the device\n", rb"\n%s\n\ntest result: FAILED\. 0 passed; 2 failed;"
                  % sentence(b"SIGINT", selected - 2, selected)])):
            with self.subTest(moment=moment), tempfile.TemporaryDirectory() as scratch:
                os.mkfifo(os.path.join(scratch, "log"))
                for rule in plan:
                    rule["do"]["started"] = os.path.join(scratch, "started")
                program = start(scratch, ["-Z", "unstable-options", *args], plan,
                                {"XML_OUTPUT_FILE": os.path.join(scratch, "engine.xml"),
                                 "ZEL_CARD": "0", "ZEL_CARD_LOCK_DIR": scratch})
                held = when(program, scratch)
                stdout, stderr = program.communicate(timeout=60)
                if held:
                    held.close()
                self.assertEqual(program.returncode, -signal.Signals[name.decode()], stderr)
                for pattern in expected:
                    self.assertRegex(stdout, pattern)
                # The engine's document says the same; both documents are valid.
                engine = pathlib.Path(scratch, "engine.xml")
                self.assertRegex(engine.read_bytes(), rb"<system-err><!\[CDATA\[%s\]\]>"
                                 % sentence(name, r"\d+", 1 if GEMM in args else selected))
                pathlib.Path(scratch, "stdout.xml").write_bytes(stdout)
                documents = [engine] + ([scratch + "/stdout.xml"] if "junit" in args else [])
                checked = subprocess.run(["xmllint", "--noout", "--schema", SCHEMA, *documents],
                                         capture_output=True)
                self.assertEqual(checked.returncode, 0, checked.stderr)
                # Nothing left behind: no runner, no profile, no pid in the card's lock file.
                runners = pids_in(os.path.join(scratch, "started"))
                self.assertTrue(wait_until(lambda: not any(map(alive, runners)), timeout=5))
                self.assertFalse(os.path.exists(profile_path(scratch, program.pid)))
                lock = pathlib.Path(scratch, "zel-t742-card-0.lock")
                self.assertEqual(lock.read_bytes() if lock.exists() else b"", b"")

    def test_second_signal_ends_the_program_at_once(self):
        with tempfile.TemporaryDirectory() as scratch:
            started, noted = os.path.join(scratch, "started"), os.path.join(scratch, "noted")
            plan = [{"do": {"started": started, "note_term": noted, "sleep": 60}}]
            program = start(scratch, [GEMM], plan)
            self.assertTrue(wait_until(lambda: pids_in(started)))
            program.send_signal(signal.SIGTERM)
            # The stop has signalled the runner, which ignores it: the stop waits out its grace.
            self.assertTrue(wait_until(lambda: os.path.exists(noted)))
            program.send_signal(signal.SIGINT)
            program.communicate(timeout=60)
            self.assertEqual(program.returncode, -signal.SIGINT)
            self.assertTrue(wait_until(lambda: not alive(pids_in(started)[0]), timeout=5))

    def test_a_waiter_names_only_the_holder(self):
        bystander = subprocess.Popen(["sleep", "60"])
        self.addCleanup(bystander.wait)
        self.addCleanup(bystander.kill)
        # (pid the lock file names, how the notice ends)
        for named, ending in ((os.getpid(), b" (held by process %d)\n" % os.getpid()),
                              (bystander.pid, b"\n")):
            with self.subTest(named=named), tempfile.TemporaryDirectory() as scratch, \
                    open(os.path.join(scratch, "zel-t742-card-0.lock"), "wb") as lock:
                fcntl.flock(lock, fcntl.LOCK_EX)
                lock.write(b"%d\n" % named)
                lock.flush()
                program = start(scratch, [GEMM], env={"ZEL_CARD": "0",
                                                      "ZEL_CARD_LOCK_DIR": scratch})
                notice = program.stderr.readline()
                program.send_signal(signal.SIGTERM)
                stdout, _ = program.communicate(timeout=60)
                self.assertEqual(notice, b"test %s is waiting for card 0%s" % (GEMM.encode(),
                                                                               ending))
                self.assertRegex(stdout, rb"note: interrupted by SIGTERM after \d+\.\d s while "
                                 rb"waiting for the card\n")
                self.assertEqual(program.returncode, -signal.SIGTERM)


if __name__ == "__main__":
    unittest.main()
