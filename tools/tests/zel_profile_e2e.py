"""End-to-end tests of zel-profile: output, messages and exit statuses.

Run by CTest: zel_profile_e2e.py ZEL_PROFILE WRITE_FIXTURE
"""

import json
import os
import random
import stat
import subprocess
import sys
import tempfile
import threading
import unittest

from e2e import run

TOOL = None
WRITE_FIXTURE = None

USAGE = (b"usage: zel-profile check FILE\n"
         b"       zel-profile summary FILE\n"
         b"       zel-profile trace FILE -o OUT.json [WINDOW] [--force]\n"
         b"       zel-profile svg FILE -o OUT.svg [WINDOW]\n"
         b"FILE may be - for standard input, OUT may be - for standard output.\n"
         b"WINDOW keeps the samples that overlap cycles FROM up to, not including, TO\n"
         b"on the tiles of LIST (physical tile numbers and ranges, such as 0-63,128):\n"
         b"  --from CYCLE (default 0)  --to CYCLE (default the end)  --tiles LIST (default all)\n"
         b"trace writes no trace over 512 MiB, which viewers cannot open, unless given --force.\n")

NOT_FOUND = b"No such file or directory (os error 2)"


class ZelProfileTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = cls.tmp.name
        for kind in ("small", "no-clock", "no-tiles", "version-0", "kind-4", "bad-utf8", "large",
                     "overlapping"):
            subprocess.run([WRITE_FIXTURE, kind, cls.path(kind)], check=True)
        with open(cls.path("small"), "rb") as f:
            cls.small = f.read()

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    @classmethod
    def path(cls, name):
        return os.path.join(cls.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def tool(self, *args, stdin=b""):
        return run([TOOL, *args], stdin=stdin)

    def assert_fails(self, result, stderr, status):
        self.assertEqual(result.stderr, stderr)
        self.assertEqual(result.stdout, b"")
        self.assertEqual(result.status, status)

    def test_check_prints_counts_first(self):
        result = self.tool("check", self.path("small"))
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.status, 0)
        self.assertEqual(result.stdout,
                         b"tiles: 3\nsamples: 12\nclock_hz: 1000000000\n"
                         b"distinct_physical_tiles: 3\n"
                         b"samples_by_kind: exchange 3, compute 3, synchronization 3, idle 3\n"
                         b"cycle_span: 1000..1575\nsamples_ending_before_start: 0\n")
        # An empty profile is a profile; standard input works like a file.
        with open(self.path("no-tiles"), "rb") as f:
            result = self.tool("check", "-", stdin=f.read())
        self.assertEqual(result.status, 0)
        self.assertEqual(result.stdout,
                         b"tiles: 0\nsamples: 0\nclock_hz: 1000000000\n"
                         b"distinct_physical_tiles: 0\n"
                         b"samples_by_kind: exchange 0, compute 0, synchronization 0, idle 0\n"
                         b"cycle_span: none\nsamples_ending_before_start: 0\n")

    def test_summary_shares_cycles_by_kind_and_ranks_tiles(self):
        result = self.tool("summary", self.path("small"))
        self.assertEqual(result.status, 0)
        self.assertEqual(result.stdout.decode(), """\
tiles: 3  samples: 12  clock_hz: 1000000000
run: cycles 1000..1575, 575 cycles, 575 ns

kind                           cycles   share
exchange                          150    8.7%
compute                           600   34.8%
synchronization                    75    4.3%
idle                              900   52.2%
total                            1725  100.0%

busiest tiles:
  tile  1425            375 busy cycles   65.2% of its samples
  tile     0            275 busy cycles   47.8% of its samples
  tile    81            175 busy cycles   30.4% of its samples
idlest tiles:
  tile    81            175 busy cycles   30.4% of its samples
  tile     0            275 busy cycles   47.8% of its samples
  tile  1425            375 busy cycles   65.2% of its samples
""")
        result = self.tool("summary", self.path("no-clock"))
        self.assertIn(b"run: cycles 1000..1575, 575 cycles, no time (clock_hz is 0)\n",
                      result.stdout)

    def test_trace_is_trace_event_json_in_whole_cycles(self):
        out = self.path("trace.json")
        result = self.tool("trace", self.path("small"), "-o", out)
        self.assertEqual((result.status, result.stdout, result.stderr), (0, b"", b""))
        self.assertEqual(subprocess.run(["jq", "-e", ".", out], stdout=subprocess.DEVNULL).returncode, 0)
        with open(out, encoding="utf-8") as f:
            trace = json.load(f)
        self.assertEqual(trace["otherData"], {"clock_hz": 1000000000, "time_unit": "cycles"})
        events = trace["traceEvents"]
        self.assertTrue(all("cat" in e and e["tid"] >= 1 for e in events))
        names = {e["tid"]: e["args"]["name"] for e in events if e["name"] == "thread_name"}
        self.assertEqual(names, {1: "tile 81", 2: "tile 0", 3: "tile 1425"})
        self.assertEqual([e["args"]["name"] for e in events if e["name"] == "process_name"],
                         ["small (1 us = 1 cycle = 1 ns)"])
        samples = [e for e in events if e["ph"] == "X"]
        self.assertEqual(len(samples), 12)
        first = samples[0]
        self.assertEqual((first["tid"], first["name"], first["cat"], first["ts"], first["dur"]),
                         (1, 'exchange "in"', "exchange", 1000, 50))
        self.assertEqual(first["args"]["duration"], "50 ns")
        self.assertEqual(first["args"]["metadata"], [["rows", "64"], ["rows", "é\n"]])
        self.assertEqual([e["name"] for e in samples[:4]],
                         ['exchange "in"', "gemm <block> & acc", "sync\\barrier",
                          "wait\ttab \x01 \uffff"])
        self.assertEqual(samples[1]["args"]["kernel"], "gemm_f16 'v2'")
        self.assertEqual([e["cat"] for e in samples[:4]],
                         ["exchange", "compute", "synchronization", "idle"])
        # Back to back in exact integers: each sample ends where the next starts.
        self.assertEqual([e["ts"] + e["dur"] for e in samples[:3]], [e["ts"] for e in samples[1:4]])

    def test_trace_without_a_clock_and_to_a_stream(self):
        for out in ("-", "/dev/stdout"):
            result = self.tool("trace", self.path("no-clock"), "-o", out)
            self.assertEqual((result.status, result.stderr), (0, b""))
            trace = json.loads(result.stdout)
            self.assertEqual(trace["otherData"], {"clock_hz": 0, "time_unit": "cycles"})
            self.assertEqual(trace["traceEvents"][0]["args"]["name"], "no-clock (1 us = 1 cycle)")
            self.assertEqual(trace["traceEvents"][3]["ts"], 1000)
            self.assertNotIn("duration", trace["traceEvents"][3]["args"])

    def test_svg_is_well_formed_with_a_legend(self):
        for fixture in ("small", "no-clock", "no-tiles"):
            out = self.path(fixture + ".svg")
            result = self.tool("svg", self.path(fixture), "-o", out)
            self.assertEqual((result.status, result.stdout, result.stderr), (0, b"", b""))
            lint = subprocess.run(["xmllint", "--noout", out], stderr=subprocess.PIPE)
            self.assertEqual((lint.returncode, lint.stderr), (0, b""), fixture)
        with open(self.path("small.svg"), encoding="utf-8") as f:
            svg = f.read()
        for kind in ("exchange", "compute", "synchronization", "idle", "no samples"):
            self.assertIn(">%s</text>" % kind, svg)
        self.assertIn("physical tile number", svg)
        self.assertEqual(svg.count("<title>tile "), 12)
        self.assertIn("gemm &lt;block&gt; &amp; acc", svg)

    def test_any_file_name_gives_a_readable_document(self):
        # The file name titles both documents; bytes that are not UTF-8 and
        # characters XML cannot hold must not make either unreadable.
        name = b"prof\xff <&\x01\tx"
        profile = os.path.join(os.fsencode(self.dir), name)
        with open(profile, "wb") as f:
            f.write(self.small)
        shown = "prof\ufffd <&\x01\tx"
        trace = self.path("named.json")
        self.assertEqual(self.tool("trace", profile, "-o", trace).status, 0)
        with open(trace, encoding="utf-8") as f:
            events = json.load(f)["traceEvents"]
        self.assertEqual([e["args"]["name"] for e in events if e["name"] == "process_name"],
                         [shown + " (1 us = 1 cycle = 1 ns)"])
        svg = self.path("named.svg")
        self.assertEqual(self.tool("svg", profile, "-o", svg).status, 0)
        lint = subprocess.run(["xmllint", "--noout", svg], stderr=subprocess.PIPE)
        self.assertEqual((lint.returncode, lint.stderr), (0, b""))
        with open(svg, encoding="utf-8") as f:
            self.assertIn("<title>prof\ufffd &lt;&amp;\ufffd&#x9;x</title>", f.read())

    def test_files_that_are_no_profiles_fail_like_check(self):
        cases = [
            ("version-0", b'error: Invalid("unsupported profile schema version 0")\n'),
            ("kind-4", b"error: SchemaEnum(NotInSchema(4))\n"),
            ("bad-utf8", b"error: Utf8(Utf8Error { valid_up_to: 2, error_len: Some(1) })\n"),
            ("missing", b"error: cannot read %s: %s\n" % (self.path("missing").encode(), NOT_FOUND)),
        ]
        for fixture, stderr in cases:
            for command in (["check"], ["summary"], ["trace", "-o", self.path("x.json")],
                            ["svg", "-o", self.path("x.svg")]):
                with self.subTest(fixture=fixture, command=command[0]):
                    result = self.tool(command[0], self.path(fixture), *command[1:])
                    self.assert_fails(result, stderr, 1)
                    self.assertFalse(os.path.exists(self.path("x.json")))
                    self.assertFalse(os.path.exists(self.path("x.svg")))

    def test_damaged_files_are_library_errors(self):
        cases = {
            "empty": b"",
            "cut in the segment table": self.small[:5],
            "cut in the segment": self.small[:-3],
            "too many segments": b"\x00\x02\x00\x00" + b"\x00" * 4092,
            "terabytes announced": b"\xfe\x01\x00\x00" + b"\xff" * 2044 + b"\x00" * 2048,
            "random bytes": bytes(range(256)) * 4,
        }
        for name, data in cases.items():
            with self.subTest(name):
                result = self.tool("check", self.write("damaged", data))
                self.assertEqual(result.status, 1)
                self.assertEqual(result.stdout, b"")
                self.assertTrue(result.stderr.startswith(b'error: Capnp(Error { kind: Failed, extra: "'),
                                result.stderr)
                self.assertTrue(result.stderr.endswith(b'" })\n'), result.stderr)
                self.assertEqual(result.stderr.count(b"\n"), 1)
        self.assert_fails(self.tool("check", self.dir),
                          b"error: cannot read %s: Is a directory (os error 21)\n" % self.dir.encode(), 1)

    def test_outputs_that_cannot_be_written_name_the_path(self):
        cases = [
            (self.path("no/such/dir/out.json"), NOT_FOUND),
            (self.dir, b"Is a directory (os error 21)"),
            ("/dev/full", b"No space left on device (os error 28)"),
        ]
        for out, reason in cases:
            for command in ("trace", "svg"):
                with self.subTest(out=out, command=command):
                    self.assert_fails(self.tool(command, self.path("small"), "-o", out),
                                      b"error: cannot write %s: %s\n" % (out.encode(), reason), 1)

    def test_outputs_replace_a_file_whole_keeping_its_permissions(self):
        out = self.path("replaced.svg")
        with open(out, "w") as f:
            f.write("old")
        os.chmod(out, 0o640)
        os.symlink(out, self.path("link.svg"))
        self.assertEqual(self.tool("svg", self.path("small"), "-o", self.path("link.svg")).status, 0)
        self.assertTrue(os.path.islink(self.path("link.svg")))
        self.assertEqual(stat.S_IMODE(os.stat(out).st_mode), 0o640)
        with open(out, encoding="utf-8") as f:
            self.assertTrue(f.read().startswith("<?xml"))
        self.assertEqual(sorted(n for n in os.listdir(self.dir) if n.startswith(".")), [])

    def test_a_full_disk_leaves_no_partial_file(self):
        # A 64 KiB file system of its own, in a mount namespace of its own;
        # the large profile's trace and picture are megabytes.
        script = r"""
            mount -t tmpfs -o size=64k,mode=0755 tmpfs "$1" || exit 77
            cd "$1" && printf old > kept && chmod 640 kept
            for out in kept new; do
              for command in trace svg; do "$2" $command "$3" -o $out 2>&1; echo "status $?"; done
            done
            ls -a; stat -c %a kept; cat kept
        """
        mountpoint = tempfile.mkdtemp(dir=self.dir)
        unshare = ["unshare", "-m"] if os.geteuid() == 0 else ["unshare", "-rm"]
        result = run([*unshare, "sh", "-c", script, "sh", mountpoint, TOOL, self.path("large")])
        if result.status != 0:
            self.skipTest("no mount namespace with a tmpfs here (status %d): %s"
                          % (result.status, result.stderr.decode(errors="replace").strip()))
        full = b"No space left on device (os error 28)"
        self.assertEqual(result.stdout,
                         b"error: cannot write kept: %s\nstatus 1\n" % full * 2 +
                         b"error: cannot write new: %s\nstatus 1\n" % full * 2 +
                         b".\n..\nkept\n640\nold")

    def test_a_file_that_changes_while_read_gives_an_error_never_a_crash(self):
        # One thread rewrites the profile in place and cuts it short, over
        # and over, while the tool reads it a few hundred times.
        with open(self.path("large"), "rb") as f:
            whole = f.read()
        path = self.write("changing", whole)
        stop = threading.Event()

        def rewrite():
            rng = random.Random(7)
            while not stop.is_set():
                with open(path, "r+b") as f:
                    f.truncate(rng.randrange(len(whole)))
                with open(path, "wb") as f:
                    for at in range(0, len(whole), 65536):
                        f.write(whole[at:at + 65536])
                        f.flush()

        writer = threading.Thread(target=rewrite)
        writer.start()
        outcomes = {}
        try:
            for _ in range(300):
                result = self.tool("check", path)
                self.assertIn(result.status, (0, 1), result.stderr)
                if result.status == 1:
                    self.assertTrue(result.stderr.startswith(b"error: "), result.stderr)
                    self.assertEqual(result.stderr.count(b"\n"), 1, result.stderr)
                outcomes[result.status] = outcomes.get(result.status, 0) + 1
        finally:
            stop.set()
            writer.join()
        print("\nreads of a changing file: %d whole, %d refused"
              % (outcomes.get(0, 0), outcomes.get(1, 0)), file=sys.stderr)

    def test_usage_errors(self):
        small = self.path("small")
        cases = [
            ([], b"missing command"),
            (["show", small], b"unknown command 'show'"),
            (["check"], b"check needs a FILE"),
            (["check", small, small], b"unexpected argument '%s'" % small.encode()),
            (["check", small, "-o", "x"], b"check takes no -o"),
            (["summary", "--verbose", small], b"unknown option '--verbose'"),
            (["trace", small], b"trace needs -o OUT.json"),
            (["svg", small], b"svg needs -o OUT.svg"),
            (["svg", small, "-o"], b"-o needs a path"),
            (["trace", "-o", "a", "-o", "b", small], b"-o given twice"),
        ]
        for args, problem in cases:
            with self.subTest(args=args):
                self.assert_fails(self.tool(*args), b"error: " + problem + b"\n" + USAGE, 2)

    def test_a_window_keeps_the_samples_that_overlap_it_and_its_tiles(self):
        # Tile 7's samples "op 0" to "op 9" span 0-100, 0-100, 10-40, 40-100,
        # 50-150, 60-70, 100-100, 150-200, 120-180 and 190-170 (which ends
        # before it starts, so it has no cycles); tile 8 has none.
        cases = [
            ([], [0, 1, 2, 3, 4, 5, 6, 7, 8, 9], ["tile 7", "tile 8"]),
            (["--from", "100"], [4, 6, 7, 8, 9], ["tile 7", "tile 8"]),
            (["--to", "100"], [0, 1, 2, 3, 4, 5], ["tile 7", "tile 8"]),
            (["--from", "40", "--to", "60"], [0, 1, 3, 4], ["tile 7", "tile 8"]),
            (["--from=190", "--to=191", "--tiles=7"], [7, 9], ["tile 7"]),
            (["--tiles", "8"], [], ["tile 8"]),
            (["--tiles", "0-6,9-1471"], [], []),
        ]
        for options, kept, threads in cases:
            with self.subTest(options=options):
                result = self.tool("trace", self.path("overlapping"), *options, "-o", "-")
                self.assertEqual((result.status, result.stderr), (0, b""))
                events = json.loads(result.stdout)["traceEvents"]
                samples = [e for e in events if e["ph"] == "X"]
                self.assertEqual(sorted(int(e["name"][3:]) for e in samples), kept)
                # Kept whole: a sample that reaches past the window is not cut.
                self.assertTrue(all(e["args"]["start_cycle"] == e["ts"] for e in samples))
                names = {e["args"]["name"] for e in events if e["name"] == "thread_name"}
                self.assertEqual(sorted({n.split(" (")[0] for n in names}), threads)
        svg = self.path("window.svg")
        result = self.tool("svg", self.path("overlapping"), "--from", "40", "--to", "60",
                           "--tiles", "7-8", "-o", svg)
        self.assertEqual((result.status, result.stderr), (0, b""))
        with open(svg, encoding="utf-8") as f:
            text = f.read()
        self.assertIn("(window: cycles 40 to 60, tiles 7-8): 2 tiles, 4 samples", text)
        self.assertEqual(text.count("<title>tile 7: op "), 4)
        self.assertIn("<title>tile 8: no samples</title>", text)

    def test_window_options_that_are_wrong_are_usage_errors_before_the_file_is_read(self):
        out = self.path("never.json")
        missing = self.path("missing")
        cases = [
            (["--from", "x1"], b"--from 'x1': not a cycle number (0 to 4294967295)"),
            (["--to", "-5"], b"--to '-5': not a cycle number (0 to 4294967295)"),
            (["--from=4294967296"], b"--from '4294967296': not a cycle number (0 to 4294967295)"),
            (["--from", "200", "--to", "200"], b"--to 200 is not after --from 200"),
            (["--to", "0"], b"--to 0 is not after cycle 0, where the window starts"),
            (["--from", "1", "--from=2"], b"--from given twice"),
            (["--tiles", "0-63,x"],
             b"--tiles '0-63,x': 'x' is not a tile number or a range of them such as 0-63"),
            (["--tiles", "1,,2"],
             b"--tiles '1,,2': '' is not a tile number or a range of them such as 0-63"),
            (["--tiles", "0-1472"], b"--tiles '0-1472': tile 1472 is not on the card (0 to 1471)"),
            (["--tiles", "9-3"], b"--tiles '9-3': the range 9-3 runs backwards"),
            (["--tiles"], b"--tiles needs a tile list"),
        ]
        for command in ("trace", "svg"):
            for options, problem in cases:
                with self.subTest(command=command, options=options):
                    result = self.tool(command, missing, "-o", out, *options)
                    self.assert_fails(result, b"error: " + problem + b"\n" + USAGE, 2)
                    self.assertFalse(os.path.exists(out))
        for args, problem in [(["check", missing, "--from", "5"], b"check takes no --from"),
                              (["summary", missing, "--tiles=3"], b"summary takes no --tiles"),
                              (["svg", missing, "-o", out, "--force"], b"svg takes no --force")]:
            with self.subTest(args=args):
                self.assert_fails(self.tool(*args), b"error: " + problem + b"\n" + USAGE, 2)

    def test_help(self):
        for flag in ("-h", "--help", "help"):
            result = self.tool(flag)
            self.assertEqual((result.status, result.stdout, result.stderr), (0, USAGE, b""))


if __name__ == "__main__":
    TOOL, WRITE_FIXTURE = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1])
