"""The listing shows the tests in registry order, and the source positions it
reports are where the tests are declared."""

import json
import os
import unittest

from standin import STANDIN_BIN, catalogue, run_program

REPO_ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "..", ".."))


class Listing(unittest.TestCase):
    def test_list_prints_the_names_in_registry_order(self):
        result = run_program(STANDIN_BIN, ["--list"])
        self.assertEqual(result.status, 0)
        names = [t.name for t in catalogue("")]
        self.assertEqual(names, sorted(names))
        expected = "".join(f"{name}: test\n" for name in names) + f"\n{len(names)} tests, 0 benchmarks\n"
        self.assertEqual(result.stdout.decode(), expected)
        self.assertEqual(result.records, [])

    def test_positions_point_at_the_declarations(self):
        result = run_program(STANDIN_BIN, ["--list", "--format", "json", "-Z", "unstable-options"],
                             env={"RUSTC_BOOTSTRAP": "1"})
        self.assertEqual(result.status, 0, result.stderr)
        events = [json.loads(line) for line in result.stdout.decode().splitlines()]
        discovered = [e for e in events if e.get("event") == "discovered"]
        self.assertEqual([e["name"] for e in discovered], [t.name for t in catalogue("")])
        with open(os.path.join(REPO_ROOT, "crates/zel-runtime/tests/hardware_e2e.cpp")) as f:
            source = f.read().splitlines()
        for entry, test in zip(discovered, catalogue("")):
            with self.subTest(test.name):
                self.assertEqual(entry, {
                    "type": "test", "event": "discovered", "name": test.name, "ignore": False,
                    "ignore_message": "", "source_path": "crates/zel-runtime/tests/hardware_e2e.cpp",
                    "start_line": test.line, "start_col": 4, "end_line": test.line,
                    "end_col": 4 + len(test.name)})
                line = source[test.line - 1]
                self.assertEqual(line[3:3 + len(test.name)], test.name)
                self.assertEqual(line[3 + len(test.name)], ")")


if __name__ == "__main__":
    unittest.main()
