"""What the hardware tests launch, which the program's own listing does not say.

The listing of a hardware_e2e build gives each test's name, registry order and
declaration line; `LAUNCHES` adds, per test, every runner launch it makes: the
runner, the variables it adds, its launch message and description. Typical use:

    from catalogue import catalogue
    for test in catalogue(BIN):
        print(test.name, test.line, [launch.runner for launch in test.launches])
"""

import functools
import json
from dataclasses import dataclass, field

from e2e import run

HOST_LAUNCH = "launch host exchange test runner"


@dataclass
class Launch:
    runner: str
    added: list  # [(name, value)] the test sets, in order
    launch_message: str
    description: str
    forwards_jitter: bool = False


@dataclass
class Test:
    name: str
    line: int  # where the test is declared, as the listing reports it
    launches: list = field(default_factory=list)


def host(added, description):
    return Launch("zel-host-e2e", added, HOST_LAUNCH, description, forwards_jitter=True)


def graph(scenario, launch_message, description):
    return Launch("zel-hardware-e2e", [("ZEL_GRAPH_TEST", scenario)], launch_message, description)


def gemm_launch(profile_path):
    return Launch("zel-gemm-e2e",
                  [("ZEL_GEMM_DIMENSION", "128"), ("ZEL_PROFILE_OUTPUT", profile_path),
                   ("ZEL_GEMM_SRAM_CHECK_BLOCK", "1,1")],
                  "launch profiled blocked GEMM hardware test runner",
                  "blocked GEMM with per-tile cycle profile", forwards_jitter=True)


HOST_ROUTE_TILES = (
    "0,90,1,91,92,182,93,183,184,274,185,275,276,366,277,367,368,458,369,459,460,550,461,551,"
    "552,642,553,643,644,734,645,735,736,826,737,827,828,918,829,919,920,1010,921,1011,1012,"
    "1102,1013,1103,1104,1194,1105,1195,1196,1286,1197,1287,1288,1378,1289,1379,1380,1470,"
    "1381,1471,456,454,452,450,448,446,444,442,440,438,436,434,432,430,428,426,424,422,420,"
    "418,416,414")

RANDOM_HOST_CASES = [
    ("0x243f6a8885a308d3", "4", "34,71,144,956,1104,1157,1243,1300"),
    ("0x13198a2e03707344", "1024", "11,19,108,451,536,647,846,958"),
    ("0xa4093822299f31d0", "8192", "19,82,416,602,829,893,1065,1187"),
]
GRAPH_SEEDS = [
    ("0x5a454c2d53544143", "6504688994361819459"),
    ("0x6a09e667f3bcc909", "7640891576956012809"),
    ("0xbb67ae8584caa73b", "13503953896175478587"),
]


def launches(profile_path):
    """{test name: its launches}; `profile_path` is what the GEMM test composes."""
    return {
        "all_tile_permutation_works": [graph(
            "permutation", "launch permutation hardware test runner",
            "all-tile permutation graph")],
        "all_tile_reduction_works": [graph(
            "reduction", "launch reduction hardware test runner", "all-tile reduction graph")],
        "blocked_gemm_with_cycle_profile_works": [gemm_launch(profile_path)],
        "compiler_segmented_allocation_executes_on_hardware": [graph(
            "compiler-segmented-add", "launch compiler allocation hardware test runner",
            "compiler-generated add spanning segmented SRAM arenas")],
        "direct_multicast_works": [graph(
            "fanout", "launch direct multicast hardware test runner",
            "single-source multicast graph")],
        "distinct_sources_can_write_disjoint_host_ranges": [host(
            [("ZEL_HOST_TEST_TILES", "1471,274"), ("ZEL_HOST_TEST_BYTES", "64")],
            "distinct multi-source D2H")],
        "flash_attention_matches_host_softmax_across_encoder_shapes": [Launch(
            "zel-attention-f16-e2e", [], "launch FlashAttention hardware test runner",
            "FP16 FlashAttention for encoder head dimensions and batch sizes")],
        "h2d_compute_d2d_compute_d2h_works": [host(
            [("ZEL_HOST_TEST_COMPUTE_RELAY", "1"), ("ZEL_HOST_TEST_BYTES", "4")],
            "H2D, compute, D2D, compute, and D2H composition")],
        "high_address_large_h2d_and_d2h_work": [host(
            [("ZEL_HOST_TEST_TILE", "100"), ("ZEL_HOST_TEST_BYTES", "65536"),
             ("ZEL_HOST_TEST_ADDRESS", "0x60000")],
            "64-KiB high-address H2D and D2H")],
        "host_routes_cover_every_endpoint_field": [host(
            [("ZEL_HOST_TEST_TILES", HOST_ROUTE_TILES), ("ZEL_HOST_TEST_BYTES", "64")],
            "host routes spanning every endpoint field")],
        "initialized_d2d_relay_and_d2h_work": [host(
            [("ZEL_HOST_TEST_EXCHANGE", "1"), ("ZEL_HOST_TEST_INITIALIZED_EXCHANGE", "1")],
            "initialized D2D relay and D2H")],
        "initialized_local_tile_d2h_works": [host(
            [("ZEL_HOST_TEST_D2H_ONLY", "1")], "initialized tile D2H")],
        "initialized_remote_tile_d2h_works": [host(
            [("ZEL_HOST_TEST_REMOTE_D2H", "1"), ("ZEL_HOST_TEST_TILE", "1471"),
             ("ZEL_HOST_TEST_BYTES", "8192")],
            "remote-tile initialized D2H")],
        "large_h2d_timed_relay_and_d2h_composition_works": [host(
            [("ZEL_HOST_TEST_EXCHANGE", "1"), ("ZEL_HOST_TEST_BYTES", "2048")],
            "large H2D, timed D2D relay, and D2H composition")],
        "local_h2d_and_d2h_round_trip_works": [host([], "local H2D and D2H")],
        "multicast_receiver_can_send_in_same_phase": [graph(
            "multicast", "launch multicast hardware test runner",
            "multicast graph with a receiver that sends in the same phase")],
        "randomized_multi_tile_host_round_trips_work": [
            host([("ZEL_HOST_TEST_TILES", tiles), ("ZEL_HOST_TEST_BYTES", size)],
                 f"randomized host round trip seed={seed} bytes={size} tiles={tiles}")
            for seed, size, tiles in RANDOM_HOST_CASES],
        "randomized_static_d2d_graphs_work": [
            Launch("zel-randomized-e2e", [("ZEL_RANDOM_SEED", decimal)],
                   "launch randomized hardware test runner",
                   f"randomized exchange graph seed {hexa}")
            for hexa, decimal in GRAPH_SEEDS],
        "remote_tile_h2d_and_d2h_work": [host(
            [("ZEL_HOST_TEST_TILE", "1471"), ("ZEL_HOST_TEST_BYTES", "8192")],
            "remote-tile H2D and D2H")],
        "repeated_h2d_and_d2h_works": [host(
            [("ZEL_HOST_TEST_INVOCATIONS", "3")],
            "three statically repeated H2D and D2H invocations")],
        "resident_h2d_and_repeated_d2h_work": [host(
            [("ZEL_HOST_TEST_RESIDENT_INPUT", "1"), ("ZEL_HOST_TEST_INVOCATIONS", "3")],
            "resident H2D initialization followed by three static invocations")],
        "resident_h2d_then_d2h_works": [host(
            [("ZEL_HOST_TEST_RESIDENT_INPUT", "1")],
            "resident H2D initialization followed by D2H")],
        "sparse_compute_to_dense_exchange_works": [graph(
            "reduction-permutation", "launch compute-to-exchange hardware test runner",
            "sparse compute followed by an all-tile exchange")],
    }


@functools.cache
def listing(binary):
    """[(name, declaration line)] of `binary`'s tests in registry order, from its
    JSON listing."""
    result = run([binary, "--list", "--format", "json", "-Z", "unstable-options"],
                 env={"RUSTC_BOOTSTRAP": "1"})
    if result.status != 0:
        raise RuntimeError(f"{binary} --list --format json failed with status {result.status}: "
                           f"{result.stderr.decode(errors='replace')}")
    events = [json.loads(line) for line in result.stdout.decode().splitlines()]
    return tuple((e["name"], e["start_line"]) for e in events if e.get("event") == "discovered")


def catalogue(binary, profile_path=""):
    """`binary`'s tests in registry order with their declaration lines and launches."""
    known = launches(profile_path)
    listed = listing(binary)
    unknown = [name for name, _ in listed if name not in known]
    gone = sorted(set(known) - {name for name, _ in listed})
    if unknown or gone:
        raise RuntimeError(f"the catalogue does not match the listing of {binary}: "
                           f"listed but not catalogued {unknown}, catalogued but not listed {gone}")
    return [Test(name, line, known[name]) for name, line in listed]


def launch_count(binary):
    """How many runner launches a run of every test of `binary` makes when all pass."""
    return sum(len(test.launches) for test in catalogue(binary))
