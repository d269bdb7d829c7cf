"""Running hardware_e2e against the stand-in runners, and what each test must do.

`run_program` starts a build of the program whose runners are the stand-in
script (see ../standin/standin_runner.py) with a plan for the runners and a log
of their launches; `catalogue` lists, in registry order, every test with its
declaration line from the program's listing and every launch it makes, from
tests/support/catalogue.py.
"""

import atexit
import functools
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass

from catalogue import catalogue as support_catalogue
from e2e import clean_env, run

# The executables CTest hands every module, in this order.
STANDIN_BIN, BROKEN_BIN, FIXTURE_BIN, REAL_BIN = (sys.argv[1:5] + [None] * 4)[:4]
del sys.argv[1:5]

# The runner-side names of the forwarded host-write jitter variables.
JITTER = ("ZEL_HOST_WRITE_JITTER_MAX_US", "ZEL_HOST_WRITE_JITTER_SEED")


def catalogue(profile_path):
    """The program's tests in registry order, with the lines the listing gives and
    their launches; `profile_path` is what the GEMM test composes."""
    return support_catalogue(STANDIN_BIN, profile_path)


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


def discovery_project(project, arguments=""):
    """Configures, in the folder `project`, a project that registers the stand-in
    build's tests with the CTest module (`zel_discover_tests(hw <arguments>)`);
    returns its build folder, or the configure step's result when it failed."""
    module = pathlib.Path(__file__).resolve().parents[4] / "cmake/ZelDiscoverTests.cmake"
    with open(os.path.join(project, "CMakeLists.txt"), "w", encoding="utf-8") as out:
        out.write(f"""cmake_minimum_required(VERSION 3.25)
project(other NONE)
enable_testing()
include("{module}")
add_executable(hw IMPORTED)
set_target_properties(hw PROPERTIES IMPORTED_LOCATION "{STANDIN_BIN}")
zel_discover_tests(hw {arguments})
""")
    build = os.path.join(project, "build")
    configured = run(["cmake", "-S", project, "-B", build])
    if configured.status != 0:
        raise AssertionError(configured.stderr.decode())
    return build


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
