"""Shared helpers for end-to-end tests that start built executables.

Each end-to-end test is a Python unittest module run by CTest with the
Debian interpreter (/usr/bin/python3). Typical use:

    from e2e import run, normalise_times
    result = run([BIN, "--list"], env={"RUST_TEST_THREADS": "1"})
    self.assertEqual(result.status, 0)
    self.assertEqual(normalise_times(result.stdout), b"...")
"""

import os
import re
import subprocess
from dataclasses import dataclass


@dataclass
class Result:
    stdout: bytes
    stderr: bytes
    status: int  # exit code, or -N when ended by signal N


# Variables of the harness, the program, the simulated card and the runners that
# a developer's shell may hold and that would change what a test sees; removed
# unless a test sets them. crates/zel-runtime/tests/e2e/variables_test.py fails
# when the sources read a variable missing here.
_SCRUBBED = (
    "RUST_TEST_THREADS", "RUST_TEST_NOCAPTURE", "RUST_TEST_SHUFFLE", "RUST_TEST_SHUFFLE_SEED",
    "RUST_TEST_TIME_UNIT", "RUST_TEST_TIME_INTEGRATION", "RUST_TEST_TIME_DOCTEST",
    "RUSTC_BOOTSTRAP", "RUST_BACKTRACE", "RUST_MIN_STACK",
    "ZEL_TEST_HOST_WRITE_JITTER_MAX_US", "ZEL_TEST_HOST_WRITE_JITTER_SEED", "ZEL_SIM_FAULT",
    "ZEL_CAPTURE_RUNNER_OUTPUT",
    "ZEL_CARD", "ZEL_CARD_LOCK_DIR", "ZEL_SIM_CARD_STATE_DIR",
    "TEST_TOTAL_SHARDS", "TEST_SHARD_INDEX", "TEST_SHARD_STATUS_FILE", "XML_OUTPUT_FILE",
    "TEST_PREMATURE_EXIT_FILE", "TESTBRIDGE_TEST_ONLY", "TEST_UNDECLARED_OUTPUTS_DIR",
    "ZEL_RUNNER_TIMEOUT", "ZEL_REPORT_DIR", "ZEL_DEFAULT_CARD",
    # What the runners read, which a test sets only for the launches it means.
    "ZEL_HOST_TEST_ADDRESS", "ZEL_HOST_TEST_BYTES", "ZEL_HOST_TEST_COMPUTE_RELAY",
    "ZEL_HOST_TEST_D2H_ONLY", "ZEL_HOST_TEST_EXCHANGE", "ZEL_HOST_TEST_INITIALIZED_EXCHANGE",
    "ZEL_HOST_TEST_INVOCATIONS", "ZEL_HOST_TEST_REMOTE_D2H", "ZEL_HOST_TEST_RESIDENT_INPUT",
    "ZEL_HOST_TEST_TILE", "ZEL_HOST_TEST_TILES", "ZEL_HOST_WRITE_JITTER_MAX_US",
    "ZEL_HOST_WRITE_JITTER_SEED", "ZEL_GRAPH_TEST", "ZEL_RANDOM_SEED", "ZEL_GEMM_DIMENSION",
    "ZEL_GEMM_SRAM_CHECK_BLOCK", "ZEL_PROFILE_OUTPUT",
)
# ctest's resource allocation: CTEST_RESOURCE_GROUP_COUNT, CTEST_RESOURCE_GROUP_<n>, ...
_SCRUBBED_PREFIXES = (b"CTEST_RESOURCE_",)


def clean_env(extra=None, unset=()):
    """The current environment without the harness variables, plus `extra`.
    Values may be str or bytes (bytes for values that are not valid UTF-8)."""
    env = {k.encode() if isinstance(k, str) else k: v for k, v in os.environb.items()}
    for name in _SCRUBBED + tuple(unset):
        env.pop(name.encode(), None)
    for name in [k for k in env if k.startswith(_SCRUBBED_PREFIXES)]:
        del env[name]
    for k, v in (extra or {}).items():
        env[k.encode() if isinstance(k, str) else k] = v.encode() if isinstance(v, str) else v
    return env


def run(cmd, env=None, unset=(), stdin=b"", cwd=None, timeout=120):
    """Runs `cmd` with a clean environment plus `env`; captures both streams."""
    proc = subprocess.run(cmd, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=clean_env(env, unset), cwd=cwd, timeout=timeout)
    return Result(proc.stdout, proc.stderr, proc.returncode)


_RUN_TIME = re.compile(rb"finished in \d+\.\d\ds")
_TEST_TIME = re.compile(rb"<\d+\.\d{3}s>")
_JSON_TIME = re.compile(rb'"exec_time": [0-9.]+')
_XML_TIME = re.compile(rb'time="[0-9.]+"')


_THREAD_ID = re.compile(rb"^(thread '[^'\n]*' )\(\d+\)( panicked at )", re.MULTILINE)


def normalise_thread_ids(text: bytes) -> bytes:
    """Replaces the kernel thread id of failure reports ("thread 'x' (12345)
    panicked at") by "(TID)" so outputs compare byte for byte."""
    return _THREAD_ID.sub(rb"\1(TID)\2", text)


_EMBEDDED_THREAD_ID = re.compile(rb"(thread '[^'\n]*' )\(\d+\)( panicked at )")


def normalise_embedded_thread_ids(text: bytes) -> bytes:
    """As normalise_thread_ids, for failure reports embedded in one line of
    machine-readable output (a JSON string, XML character data), where a report
    does not start a line."""
    return _EMBEDDED_THREAD_ID.sub(rb"\1(TID)\2", text)


def normalise_times(text: bytes) -> bytes:
    """Replaces measured times by fixed markers so outputs compare byte for byte."""
    text = _RUN_TIME.sub(b"finished in X.XXs", text)
    text = _TEST_TIME.sub(b"<X.XXXs>", text)
    text = _JSON_TIME.sub(b'"exec_time": T', text)
    return _XML_TIME.sub(b'time="T"', text)
