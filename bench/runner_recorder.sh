#!/usr/bin/env bash
# Stands in for a runner under its name: appends to $BENCH_RUNNER_LOG one shell
# line that starts the real runner with the same runner variables, then becomes
# the real runner. The lines replayed in order are the suite's runner launches
# without the test program around them. A GEMM launch is followed by a line
# that removes the profile it wrote, as the test does after reading it.
set -euo pipefail
real="@ZEL_RUNNER_DIR@/$(basename "$0")"
if [ -n "${BENCH_RUNNER_LOG:-}" ]; then
  {
    printf 'env'
    while IFS= read -r name; do
      printf ' %q' "$name=${!name}"
    done < <(compgen -e | grep '^ZEL_' | LC_ALL=C sort)
    printf ' %q || exit 1\n' "$real"
    if [ -n "${ZEL_PROFILE_OUTPUT:-}" ]; then
      printf 'rm -f -- %q\n' "$ZEL_PROFILE_OUTPUT"
    fi
  } >>"$BENCH_RUNNER_LOG"
fi
exec "$real"
