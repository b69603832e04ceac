#!/usr/bin/env bash
# Builds the release preset (warnings are errors there too) and runs every
# benchmark program, then the replay of a full-rate hour against dd and
# FFmpeg (bench/replay_hour.sh). With --quick each program runs once with a
# tiny minimum time and the replay takes two minutes of recording once: that
# is what CI does, so a benchmark that no longer builds or crashes fails the
# run; the figures then mean nothing.
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
echo "== replay_hour"
if [ "$quick" = 1 ]; then
  bench/replay_hour.sh --quick
else
  bench/replay_hour.sh
fi
