#!/usr/bin/env bash
# --speed max against --speed 1, and --speed max against itself.
#
#   bench/replay_determinism.sh [RUNS]
#
# Replays the recordings whose subtitles come at awkward moments (written by
# the timing_cases program: pages in the first second, shorter than one
# main-loop cycle, back to back, sent half a second ahead), the French and
# Italian samples and the French one looped past 24 MB once at --speed 1 and
# RUNS times (default 100) at --speed max. Every --speed max run must give
# the same SubRip, frames.tsv and PNG frames to the byte, and the same
# subtitles and frames as the --speed 1 run, each time within 20 ms but for
# the moment the replay stops.
# The --speed 1 runs take about three minutes of real time.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-100}
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target zuva-replay timing_cases loop_recording >/dev/null
replay=build/release/zuva-replay
work=build/bench/determinism
rm -rf "$work"
mkdir -p "$work/cases"
trap 'rm -rf "$work"' EXIT
build/release/bench/timing_cases "$work/cases" >/dev/null

cases=()
for f in "$work"/cases/*.ts; do cases+=("$f|"); done
cases+=("tests/data/broadcast-teletext-fra.ts|--set Language=fre")
cases+=("tests/data/broadcast-teletext-ita.ts|--set Language=ita")
# Longer than the stretch the replay chooses the clock on (24 MB), so that
# it plays while the time line is still being built: the French sample twice
# with 5 Mbit/s of other packets, 46 MB.
build/release/bench/loop_recording tests/data/broadcast-teletext-fra.ts "$work/looped-fra.ts" 2 5000000 >/dev/null
cases+=("$work/looped-fra.ts|--set Language=fre")

# play SPEED FILE OPTIONS DIR: the replay's SubRip and frames in DIR.
play() {
  rm -rf "$4"
  mkdir -p "$4"
  # shellcheck disable=SC2086
  "$replay" --speed "$1" $3 --frames "$4/frames" --srt "$4/out.srt" "$2" 2>/dev/null
}
digest() { { cat "$1/out.srt" "$1/frames/frames.tsv"; md5sum "$1"/frames/*.png 2>/dev/null | cut -c1-32; } | md5sum | cut -c1-32; }

# The cues (start, end, text) and frames (time, what) of two replays agree,
# every time within 20 ms.
agree() {
  awk -F'\t' -v tolerance=20 '
    function ms(t) { split(t, a, /[:,]/); return ((a[1] * 60 + a[2]) * 60 + a[3]) * 1000 + a[4] }
    FNR == 1 { file++ }
    file <= 2 {
      if ($0 ~ / --> /) { split($0, t, " --> "); n[file]++; s[file, n[file]] = ms(t[1]); e[file, n[file]] = ms(t[2]); next }
      if ($0 != "" && $0 !~ /^[0-9]+$/) text[file, n[file]] = text[file, n[file]] "|" $0
      next
    }
    FNR > 1 { n[file]++; s[file, n[file]] = $3; text[file, n[file]] = $5 }
    END {
      bad = 0
      for (f = 1; f <= 3; f += 2) {  # subtitles 1 and 2, frames 3 and 4
        what = f == 1 ? "subtitle" : "frame"
        if (n[f] != n[f + 1]) { printf "%d against %d %ss\n", n[f], n[f + 1], what; bad = 1; continue }
        for (i = 1; i <= n[f]; i++) {
          # The replay stops on a main-loop cycle after the recording
          # ended; in real time those cycles drift by the work each one
          # does, so the stop (the last frame, the end of a subtitle still
          # shown) is not compared.
          last = i == n[f]
          d = last && f == 3 ? 0 : s[f, i] - s[f + 1, i]; if (d < 0) d = -d
          if (f == 1 && !last) { d2 = e[f, i] - e[f + 1, i]; if (d2 < 0) d2 = -d2; if (d2 > d) d = d2 }
          if (d > tolerance || text[f, i] != text[f + 1, i]) {
            printf "%s %d: %s at %d against %s at %d\n", what, i, text[f, i], s[f, i], text[f + 1, i], s[f + 1, i]; bad = 1
          }
        }
      }
      exit bad
    }' "$1/out.srt" "$2/out.srt" "$1/frames/frames.tsv" "$2/frames/frames.tsv"
}

failed=0
for c in "${cases[@]}"; do
  file=${c%%|*}
  options=${c#*|}
  name=$(basename "$file" .ts)
  play 1 "$file" "$options" "$work/real"
  play max "$file" "$options" "$work/max"
  first=$(digest "$work/max")
  differing=0
  for run in $(seq 2 "$runs"); do
    play max "$file" "$options" "$work/again"
    [ "$(digest "$work/again")" = "$first" ] || differing=$((differing + 1))
  done
  cues=$(grep -c -- '-->' "$work/max/out.srt" || true)
  if report=$(agree "$work/real" "$work/max"); then
    verdict="equals --speed 1"
  else
    verdict="differs from --speed 1: $report"
    failed=1
  fi
  [ "$differing" = 0 ] || failed=1
  echo "$name: $cues subtitles; $((runs - differing)) of $runs --speed max runs identical; $verdict"
done
exit "$failed"
