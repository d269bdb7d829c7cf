"""Each test launches its runners by absolute path, without arguments, with exactly
its variables in order, and forwards the host-write jitter variables where it should."""

import os
import unittest

from e2e import normalise_times
from standin import (JITTER, STANDIN_BIN, added_variables, catalogue, gemm_writes, profile_path,
                     run_program)

RUNNER_DIR = os.path.join(os.path.dirname(STANDIN_BIN), "standin-runners")


class Catalogue(unittest.TestCase):
    def run_all(self, env=None):
        # One worker, so launches come in registry order.
        result = run_program(STANDIN_BIN, ["--test-threads", "1"], plan=[gemm_writes("valid")],
                             env=env,
                             unset=JITTER)
        self.assertEqual(result.status, 0, result.stdout.decode())
        return result

    def expected_launches(self, result):
        tmpdir = result.base_env.get("TMPDIR", "/tmp")
        pid = result.records[0].ppid
        return [(test, launch) for test in catalogue(profile_path(tmpdir, pid))
                for launch in test.launches]

    def test_all_pass_and_each_launch_carries_exactly_its_variables(self):
        result = self.run_all()
        expected = self.expected_launches(result)
        self.assertEqual(len(result.records), len(expected))
        for record, (test, launch) in zip(result.records, expected):
            with self.subTest(test=test.name, description=launch.description):
                self.assertEqual(record.runner, launch.runner)
                self.assertEqual(record.argv, [os.path.join(RUNNER_DIR, launch.runner)])
                self.assertEqual(record.cwd, os.getcwd())
                self.assertEqual(added_variables(record, result.base_env), launch.added)

        tests = catalogue("")
        self.assertEqual(
            normalise_times(result.stdout).decode(),
            f"\nrunning {len(tests)} tests\n" + "".join(f"test {t.name} ... ok\n" for t in tests) +
            f"\ntest result: ok. {len(tests)} passed; 0 failed; 0 ignored; 0 measured; "
            "0 filtered out; finished in X.XXs\n\n")

    def test_host_write_jitter_is_forwarded_only_by_host_and_gemm_launches(self):
        cases = [
            ("neither", {}, []),
            ("seed only", {"ZEL_TEST_HOST_WRITE_JITTER_SEED": "7"},
             [("ZEL_HOST_WRITE_JITTER_SEED", "7")]),
            ("maximum only", {"ZEL_TEST_HOST_WRITE_JITTER_MAX_US": "250"},
             [("ZEL_HOST_WRITE_JITTER_MAX_US", "250")]),
            ("empty and raw bytes",
             {"ZEL_TEST_HOST_WRITE_JITTER_MAX_US": "",
              "ZEL_TEST_HOST_WRITE_JITTER_SEED": b"\xff\xfe-7"},
             [("ZEL_HOST_WRITE_JITTER_MAX_US", ""),
              ("ZEL_HOST_WRITE_JITTER_SEED", "\xff\xfe-7")]),
        ]
        for label, env, forwarded in cases:
            with self.subTest(label):
                result = self.run_all(env=env)
                for record, (test, launch) in zip(result.records, self.expected_launches(result)):
                    added = added_variables(record, result.base_env)
                    want = launch.added + (forwarded if launch.forwards_jitter else [])
                    self.assertEqual(added, want, test.name)
                    # The test process's own variables reach every runner unchanged.
                    for name, value in env.items():
                        value = value.decode("latin-1") if isinstance(value, bytes) else value
                        self.assertEqual(record.value(name), value, test.name)


if __name__ == "__main__":
    unittest.main()
