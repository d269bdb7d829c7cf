"""Helpers shared by the end-to-end tests of the JSON and JUnit formats."""

import json
import os
import re
import subprocess
import sys

from e2e import Result, clean_env, normalise_embedded_thread_ids, normalise_times, run

HERE = os.path.dirname(os.path.abspath(__file__))
SELFTEST_SOURCE = os.path.join(HERE, "..", "selftest", "selftest_main.cpp")
# The path the harness records for the self-test's tests (relative to the
# repository root, as the build maps it).
SELFTEST_PATH = "harness/tests/selftest/selftest_main.cpp"

# The machine-readable formats are accepted only with unstable options.
GATED = {"RUSTC_BOOTSTRAP": "1"}


def machine_run(binary, fmt, *args, env=None):
    """Runs `binary` in format `fmt` ("json" or "junit") with a clean
    environment, unstable options enabled, plus `env`."""
    merged = dict(GATED)
    merged.update(env or {})
    return run([binary, "-Z", "unstable-options", "--format", fmt, *args], env=merged)


def machine_run_into(path, binary, fmt, *args, env=None):
    """As machine_run, with standard output written to the file at `path`
    (such as /dev/full); the result's stdout is empty."""
    merged = dict(GATED)
    merged.update(env or {})
    with open(path, "wb") as out:
        proc = subprocess.run([binary, "-Z", "unstable-options", "--format", fmt, *args],
                              stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.PIPE,
                              env=clean_env(merged), timeout=120)
    return Result(b"", proc.stderr, proc.returncode)


_SELFTEST_SITE = re.compile(rb"panicked at " + re.escape(SELFTEST_PATH.encode()) + rb":\d+:\d+:")


def normalise(text: bytes) -> bytes:
    """Times, thread ids and the source positions of failures in the
    self-test program replaced by fixed markers."""
    text = normalise_embedded_thread_ids(normalise_times(text))
    return _SELFTEST_SITE.sub(b"panicked at SELFTEST:L:C:", text)


def declared_lines():
    """{test name: line} of the self-test's basic registry, read from its source."""
    with open(SELFTEST_SOURCE, encoding="utf-8") as source:
        found = {}
        inside = False
        for number, line in enumerate(source, start=1):
            inside = (inside or "basic_registry() {" in line) and "return registry;" not in line
            match = re.search(r'desc\("(\w+)", __LINE__', line)
            if inside and match:
                found[match.group(1)] = number
        return found


def assert_json_lines(case, stdout: bytes):
    """Every line of `stdout` is one JSON object, for Python's reader and for
    jq; returns the parsed objects."""
    case.assertTrue(stdout.endswith(b"\n"), stdout[-200:])
    objects = [json.loads(line) for line in stdout.decode("utf-8").splitlines()]
    for obj in objects:
        case.assertIsInstance(obj, dict)
    jq = subprocess.run(["jq", "-c", "."], input=stdout, stdout=subprocess.PIPE,
                        stderr=subprocess.PIPE)
    case.assertEqual(jq.returncode, 0, jq.stderr)
    case.assertEqual(len(jq.stdout.splitlines()), len(objects))
    return objects


def assert_well_formed_xml(case, document: bytes):
    """`document` is one line of well-formed XML for xmllint."""
    case.assertEqual(document.count(b"\n"), 1, document[-200:])
    case.assertTrue(document.endswith(b"\n"))
    lint = subprocess.run(["xmllint", "--noout", "-"], input=document, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE)
    case.assertEqual((lint.returncode, lint.stdout + lint.stderr), (0, b""))


def take_binary_argument():
    """The built executable's path, first argument of the script; removed so
    that unittest does not read it."""
    if len(sys.argv) < 2:
        sys.exit("usage: %s PATH_TO_BINARY [unittest options]" % sys.argv[0])
    return os.path.abspath(sys.argv.pop(1))
