"""The blocked GEMM test: where it puts the profile, how it judges what the
runner wrote, and that it deletes the file only when every check passed."""

import os
import shutil
import subprocess
import tempfile
import unittest

from e2e import clean_env
from standin import STANDIN_BIN, failure_messages, profile_fixture, profile_path, run_program

GEMM = "blocked_gemm_with_cycle_profile_works"
UNWRAP = "called `Result::unwrap()` on an `Err` value: "


def kind_message(kind):
    lines = ["assertion failed: profile.tiles.iter().any(|tile|", "        {",
             "            tile.samples.iter().any(|sample|"]
    if kind == "Synchronization":
        lines += ["                    sample.step.kind ==",
                  "                        zel_package::ProfileStepKind::Synchronization)"]
    else:
        lines += [f"                    sample.step.kind == zel_package::ProfileStepKind::{kind})"]
    return "\n".join(lines + ["        })"])


VARIANTS = {
    "version-0": UNWRAP + 'Invalid("unsupported profile schema version 0")',
    "tiles-1471": "assertion `left == right` failed\n  left: 1471\n right: 1472",
    "tiles-1473": "assertion `left == right` failed\n  left: 1473\n right: 1472",
    "clock-0": "assertion failed: profile.clock_hz > 0",
    "tile-without-samples":
        "assertion failed: profile.tiles.iter().all(|tile| !tile.samples.is_empty())",
    "no-exchange": kind_message("Exchange"),
    "no-compute": kind_message("Compute"),
    "no-synchronization": kind_message("Synchronization"),
    "no-idle": kind_message("Idle"),
}


class GemmProfile(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)

    def run_gemm(self, do, tmpdir=None, cwd=None, unset=()):
        env = {} if tmpdir is None else {"TMPDIR": tmpdir}
        result = run_program(STANDIN_BIN, ["--exact", GEMM], env=env, unset=unset, cwd=cwd,
                             plan=[{"when": {"runner": "zel-gemm-e2e"}, "do": do}])
        self.assertEqual(len(result.records), 1)
        self.path = result.records[0].value("ZEL_PROFILE_OUTPUT")
        self.assertEqual(self.path, profile_path(result.base_env.get("TMPDIR", "/tmp"),
                                                 result.records[0].ppid))
        return result

    def assert_fails_with(self, result, message):
        self.assertEqual(result.status, 101)
        self.assertEqual(failure_messages(result.stdout), {GEMM: message})

    def test_valid_profile_passes_and_is_deleted(self):
        result = self.run_gemm({"profile": profile_fixture("valid")}, tmpdir=self.tmp.name)
        self.assertEqual(result.status, 0, result.stdout.decode())
        self.assertTrue(self.path.startswith(self.tmp.name + "/"))
        self.assertFalse(os.path.exists(self.path))

    def test_each_unmet_check_fails_with_its_message_and_keeps_the_file(self):
        for variant, message in VARIANTS.items():
            with self.subTest(variant):
                result = self.run_gemm({"profile": profile_fixture(variant)}, tmpdir=self.tmp.name)
                self.assert_fails_with(result, message)
                self.assertTrue(os.path.exists(self.path))
                os.remove(self.path)

    def test_missing_profile_is_the_operating_system_error(self):
        result = self.run_gemm({}, tmpdir=self.tmp.name)
        self.assert_fails_with(result, UNWRAP + 'Os { code: 2, kind: NotFound, message: '
                                                '"No such file or directory" }')

    def test_failed_runner_is_judged_before_the_profile(self):
        result = self.run_gemm({"profile": profile_fixture("valid"), "exit": 1},
                               tmpdir=self.tmp.name)
        self.assert_fails_with(
            result, 'hardware capability "blocked GEMM with per-tile cycle profile" failed with '
                    'exit status: 1')
        self.assertTrue(os.path.exists(self.path))

    def test_empty_tmpdir_puts_the_profile_in_the_working_directory(self):
        result = self.run_gemm({"profile": profile_fixture("valid")}, tmpdir="", cwd=self.tmp.name)
        self.assertEqual(result.status, 0, result.stdout.decode())
        self.assertNotIn("/", self.path)
        self.assertEqual(os.listdir(self.tmp.name), [])

        result = self.run_gemm({"profile": profile_fixture("clock-0")}, tmpdir="",
                               cwd=self.tmp.name)
        self.assert_fails_with(result, VARIANTS["clock-0"])
        self.assertEqual(os.listdir(self.tmp.name), [self.path])

    def run_with_planted(self, plant):
        """Runs the GEMM test with `plant(path)` called on its profile path just
        before the program starts (the child's pid is the program's)."""
        def before_exec():
            plant(profile_path(self.tmp.name, os.getpid()))
        proc = subprocess.run([STANDIN_BIN, "--exact", GEMM], preexec_fn=before_exec,
                              env=clean_env({"TMPDIR": self.tmp.name, "STANDIN_PLAN": "[]"}),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        self.assertEqual(proc.returncode, 101)
        return failure_messages(proc.stdout)

    def test_a_stale_profile_never_passes_for_the_runners(self):
        # The runner writes nothing; a valid file of an earlier process with the
        # same id is cleared first instead of being read.
        messages = self.run_with_planted(
            lambda path: shutil.copyfile(profile_fixture("valid"), path))
        self.assertEqual(messages, {GEMM: UNWRAP + 'Os { code: 2, kind: NotFound, message: '
                                                   '"No such file or directory" }'})
        self.assertEqual(os.listdir(self.tmp.name), [])

        messages = self.run_with_planted(os.mkdir)
        self.assertEqual(messages, {GEMM: UNWRAP + 'Os { code: 21, kind: IsADirectory, message: '
                                                   '"Is a directory" }'})

    def test_unset_tmpdir_means_slash_tmp(self):
        result = self.run_gemm({"profile": profile_fixture("valid")}, unset=("TMPDIR",))
        self.assertEqual(result.status, 0, result.stdout.decode())
        self.assertTrue(self.path.startswith("/tmp/zel-stack-gemm-profile-"))
        self.assertFalse(os.path.exists(self.path))


if __name__ == "__main__":
    unittest.main()
