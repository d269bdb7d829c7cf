"""End-to-end tests of the corpus replay program a fuzz target builds as.

Run by CTest: replay_e2e.py FUZZ_UTF8 [FUZZ_LEAKY]
(FUZZ_LEAKY, built with AddressSanitizer, leaks for the input "leak".)
"""

import os
import sys
import tempfile
import unittest

from e2e import run

REPLAY = None
LEAKY = None


class Replay(unittest.TestCase):
    def test_without_arguments_prints_the_usage(self):
        result = run([REPLAY])
        self.assertEqual(result.status, 2)
        self.assertEqual(result.stderr,
                         f"usage: {REPLAY} INPUT_FILE_OR_CORPUS_DIR...\n".encode())
        self.assertEqual(result.stdout, b"")

    def test_a_missing_path_is_named_before_anything_runs(self):
        with tempfile.TemporaryDirectory() as tmp:
            good = os.path.join(tmp, "input")
            with open(good, "wb") as f:
                f.write(b"abc")
            missing = os.path.join(tmp, "missing")
            result = run([REPLAY, good, missing])
        self.assertEqual(result.status, 2)
        self.assertEqual(result.stderr, f"{missing}: No such file or directory\n".encode())
        self.assertEqual(result.stdout, b"")

    def test_files_and_directories_mix(self):
        with tempfile.TemporaryDirectory() as tmp:
            corpus = os.path.join(tmp, "corpus")
            os.mkdir(corpus)
            for name, data in (("a", b""), ("b", b"\xff\xfe"), ("c", "é€𝄞".encode())):
                with open(os.path.join(corpus, name), "wb") as f:
                    f.write(data)
            os.mkdir(os.path.join(corpus, "not-an-input"))
            single = os.path.join(tmp, "single")
            with open(single, "wb") as f:
                f.write(b"\xed\xa0\x80")
            result = run([REPLAY, corpus, single])
        self.assertEqual((result.status, result.stdout, result.stderr),
                         (0, b"4 inputs, 0 failures\n", b""))

    def test_a_leaking_input_fails_the_replay(self):
        if LEAKY is None:
            self.skipTest("the leak check is built with AddressSanitizer only")
        with tempfile.TemporaryDirectory() as tmp:
            for name, data in (("clean", b"keep"), ("leaking", b"leak")):
                with open(os.path.join(tmp, name), "wb") as f:
                    f.write(data)
            result = run([LEAKY, tmp])
        self.assertEqual(result.status, 1)
        self.assertEqual(result.stdout, b"2 inputs, 1 failures\n")
        self.assertIn(b"ERROR: LeakSanitizer: detected memory leaks", result.stderr)
        self.assertTrue(result.stderr.endswith(
            f"{os.path.join(tmp, 'leaking')}: leaked memory\n".encode()), result.stderr)


if __name__ == "__main__":
    REPLAY = sys.argv.pop(1)
    if len(sys.argv) > 1:
        LEAKY = sys.argv.pop(1)
    unittest.main()
