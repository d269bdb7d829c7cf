"""Shuffled orders of the hardware program's tests. The program is asked for
exactly the tests the golden orders hold, so a test added later does not change
the shuffle's input; every test is reported as ignored (benchmarks only were
asked for), so no runner starts.

Usage: cli_hardware_shuffle.py HARNESS_SELFTEST HARDWARE_E2E
"""

import re
import sys
import unittest

from catalogue import listing
from e2e import run
from shuffle_orders import SEED_0, SEED_1

HARDWARE = None
GOLDEN_SELECTION = ["--exact", *(name.decode() for name in SEED_0)]


def shuffled(seed_args, env=None, selection=GOLDEN_SELECTION):
    result = run([HARDWARE, "--bench", "--test-threads", "1", *selection] + seed_args,
                 env=dict({"RUSTC_BOOTSTRAP": "1"}, **(env or {})))
    return result, re.findall(rb"^test (\S+) \.\.\. ignored$", result.stdout, re.M)


class HardwareShuffle(unittest.TestCase):
    def test_seeds_give_their_orders(self):
        for seed, expected in (("0", SEED_0), ("1", SEED_1)):
            with self.subTest(seed=seed):
                result, names = shuffled(["-Z", "unstable-options", "--shuffle-seed", seed])
                self.assertEqual(result.status, 0, result.stderr)
                self.assertIn(b"\nrunning %d tests (shuffle seed: %s)\n" % (len(expected),
                                                                          seed.encode()),
                              result.stdout)
                self.assertEqual(names, expected)

    def test_seed_from_the_environment(self):
        _, names = shuffled(["-Zunstable-options"], {"RUST_TEST_SHUFFLE_SEED": "1"})
        self.assertEqual(names, SEED_1)

    def test_registry_order_without_a_seed(self):
        _, names = shuffled([], selection=[])
        self.assertEqual(names, [name.encode() for name, _ in listing(HARDWARE)])


if __name__ == "__main__":
    HARDWARE = sys.argv[2]
    unittest.main(argv=[sys.argv[0]])
