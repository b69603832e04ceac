#!/usr/bin/env bash
# Soak test: plays a long generated recording through the daemon on simulated
# devices, as fast as the daemon's timing allows, with service changes, flag
# files, a broken status file and random demultiplexer faults, and fails when
# memory, descriptors or threads are not back where they were after a warm-up.
# Not part of the normal test run.
#
#   scripts/soak.sh [SECONDS] [zuva-soak options...]
#       SECONDS: replay time of the recording (default 3600); the real time is
#       a small fraction of it. Output and the daemon's log go to out/soak.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-3600}"
shift || true
out=out/soak
scripts/setup.sh
# An optimised build: the soak measures the daemon, not the debug checks.
cmake --preset release >/dev/null
cmake --build --preset release -j 2 --target zuva-soak
mkdir -p "$out"
build/release/zuva-soak --log "$out/zuva.log" --srt "$out/subtitles" "$@" "$seconds" | tee "$out/soak.txt"
