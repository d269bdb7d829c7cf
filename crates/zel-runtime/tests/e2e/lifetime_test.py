"""No runner outlives the program, however it ends; in the machine formats
standard output carries only the document; with ZEL_CAPTURE_RUNNER_OUTPUT=1 a
runner's output belongs to its test."""

import json
import os
import signal
import subprocess
import tempfile
import time
import unittest

import junitparser

from e2e import clean_env
from standin import STANDIN_BIN, profile_fixture, profile_path, run_program

MACHINE = ("-Z", "unstable-options", "--format")


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat", encoding="latin-1") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except FileNotFoundError:
        return False


def wait_until(condition, timeout=30):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def pids_in(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as lines:
        return [int(line) for line in lines if line.endswith("\n")]


class Endings(unittest.TestCase):
    def start(self, scratch, plan, args, stdout=subprocess.PIPE):
        env = clean_env({"STANDIN_PLAN": json.dumps(plan), "TMPDIR": scratch,
                         "TEST_PREMATURE_EXIT_FILE": os.path.join(scratch, "premature")})
        return subprocess.Popen([STANDIN_BIN, *args], env=env, stdout=stdout,
                                stderr=subprocess.PIPE)

    def test_signals_to_the_program_alone(self):
        # (signal, the runner ignores SIGTERM and must be killed after the grace period)
        for number, stubborn in ((signal.SIGTERM, False), (signal.SIGINT, False),
                                 (signal.SIGTERM, True), (signal.SIGKILL, False)):
            with self.subTest(signal=number.name, stubborn=stubborn), \
                    tempfile.TemporaryDirectory() as scratch:
                started = os.path.join(scratch, "started")
                plan = [{"when": {"runner": "zel-gemm-e2e"},
                         "do": {"started": started, "ignore_term": stubborn,
                                "early_profile": profile_fixture("valid"), "sleep": 60}}]
                program = self.start(scratch, plan, ["blocked_gemm"])
                profile = profile_path(scratch, program.pid)
                self.assertTrue(wait_until(lambda: len(pids_in(started)) == 1
                                           and os.path.exists(profile)))
                [runner] = pids_in(started)
                program.send_signal(number)
                stdout, _ = program.communicate(timeout=30)
                self.assertEqual(program.returncode, -number)
                self.assertTrue(wait_until(lambda: not alive(runner), timeout=5))
                # Ended by a signal, not by itself: a test engine sees it.
                self.assertTrue(os.path.exists(os.path.join(scratch, "premature")))
                if number != signal.SIGKILL:
                    self.assertFalse(os.path.exists(profile))
                    # Stopped and reported: the test in flight failed, naming what it did.
                    self.assertRegex(stdout, (
                        rb"^\nrunning 1 test\ntest blocked_gemm_with_cycle_profile_works \.\.\. "
                        rb"FAILED\n(.|\n)*\nnote: interrupted by %s after \d+\.\d s while its "
                        rb"runner zel-gemm-e2e was running\n(.|\n)*\ntest result: FAILED\. 0 passed; "
                        rb"1 failed;") % number.name.encode())

    def test_output_error_with_two_workers(self):
        with tempfile.TemporaryDirectory() as scratch:
            started = os.path.join(scratch, "started")
            read_end, write_end = os.pipe()
            program = self.start(scratch, [{"do": {"started": started, "sleep": 1}}],
                                 ["--test-threads", "2"], stdout=write_end)
            os.close(write_end)
            os.read(read_end, 1)
            os.close(read_end)
            _, stderr = program.communicate(timeout=60)
            self.assertEqual(program.returncode, 101, stderr)
            self.assertIn(b"Broken pipe", stderr)
            pids = pids_in(started)
            self.assertTrue(pids)
            self.assertTrue(wait_until(lambda: not any(map(alive, pids)), timeout=5))


class MachineOutput(unittest.TestCase):
    def test_documents_parse_while_runners_print(self):
        plan = [{"do": {"print": "runner says hello\n", "print_err": "runner complains\n"}}]
        for fmt, consumer in (("json", ["jq", "-c", "."]), ("junit", ["xmllint", "--noout", "-"])):
            with self.subTest(format=fmt):
                result = run_program(STANDIN_BIN, [*MACHINE, fmt, "multicast"], plan=plan,
                                     env={"RUSTC_BOOTSTRAP": "1"})
                self.assertEqual(result.status, 0, result.stderr)
                parsed = subprocess.run(consumer, input=result.stdout, capture_output=True)
                self.assertEqual(parsed.returncode, 0, parsed.stderr)
                self.assertNotIn(b"runner", result.stdout)
                self.assertEqual(result.stderr.count(b"runner says hello\n"), 2)
                self.assertEqual(result.stderr.count(b"runner complains\n"), 2)


class CapturedRunnerOutput(unittest.TestCase):
    def test_failing_runner_explains_itself_in_junit(self):
        plan = [{"when": {"runner": "zel-gemm-e2e"},
                 "do": {"print": "gemm: writing profile\n",
                        "print_err": "mismatch on tile 1471 at address 0x1001\n", "exit": 1}}]
        result = run_program(STANDIN_BIN, [*MACHINE, "junit", "blocked_gemm"], plan=plan,
                             env={"RUSTC_BOOTSTRAP": "1", "ZEL_CAPTURE_RUNNER_OUTPUT": "1"})
        self.assertEqual(result.status, 101)
        self.assertEqual(result.stderr, b"")
        [suite] = junitparser.JUnitXml.fromstring(result.stdout)
        [case] = suite
        self.assertEqual(case.name, "blocked_gemm_with_cycle_profile_works")
        self.assertRegex(case.system_out,
                         r"^runner: ZEL_GEMM_DIMENSION=128 ZEL_PROFILE_OUTPUT=\S+ "
                         r"ZEL_GEMM_SRAM_CHECK_BLOCK=1,1 /\S+/zel-gemm-e2e\n"
                         r"gemm: writing profile\nmismatch on tile 1471 at address 0x1001\n"
                         r"runner: exit status: 1 after \d+\.\d{3} s\n\n"
                         r"thread 'blocked_gemm_with_cycle_profile_works' \(\d+\) panicked at ")

    def test_long_output_keeps_its_end(self):
        kept, written = 16 << 20, 20 << 20
        plan = [{"do": {"print_bytes": written, "print": "first line\n", "exit": 1}}]
        result = run_program(STANDIN_BIN, ["direct_multicast"], plan=plan,
                             env={"ZEL_CAPTURE_RUNNER_OUTPUT": "1"})
        self.assertEqual(result.status, 101)
        left_out = written + len("first line\n") - kept
        marker = b"[%d bytes of runner output left out; the last %d follow]\n" % (left_out, kept)
        start = result.stdout.index(marker) + len(marker)
        self.assertEqual(result.stdout[start:start + kept], (b"x" * 1023 + b"\n") * (kept // 1024))

    def test_variable_values(self):
        for value, args, status, stderr, launches in (
                ("yes", [], 101,
                 b'error: ZEL_CAPTURE_RUNNER_OUTPUT is "yes", should be 1, 0 or empty\n', 0),
                ("yes", ["--list"], 0, b"", 0),
                ("0", ["multicast"], 0, b"from the runner\n", 2),
                ("", ["multicast"], 0, b"from the runner\n", 2),
                ("1", ["--no-capture", "multicast"], 0, b"from the runner\n", 2),
                ("1", ["multicast"], 0, b"", 2)):
            with self.subTest(value=value, args=args):
                result = run_program(STANDIN_BIN, args, env={"ZEL_CAPTURE_RUNNER_OUTPUT": value},
                                     plan=[{"do": {"print_err": "from the runner\n"}}])
                self.assertEqual((result.status, len(result.records)), (status, launches))
                self.assertEqual(result.stderr.replace(b"from the runner\n", b"", 1)
                                 if launches == 2 else result.stderr, stderr)


if __name__ == "__main__":
    unittest.main()
