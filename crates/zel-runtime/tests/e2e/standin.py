"""Running hardware_e2e against the stand-in runners, and what each test must do.

`run_program` starts a build of the program whose runners are the stand-in
script (see ../standin/standin_runner.py) with a plan for the runners and a log
of their launches; `CATALOGUE` lists, in registry order, every launch each test
makes: the runner, the variables it adds, its launch message and description.
"""

import atexit
import functools
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field

from e2e import clean_env, run

# The executables CTest hands every module, in this order.
STANDIN_BIN, BROKEN_BIN, FIXTURE_BIN, REAL_BIN = (sys.argv[1:5] + [None] * 4)[:4]
del sys.argv[1:5]

HOST_LAUNCH = "launch host exchange test runner"
# The runner-side names of the forwarded host-write jitter variables.
JITTER = ("ZEL_HOST_WRITE_JITTER_MAX_US", "ZEL_HOST_WRITE_JITTER_SEED")


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
    line: int
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


def catalogue(profile_path):
    """The 23 tests in registry order; `profile_path` is what the GEMM test composes."""
    return [
        Test("all_tile_permutation_works", 235, [graph(
            "permutation", "launch permutation hardware test runner",
            "all-tile permutation graph")]),
        Test("all_tile_reduction_works", 211, [graph(
            "reduction", "launch reduction hardware test runner", "all-tile reduction graph")]),
        Test("blocked_gemm_with_cycle_profile_works", 285, [gemm_launch(profile_path)]),
        Test("compiler_segmented_allocation_executes_on_hardware", 95, [graph(
            "compiler-segmented-add", "launch compiler allocation hardware test runner",
            "compiler-generated add spanning segmented SRAM arenas")]),
        Test("direct_multicast_works", 247, [graph(
            "fanout", "launch direct multicast hardware test runner",
            "single-source multicast graph")]),
        Test("distinct_sources_can_write_disjoint_host_ranges", 145, [host(
            [("ZEL_HOST_TEST_TILES", "1471,274"), ("ZEL_HOST_TEST_BYTES", "64")],
            "distinct multi-source D2H")]),
        Test("flash_attention_matches_host_softmax_across_encoder_shapes", 330, [Launch(
            "zel-attention-f16-e2e", [], "launch FlashAttention hardware test runner",
            "FP16 FlashAttention for encoder head dimensions and batch sizes")]),
        Test("h2d_compute_d2d_compute_d2h_works", 83, [host(
            [("ZEL_HOST_TEST_COMPUTE_RELAY", "1"), ("ZEL_HOST_TEST_BYTES", "4")],
            "H2D, compute, D2D, compute, and D2H composition")]),
        Test("high_address_large_h2d_and_d2h_work", 119, [host(
            [("ZEL_HOST_TEST_TILE", "100"), ("ZEL_HOST_TEST_BYTES", "65536"),
             ("ZEL_HOST_TEST_ADDRESS", "0x60000")],
            "64-KiB high-address H2D and D2H")]),
        Test("host_routes_cover_every_endpoint_field", 157, [host(
            [("ZEL_HOST_TEST_TILES", HOST_ROUTE_TILES), ("ZEL_HOST_TEST_BYTES", "64")],
            "host routes spanning every endpoint field")]),
        Test("initialized_d2d_relay_and_d2h_work", 59, [host(
            [("ZEL_HOST_TEST_EXCHANGE", "1"), ("ZEL_HOST_TEST_INITIALIZED_EXCHANGE", "1")],
            "initialized D2D relay and D2H")]),
        Test("initialized_local_tile_d2h_works", 14, [host(
            [("ZEL_HOST_TEST_D2H_ONLY", "1")], "initialized tile D2H")]),
        Test("initialized_remote_tile_d2h_works", 132, [host(
            [("ZEL_HOST_TEST_REMOTE_D2H", "1"), ("ZEL_HOST_TEST_TILE", "1471"),
             ("ZEL_HOST_TEST_BYTES", "8192")],
            "remote-tile initialized D2H")]),
        Test("large_h2d_timed_relay_and_d2h_composition_works", 71, [host(
            [("ZEL_HOST_TEST_EXCHANGE", "1"), ("ZEL_HOST_TEST_BYTES", "2048")],
            "large H2D, timed D2D relay, and D2H composition")]),
        Test("local_h2d_and_d2h_round_trip_works", 23, [host([], "local H2D and D2H")]),
        Test("multicast_receiver_can_send_in_same_phase", 259, [graph(
            "multicast", "launch multicast hardware test runner",
            "multicast graph with a receiver that sends in the same phase")]),
        Test("randomized_multi_tile_host_round_trips_work", 183, [
            host([("ZEL_HOST_TEST_TILES", tiles), ("ZEL_HOST_TEST_BYTES", size)],
                 f"randomized host round trip seed={seed} bytes={size} tiles={tiles}")
            for seed, size, tiles in RANDOM_HOST_CASES]),
        Test("randomized_static_d2d_graphs_work", 271, [
            Launch("zel-randomized-e2e", [("ZEL_RANDOM_SEED", decimal)],
                   "launch randomized hardware test runner",
                   f"randomized exchange graph seed {hexa}")
            for hexa, decimal in GRAPH_SEEDS]),
        Test("remote_tile_h2d_and_d2h_work", 107, [host(
            [("ZEL_HOST_TEST_TILE", "1471"), ("ZEL_HOST_TEST_BYTES", "8192")],
            "remote-tile H2D and D2H")]),
        Test("repeated_h2d_and_d2h_works", 38, [host(
            [("ZEL_HOST_TEST_INVOCATIONS", "3")],
            "three statically repeated H2D and D2H invocations")]),
        Test("resident_h2d_and_repeated_d2h_work", 47, [host(
            [("ZEL_HOST_TEST_RESIDENT_INPUT", "1"), ("ZEL_HOST_TEST_INVOCATIONS", "3")],
            "resident H2D initialization followed by three static invocations")]),
        Test("resident_h2d_then_d2h_works", 29, [host(
            [("ZEL_HOST_TEST_RESIDENT_INPUT", "1")],
            "resident H2D initialization followed by D2H")]),
        Test("sparse_compute_to_dense_exchange_works", 223, [graph(
            "reduction-permutation", "launch compute-to-exchange hardware test runner",
            "sparse compute followed by an all-tile exchange")]),
    ]


@dataclass
class Record:
    runner: str
    argv: list
    cwd: str
    pid: int
    ppid: int
    env: list  # [(name, value)] in the runner's environment order, Latin-1 text
    start: int
    end: int

    def value(self, name):
        return dict(self.env).get(name)


@dataclass
class ProgramRun:
    status: int
    stdout: bytes
    stderr: bytes
    records: list
    base_env: dict  # what the program was started with, Latin-1 text


def latin1(value):
    return value.decode("latin-1") if isinstance(value, bytes) else value


@functools.cache
def profile_fixture(variant):
    """The path of a profile written by the fixture tool (valid, version-0, tiles-1471, ...)."""
    directory = _fixture_dir()
    path = os.path.join(directory, variant + ".capnp")
    subprocess.run([FIXTURE_BIN, variant, path], check=True)
    return path


@functools.cache
def _fixture_dir():
    directory = tempfile.mkdtemp(prefix="zel-fixtures-")
    atexit.register(shutil.rmtree, directory, ignore_errors=True)
    return directory


def gemm_writes(variant):
    """A plan rule: the GEMM stand-in writes the profile `variant` and succeeds."""
    return {"when": {"runner": "zel-gemm-e2e"}, "do": {"profile": profile_fixture(variant)}}


def run_program(binary, args=(), plan=(), env=None, unset=(), cwd=None):
    """Runs `binary` with the stand-in `plan`; returns its outcome and the launch log."""
    with tempfile.TemporaryDirectory() as scratch:
        log = os.path.join(scratch, "launches.jsonl")
        extra = dict(env or {})
        extra.update({"STANDIN_LOG": log, "STANDIN_PLAN": json.dumps(list(plan))})
        result = run([binary, *args], env=extra, unset=unset, cwd=cwd)
        records = []
        if os.path.exists(log):
            with open(log, encoding="utf-8") as lines:
                for line in lines:
                    r = json.loads(line)
                    records.append(Record(r["runner"], r["argv"], r["cwd"], r["pid"], r["ppid"],
                                          [tuple(e) for e in r["env"]], r["start"], r["end"]))
    base = {latin1(k): latin1(v) for k, v in clean_env(extra, unset).items()}
    return ProgramRun(result.status, result.stdout, result.stderr, records, base)


def added_variables(record, base_env):
    """The variables a launch set on top of what the program inherited, in environment order."""
    return [(k, v) for k, v in record.env if base_env.get(k) != v]


_FAILURE = re.compile(rb"---- (\S+) stdout ----\n.*?\) panicked at [^\n]*:\n(.*?)\n(?=note: |\n|$)",
                      re.S)


def failure_messages(stdout):
    """{test name: failure message} from the failures section of a pretty run."""
    return {m.group(1).decode(): m.group(2).decode("utf-8", "replace")
            for m in _FAILURE.finditer(stdout)}


def profile_path(tmpdir, pid):
    """Where the GEMM test of process `pid` puts its profile under `tmpdir`."""
    name = f"zel-stack-gemm-profile-{pid}.capnp"
    return tmpdir + name if tmpdir == "" or tmpdir.endswith("/") else tmpdir + "/" + name
