"""The program against the simulated card: every test passes, faults
injected with ZEL_SIM_FAULT fail exactly the tests whose runners they hit, and
ctest spreads the registered tests over two simulated cards without ever
booking one twice."""

import os
import pathlib
import subprocess
import tempfile
import unittest

from e2e import clean_env, normalise_times, run
from standin import REAL_BIN, catalogue, failure_messages

TESTS = catalogue("")
HOST_RUNNER_TESTS = {t.name for t in TESTS if t.launches[0].runner == "zel-host-e2e"}


def capability(test, status_text):
    return f'hardware capability "{test.launches[0].description}" failed with {status_text}'


class SimulatedCard(unittest.TestCase):
    def test_every_test_passes(self):
        # One worker, so results are printed in registry order.
        result = run([REAL_BIN, "--test-threads", "1"])
        self.assertEqual(result.status, 0, result.stdout.decode())
        self.assertEqual(
            normalise_times(result.stdout).decode(),
            f"\nrunning {len(TESTS)} tests\n" + "".join(f"test {t.name} ... ok\n" for t in TESTS) +
            f"\ntest result: ok. {len(TESTS)} passed; 0 failed; 0 ignored; 0 measured; "
            "0 filtered out; finished in X.XXs\n\n")

    def test_host_write_jitter_reaches_the_runners_and_changes_no_result(self):
        result = run([REAL_BIN], env={"ZEL_TEST_HOST_WRITE_JITTER_MAX_US": "50",
                                      "ZEL_TEST_HOST_WRITE_JITTER_SEED": "7"})
        self.assertEqual(result.status, 0, result.stdout.decode())

        # A value the host runner rejects shows that it arrived: only the tests
        # that forward the variables fail.
        result = run([REAL_BIN], env={"ZEL_TEST_HOST_WRITE_JITTER_MAX_US": "many"})
        self.assertEqual(result.status, 101)
        forwarding = {t.name for t in TESTS if t.launches[0].forwards_jitter}
        self.assertEqual(set(failure_messages(result.stdout)), forwarding)

    def test_faults_fail_exactly_the_chosen_tests(self):
        cases = [
            ("zel-gemm-e2e=signal:9,zel-hardware-e2e=exit:3",
             {t.name: capability(t, "signal: 9 (SIGKILL)" if t.launches[0].runner == "zel-gemm-e2e"
                                 else "exit status: 3")
              for t in TESTS if t.launches[0].runner in ("zel-gemm-e2e", "zel-hardware-e2e")}),
            ("zel-randomized-e2e=corrupt",
             {"randomized_static_d2d_graphs_work": capability(
                 next(t for t in TESTS if t.name == "randomized_static_d2d_graphs_work"),
                 "exit status: 1")}),
            ("zel-host-e2e=corrupt",
             {t.name: capability(t, "exit status: 1") for t in TESTS
              if t.name in HOST_RUNNER_TESTS}),
        ]
        for fault, expected in cases:
            with self.subTest(fault):
                result = run([REAL_BIN], env={"ZEL_SIM_FAULT": fault})
                self.assertEqual(result.status, 101)
                self.assertEqual(failure_messages(result.stdout), expected)
                passed = len(TESTS) - len(expected)
                self.assertIn(f"test result: FAILED. {passed} passed; {len(expected)} failed;"
                              .encode(), result.stdout)

    def test_ctest_spreads_the_tests_over_two_cards_without_double_booking(self):
        # Only the "hardware" label: this test itself is not in it, so the
        # inner ctest never runs it again.
        spec = pathlib.Path(__file__).resolve().parents[4] / "tests/support/sim-cards.json"
        with tempfile.TemporaryDirectory() as state, tempfile.TemporaryDirectory() as locks:
            result = subprocess.run(
                ["ctest", "--test-dir", os.path.dirname(REAL_BIN), "-L", "hardware", "-j2",
                 "--resource-spec-file", str(spec), "--output-on-failure"],
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300,
                env=clean_env({"ZEL_SIM_CARD_STATE_DIR": state, "ZEL_CARD_LOCK_DIR": locks}))
            self.assertEqual(result.returncode, 0, result.stdout.decode())
            self.assertIn(f"100% tests passed, 0 tests failed out of {len(TESTS)}".encode(),
                          result.stdout)
            self.assertEqual(sorted(os.listdir(state)), ["card-0.busy", "card-1.busy"])
            self.assertEqual(sorted(os.listdir(locks)),
                             ["zel-t742-card-0.lock", "zel-t742-card-1.lock"])


if __name__ == "__main__":
    unittest.main()
