"""Every variable the program, the harness, the card choice or the runners read
is on the list the tests clear from their environment, so a developer's shell
never leaks into a test."""

import pathlib
import re
import sys
import unittest

import e2e

REPO_ROOT = pathlib.Path(__file__).resolve().parents[4]
# The C++ of the program and the harness it is built on, and of the runners.
SOURCES = ("harness/src", "crates/zel-runtime/tests", "crates/zel-sim/src",
           "crates/zel-sim/runners")
# A name in quotes: what getenv, the harness's variable table and the launches use.
VARIABLE = re.compile(r'"((?:ZEL|TEST|TESTBRIDGE|RUST|RUSTC)_[A-Z0-9_]+|XML_OUTPUT_FILE)"')


def variables_read():
    """{name: first file naming it} over the sources, leaving out comments,
    preprocessor lines and unit tests."""
    found = {}
    for root in SOURCES:
        for path in sorted((REPO_ROOT / root).rglob("*")):
            if path.suffix not in (".cpp", ".h") or path.stem.endswith("_test"):
                continue
            for line in path.read_text(encoding="utf-8").splitlines():
                code = line.strip()
                if code.startswith(("//", "#")):
                    continue
                for name in VARIABLE.findall(code.split("//")[0]):
                    found.setdefault(name, str(path.relative_to(REPO_ROOT)))
    return found


class ScrubbedVariables(unittest.TestCase):
    maxDiff = None

    def test_every_variable_read_is_cleared(self):
        found = variables_read()
        # The scan itself works: names of the harness, the engines, the card and a runner.
        self.assertLessEqual({"RUST_TEST_THREADS", "XML_OUTPUT_FILE", "ZEL_CARD",
                              "ZEL_HOST_TEST_BYTES"}, set(found))
        missing = {name: where for name, where in found.items() if name not in e2e._SCRUBBED}
        self.assertEqual(missing, {}, "read but not cleared by tests/support/e2e.py")


if __name__ == "__main__":
    # CTest hands every module of this folder the program's builds; none is needed here.
    unittest.main(argv=sys.argv[:1])
