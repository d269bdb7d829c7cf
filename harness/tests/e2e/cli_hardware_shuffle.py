"""Shuffled orders of the hardware program's 23 tests. The orders were
computed once with a separate implementation of the shuffle; every test is
reported as ignored (benchmarks only were asked for), so no runner starts.

Usage: cli_hardware_shuffle.py HARNESS_SELFTEST HARDWARE_E2E
"""

import re
import sys
import unittest

from e2e import run

HARDWARE = None

SEED_0 = [
    b"resident_h2d_and_repeated_d2h_work",
    b"compiler_segmented_allocation_executes_on_hardware",
    b"flash_attention_matches_host_softmax_across_encoder_shapes",
    b"blocked_gemm_with_cycle_profile_works",
    b"sparse_compute_to_dense_exchange_works",
    b"randomized_static_d2d_graphs_work",
    b"multicast_receiver_can_send_in_same_phase",
    b"host_routes_cover_every_endpoint_field",
    b"randomized_multi_tile_host_round_trips_work",
    b"resident_h2d_then_d2h_works",
    b"direct_multicast_works",
    b"local_h2d_and_d2h_round_trip_works",
    b"initialized_local_tile_d2h_works",
    b"large_h2d_timed_relay_and_d2h_composition_works",
    b"distinct_sources_can_write_disjoint_host_ranges",
    b"all_tile_permutation_works",
    b"high_address_large_h2d_and_d2h_work",
    b"all_tile_reduction_works",
    b"initialized_remote_tile_d2h_works",
    b"remote_tile_h2d_and_d2h_work",
    b"initialized_d2d_relay_and_d2h_work",
    b"h2d_compute_d2d_compute_d2h_works",
    b"repeated_h2d_and_d2h_works",
]

SEED_1 = [
    b"high_address_large_h2d_and_d2h_work",
    b"initialized_remote_tile_d2h_works",
    b"direct_multicast_works",
    b"local_h2d_and_d2h_round_trip_works",
    b"h2d_compute_d2d_compute_d2h_works",
    b"all_tile_reduction_works",
    b"resident_h2d_then_d2h_works",
    b"compiler_segmented_allocation_executes_on_hardware",
    b"initialized_d2d_relay_and_d2h_work",
    b"repeated_h2d_and_d2h_works",
    b"remote_tile_h2d_and_d2h_work",
    b"randomized_static_d2d_graphs_work",
    b"initialized_local_tile_d2h_works",
    b"resident_h2d_and_repeated_d2h_work",
    b"all_tile_permutation_works",
    b"sparse_compute_to_dense_exchange_works",
    b"large_h2d_timed_relay_and_d2h_composition_works",
    b"flash_attention_matches_host_softmax_across_encoder_shapes",
    b"distinct_sources_can_write_disjoint_host_ranges",
    b"multicast_receiver_can_send_in_same_phase",
    b"randomized_multi_tile_host_round_trips_work",
    b"blocked_gemm_with_cycle_profile_works",
    b"host_routes_cover_every_endpoint_field",
]


def shuffled(seed_args, env=None):
    result = run([HARDWARE, "--bench", "--test-threads", "1"] + seed_args,
                 env=dict({"RUSTC_BOOTSTRAP": "1"}, **(env or {})))
    return result, re.findall(rb"^test (\S+) \.\.\. ignored$", result.stdout, re.M)


class HardwareShuffle(unittest.TestCase):
    def test_seeds_give_their_orders(self):
        for seed, expected in (("0", SEED_0), ("1", SEED_1)):
            with self.subTest(seed=seed):
                result, names = shuffled(["-Z", "unstable-options", "--shuffle-seed", seed])
                self.assertEqual(result.status, 0, result.stderr)
                self.assertIn(b"\nrunning 23 tests (shuffle seed: " + seed.encode() + b")\n",
                              result.stdout)
                self.assertEqual(names, expected)

    def test_seed_from_the_environment(self):
        _, names = shuffled(["-Zunstable-options"], {"RUST_TEST_SHUFFLE_SEED": "1"})
        self.assertEqual(names, SEED_1)

    def test_registry_order_without_a_seed(self):
        _, names = shuffled([])
        self.assertEqual(names, sorted(SEED_0))


if __name__ == "__main__":
    HARDWARE = sys.argv[2]
    unittest.main(argv=[sys.argv[0]])
