"""The listing shows the 23 tests in registry order."""

import unittest

from standin import STANDIN_BIN, catalogue, run_program


class Listing(unittest.TestCase):
    def test_list_prints_the_names_in_registry_order(self):
        result = run_program(STANDIN_BIN, ["--list"])
        self.assertEqual(result.status, 0)
        names = [t.name for t in catalogue("")]
        self.assertEqual(names, sorted(names))
        expected = "".join(f"{name}: test\n" for name in names) + "\n23 tests, 0 benchmarks\n"
        self.assertEqual(result.stdout.decode(), expected)
        self.assertEqual(result.records, [])


if __name__ == "__main__":
    unittest.main()
