#!/usr/bin/env bash
# Builds the release preset (warnings are errors there too) and runs every
# benchmark program. With --quick each runs once with a tiny minimum time:
# that is what CI does, so a benchmark that no longer builds or crashes fails
# the run; the figures then mean nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
[ "${1:-}" = "--quick" ] && quick=1
scripts/setup.sh
cmake --preset release
cmake --build --preset release -j "$(nproc)"
args=()
[ "$quick" = 1 ] && args+=(--benchmark_min_time=0.001)
for b in build/release/bench/*_bench; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  if [ "$quick" = 1 ] && [ "$(basename "$b")" = pes_timing_bench ]; then
    # The real-time runs replay the sample at speed 1 for tens of seconds;
    # the speed-20 ones exercise the same code.
    "$b" "${args[@]}" --benchmark_filter='speed:20'
  else
    "$b" "${args[@]}"
  fi
done
