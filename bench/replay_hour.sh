#!/usr/bin/env bash
# The replay against reading the file and against FFmpeg's demultiplexer, on
# a realistic hour: the French teletext sample looped 98 times as one unbroken
# broadcast with 5 Mbit/s of another service's packets (2.3 GB, 12.1 M
# packets), from the page cache. Median of paired runs (each run times dd,
# zuva-replay --speed max and FFmpeg one after the other):
#   wall and CPU time, zuva against dd and FFmpeg, zuva's resident memory,
#   how many times zuva read the file, and the time to its first subtitle.
#
#   bench/replay_hour.sh [--quick] [RUNS]
#
# --quick loops the sample 3 times (two minutes, 70 MB) and runs once: what
# CI does, so that the benchmark keeps working; its figures mean little. The
# recording is written under build/bench and deleted at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
loops=98
runs=5
if [ "${1:-}" = "--quick" ]; then
  loops=3
  runs=1
  shift
fi
[ -n "${1:-}" ] && runs=$1

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target zuva-replay loop_recording >/dev/null
replay=build/release/zuva-replay
mkdir -p build/bench
file=build/bench/replay-hour.ts
out=build/bench/replay-hour.srt
trap 'rm -f "$file" "$out"' EXIT
build/release/bench/loop_recording tests/data/broadcast-teletext-fra.ts "$file" "$loops" 5000000
cat "$file" >/dev/null  # into the page cache

have_ffmpeg=0
command -v ffmpeg >/dev/null && have_ffmpeg=1

now() { date +%s.%N; }
# Wall seconds, CPU seconds and maximum resident kB of a command, on one line.
measure() {
  local log
  log=$(mktemp -p build/bench)
  /usr/bin/time -o "$log" -f "%e %U %S %M" "$@" >/dev/null 2>&1 || { rm -f "$log"; return 1; }
  awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' "$log"
  rm -f "$log"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

: >build/bench/runs.txt
for run in $(seq 1 "$runs"); do
  d=$(measure dd if="$file" of=/dev/null bs=1M)
  z=$(measure "$replay" --speed max --set Language=fre --srt "$out" "$file")
  f="0 0 0"
  [ "$have_ffmpeg" = 1 ] && f=$(measure ffmpeg -v error -i "$file" -map 0:s:0 -c copy -f null -)
  echo "$d $z $f" >>build/bench/runs.txt
  echo "run $run: dd $d | zuva $z | ffmpeg $f"
done

# The time to the first subtitle: when the first page reaches the screen
# (its line in the daemon's log), counted from the start of the replay.
start=$(now)
first=$("$replay" --speed max --set Language=fre "$file" 2>&1 >/dev/null |
  { while IFS= read -r line; do
      case $line in *"Subtitle@"*) now; break ;; esac
    done; cat >/dev/null; })
reads=$("$replay" --speed max --set Language=fre "$file" 2>&1 >/dev/null | sed -n 's/.*read the recording \([0-9.]*\) times.*/\1/p')

col() { awk -v c="$1" '{ print $c }' build/bench/runs.txt | median; }
dd_wall=$(col 1); dd_cpu=$(col 2)
z_wall=$(col 4); z_cpu=$(col 5); z_rss=$(col 6)
f_wall=$(col 7); f_cpu=$(col 8)
cues=$(grep -c -- '-->' "$out" || true)
echo
echo "recording: $(du -m "$file" | cut -f1) MB, $((loops * 373556 / 188)) sample packets looped $loops times; $cues subtitles"
printf 'median of %d: dd %.2f s (CPU %.2f s), zuva-replay %.2f s (CPU %.2f s), FFmpeg %.2f s (CPU %.2f s)\n' \
  "$runs" "$dd_wall" "$dd_cpu" "$z_wall" "$z_cpu" "$f_wall" "$f_cpu"
awk -v z="$z_wall" -v d="$dd_wall" -v f="$f_wall" -v zc="$z_cpu" -v fc="$f_cpu" 'BEGIN {
  printf "zuva / dd: %s x wall; zuva / FFmpeg: %s x wall, %s x CPU\n", r(z, d), r(z, f), r(zc, fc) }
  function r(a, b) { return b > 0 ? sprintf("%.2f", a / b) : "-" }'
echo "zuva resident: $((z_rss / 1024)) MB; file read ${reads:-?} times; first subtitle after $(awk -v a="$start" -v b="$first" 'BEGIN { printf "%.2f", b - a }') s"
