"""However many worker threads run tests, at most one runner is alive at a time,
and a failed test never keeps the next one from taking the card."""

import unittest

from standin import STANDIN_BIN, catalogue, failure_messages, profile_fixture, run_program


class DeviceLock(unittest.TestCase):
    def test_runners_never_overlap_and_a_failure_does_not_block(self):
        plan = [
            {"when": {"runner": "zel-attention-f16-e2e"}, "do": {"sleep": 0.02, "exit": 1}},
            {"when": {"runner": "zel-hardware-e2e", "env": {"ZEL_GRAPH_TEST": "fanout"}},
             "do": {"sleep": 0.02, "signal": 9}},
            {"when": {"runner": "zel-gemm-e2e"},
             "do": {"sleep": 0.02, "profile": profile_fixture("valid")}},
            {"do": {"sleep": 0.02}},
        ]
        result = run_program(STANDIN_BIN, ["--test-threads", "8"], plan=plan)
        self.assertEqual(result.status, 101)
        self.assertEqual(sorted(failure_messages(result.stdout)),
                         ["direct_multicast_works",
                          "flash_attention_matches_host_softmax_across_encoder_shapes"])
        tests = catalogue("")
        self.assertIn(f"test result: FAILED. {len(tests) - 2} passed; 2 failed;".encode(),
                      result.stdout)
        # Every launch of every test happened, one after another.
        self.assertEqual(len(result.records), sum(len(t.launches) for t in tests))
        spans = sorted((r.start, r.end, r.runner) for r in result.records)
        for earlier, later in zip(spans, spans[1:]):
            self.assertLess(earlier[1], later[0], f"{earlier[2]} overlaps {later[2]}")


if __name__ == "__main__":
    unittest.main()
