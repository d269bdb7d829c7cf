#!/usr/bin/python3 -IS
"""A stand-in for the five runner executables, for testing hardware_e2e alone.

Installed under each runner's name. It records how it was started as one JSON
line appended to the file named by STANDIN_LOG (runner name, arguments,
working directory, pid and parent pid, environment, start and end on the monotonic clock),
then ends as STANDIN_PLAN tells it.

STANDIN_PLAN is a JSON list of rules; the first rule whose "when" matches
applies, and without a match the runner exits with code 0:

  [{"when": {"runner": "zel-gemm-e2e", "env": {"ZEL_RANDOM_SEED": "1"}},
    "do": {"sleep": 0.05, "profile": "/path/fixture.capnp", "exit": 1}}]

"when" may name the runner and variables with their exact values; an empty or
missing "when" matches every launch. "do" may hold, applied in this order:
  fifo_profile  true: a FIFO is made at the path in ZEL_PROFILE_OUTPUT, so the
           test reading the profile waits there until a writer comes
  ignore_term  true: SIGTERM is ignored (only SIGKILL ends a sleeping runner)
  note_term  a file to which a line is appended on every SIGTERM, which is
           otherwise ignored
  started  a file to which the runner's pid is appended as one line, once
           the two above are in place
  early_profile  a file copied to the path in ZEL_PROFILE_OUTPUT before sleeping
  print    text written to standard output, then print_err to standard error
  print_bytes  this many more bytes of standard output, lines of "x"
  sleep    seconds to wait
  profile  a file copied to the path in ZEL_PROFILE_OUTPUT
  core_dir with "signal": allow a core file and write it in this directory
           (without it, no core file is written)
  signal   end by this signal, with its default action
  exit     exit with this code (default 0)

Values are kept as raw bytes; the log holds them decoded as Latin-1, so every
byte maps to one character.
"""

import json
import os
import resource
import shutil
import signal
import sys
import time


def text(raw: bytes) -> str:
    return raw.decode("latin-1")


def matches(when, runner, env):
    if when.get("runner") not in (None, runner):
        return False
    return all(env.get(name.encode("latin-1")) == value.encode("latin-1")
               for name, value in when.get("env", {}).items())


def main():
    start = time.monotonic_ns()
    runner = os.path.basename(sys.argv[0])
    env = dict(os.environb)
    plan = json.loads(env.get(b"STANDIN_PLAN", b"[]"))
    action = next((rule.get("do", {}) for rule in plan
                   if matches(rule.get("when", {}), runner, env)), {})

    if action.get("fifo_profile"):
        os.mkfifo(env[b"ZEL_PROFILE_OUTPUT"])
    if action.get("ignore_term"):
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    if "note_term" in action:
        def note(*_):
            with open(action["note_term"], "a", encoding="utf-8") as out:
                out.write("SIGTERM\n")
        signal.signal(signal.SIGTERM, note)
    # Said once the runner is ready for SIGTERM, so a test that signals it on
    # seeing this never finds the default action still in place.
    if "started" in action:
        with open(action["started"], "a", encoding="utf-8") as out:
            out.write("%d\n" % os.getpid())
    if "early_profile" in action:
        shutil.copyfile(action["early_profile"], env[b"ZEL_PROFILE_OUTPUT"])
    for stream, key in ((sys.stdout, "print"), (sys.stderr, "print_err")):
        if key in action:
            stream.write(action[key])
            stream.flush()
    remaining = action.get("print_bytes", 0)
    chunk = (b"x" * 1023 + b"\n") * 1024
    while remaining > 0:
        remaining -= os.write(1, chunk[:remaining])
    if "sleep" in action:
        # In slices: a signal that arrives just before a long sleep begins has
        # its handler run only once that sleep is over.
        until = time.monotonic() + action["sleep"]
        while (left := until - time.monotonic()) > 0:
            time.sleep(min(left, 0.05))
    if "profile" in action:
        shutil.copyfile(action["profile"], env[b"ZEL_PROFILE_OUTPUT"])

    log = env.get(b"STANDIN_LOG")
    if log:
        record = {
            "runner": runner,
            "argv": sys.argv,
            "cwd": os.getcwd(),
            "pid": os.getpid(),
            "ppid": os.getppid(),
            "env": [[text(k), text(v)] for k, v in os.environb.items()],
            "start": start,
            "end": time.monotonic_ns(),
        }
        with open(log, "a", encoding="utf-8") as out:
            out.write(json.dumps(record) + "\n")

    if "signal" in action:
        number = action["signal"]
        hard = resource.getrlimit(resource.RLIMIT_CORE)[1]
        if "core_dir" in action:
            resource.setrlimit(resource.RLIMIT_CORE, (hard, hard))
            os.chdir(action["core_dir"])
        else:
            resource.setrlimit(resource.RLIMIT_CORE, (0, hard))
        if number not in (signal.SIGKILL, signal.SIGSTOP):
            signal.signal(number, signal.SIG_DFL)
        os.kill(os.getpid(), number)
        time.sleep(5)  # a signal whose default is to continue leaves us here
    sys.exit(action.get("exit", 0))


if __name__ == "__main__":
    main()
