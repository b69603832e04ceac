#!/usr/bin/env bash
# Instructions per subtitle, zuva against FFmpeg's decoders on the same streams,
# counted by callgrind (Ir) and collected only inside the decoders' entry points:
#   zuva    TXTSubtitle::processPES / DVBSubtitle::processPES, less the replay
#           tool's own hooks that run inside them: its screen observer at the
#           end of every drawing sequence and its log sink
#   FFmpeg  avcodec_decode_subtitle2 (ffprobe decodes every subtitle packet)
# Streams: the French sample's page 889, and the two DVB streams of
# tests/ffmpeg_interop.sh (2-bit and 8-bit regions made by FFmpeg's encoder).
# Then the replay throughput of a generated one-hour teletext recording at
# --speed max (times real time, and the resident size).
#
#   bench/compare_ffmpeg.sh            needs the release build of zuva-replay
#                                      and zuva-mkdemo, and zuva-mksup from any
#                                      build (ZUVA_BUILD_DIR, ZUVA_TOOLS_DIR)
# Prints SKIP lines, with the reason, where valgrind or ffmpeg is missing or
# cannot run a program; a count that should be there and is not ends the
# script with one FAIL line and status 1.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { echo "compare_ffmpeg: $*"; }
build="${ZUVA_BUILD_DIR:-build/release}"
tools="${ZUVA_TOOLS_DIR:-build/default}"
sample=tests/data/broadcast-teletext-fra.ts
out="$(mktemp -d /tmp/zuva-bench-XXXXXX)"
trap 'rm -rf "$out"' EXIT

for tool in zuva-replay zuva-mkdemo; do
  if [ ! -x "$build/$tool" ]; then
    say "FAIL: $build/$tool is missing: cmake --preset release && cmake --build --preset release --target $tool"
    exit 1
  fi
done
have_valgrind=1
command -v valgrind >/dev/null 2>&1 && command -v callgrind_annotate >/dev/null 2>&1 || have_valgrind=0
have_ffmpeg=1
command -v ffmpeg >/dev/null 2>&1 && command -v ffprobe >/dev/null 2>&1 || have_ffmpeg=0

say "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores," \
  "$(uname -m), $(${CXX:-c++} --version 2>/dev/null | head -1)"

# Ir collected inside the toggled function, less the inclusive Ir of the
# functions called from it whose names contain one of the |-separated LESS.
# Status 2 when the program cannot run under valgrind, 3 when it ran and no
# count came out; the reason is then in OUTFILE.why.
callgrind_ir() {  # OUTFILE TOGGLE LESS COMMAND...
  local file="$1" toggle="$2" less="$3"
  shift 3
  if ! valgrind --tool=callgrind --callgrind-out-file="$file" --toggle-collect="$toggle" "$@" \
    > "$file.out" 2> "$file.err"; then
    # valgrind names what stopped it (an instruction it does not know, say).
    local why
    why=$(grep -m1 -iE 'unrecognised instruction|illegal|fatal|killed|error' "$file.err" |
      sed 's/^==[0-9]*== *//' || true)
    echo "valgrind cannot run ${1##*/}: ${why:-it failed, see $file.err}" > "$file.why"
    return 2
  fi
  local total minus=0
  total=$(callgrind_annotate "$file" 2>/dev/null | awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1 }' || true)
  if ! [[ "$total" =~ ^[0-9]+$ ]]; then
    echo "no instruction count for ${1##*/} in $file" > "$file.why"
    return 3
  fi
  if [ -n "$less" ]; then
    minus=$(callgrind_annotate --inclusive=yes "$file" 2>/dev/null | awk -v l="$less" '
      BEGIN { n = split(l, f, "|") }
      { for (i = 1; i <= n; ++i) if (!seen[i] && index($0, f[i])) { seen[i] = 1; v = $1; gsub(",", "", v); sum += v } }
      END { print sum + 0 }' || true)
  fi
  [[ "$minus" =~ ^[0-9]+$ ]] || minus=0
  echo $(( total - minus ))
}

# Sets the variable VAR to the count of callgrind_ir. A program that cannot
# run is a SKIP line (status 1); a missing count ends the script with one line.
measure() {  # VAR OUTFILE TOGGLE LESS COMMAND...
  local var="$1" file="$2" value status=0
  shift
  value=$(callgrind_ir "$@") || status=$?
  case "$status" in
    0) printf -v "$var" '%s' "$value" ;;
    2) say "SKIP: $(cat "$file.why")"; return 1 ;;
    *) say "FAIL: $(cat "$file.why" 2>/dev/null || echo "no count in $file")"; exit 1 ;;
  esac
}

# Ends the script with one line unless COUNT is a whole number above 0.
need_count() {  # COUNT WHAT
  [[ "$1" =~ ^[0-9]+$ ]] && [ "$1" -gt 0 ] && return 0
  say "FAIL: no count of $2"
  exit 1
}

row() {  # WHAT ZUVA_IR ZUVA_COUNT FFMPEG_IR FFMPEG_COUNT UNIT
  awk -v w="$1" -v zi="$2" -v zc="$3" -v fi="$4" -v fc="$5" -v u="$6" 'BEGIN {
    z = zi / zc; f = fi / fc
    printf "compare_ffmpeg: %-34s zuva %8.0f Ir/%s (%d)  FFmpeg %8.0f Ir/%s (%d)  ratio %.2f\n",
      w, z, u, zc, f, u, fc, z / f }'
}

if [ "$have_valgrind" = 0 ]; then
  say "SKIP: valgrind (callgrind) is not installed; no instruction counts"
elif [ "$have_ffmpeg" = 0 ]; then
  say "SKIP: ffmpeg is not installed; no comparison (scripts/setup.sh --interop installs it)"
else
  # Teletext: zuva draws page 889 (two rows, outline and box by default).
  if measure zi "$out/txt.cg" 'TXTSubtitle::processPES*' 'Session::UnlockObserver|Session::LogSink' \
    "$build/zuva-replay" --speed max --set Language=fre "$sample"; then
    pages=$(grep -o 'frames, [0-9][0-9]* subtitles' "$out/txt.cg.err" | awk '{ print $2 }' || true)
    need_count "$pages" "the pages zuva showed ($out/txt.cg.err)"
    for format in text bitmap; do
      measure fi_ "$out/ff-$format.cg" avcodec_decode_subtitle2 '' ffprobe -v error \
        -txt_format "$format" -txt_page 889 -select_streams s:0 -show_entries subtitle=num_rects \
        -of csv=p=0 "$sample" || continue
      fpages=$(awk '$1 > 0' "$out/ff-$format.cg.out" | wc -l)
      need_count "$fpages" "the pages FFmpeg decoded ($format)"
      row "teletext page 889 (FFmpeg $format)" "$zi" "$pages" "$fi_" "$fpages" page
    done
  fi

  # DVB: the cues of tests/interop/cues.txt as FFmpeg encodes them.
  if [ ! -x "$tools/zuva-mksup" ]; then
    say "SKIP: $tools/zuva-mksup is missing (cmake --build --preset default --target zuva-mksup); no DVB figures"
  else
    # The streams are the ones the interoperability check makes and checks.
    ZUVA_BUILD_DIR="$tools" tests/ffmpeg_interop.sh "$out/interop" > "$out/interop.log" 2>&1 || true
    for depth in 2bit 8bit; do
      ts="$out/interop/$depth.ts"
      if [ ! -s "$ts" ]; then
        say "SKIP: the interoperability check made no $depth stream (see $out/interop.log)"
        continue
      fi
      measure zi "$out/dvb-$depth.cg" 'DVBSubtitle::processPES*' 'Session::UnlockObserver|Session::LogSink' \
        "$build/zuva-replay" --dvb --speed max --set Language=eng --set OSDMessages=0 "$ts" || continue
      measure fi_ "$out/ff-$depth.cg" avcodec_decode_subtitle2 '' ffprobe -v error \
        -select_streams s:0 -show_entries subtitle=num_rects -of csv=p=0 "$ts" || continue
      sets=$(grep -c . "$out/ff-$depth.cg.out" || true)
      need_count "$sets" "the DVB display sets FFmpeg decoded ($depth)"
      row "DVB display set, $depth regions" "$zi" "$sets" "$fi_" "$sets" set
    done
  fi
fi

# Replay throughput: one hour of teletext subtitles, played as fast as the
# daemon's own timing allows.
"$build/zuva-mkdemo" "$out/hour.ts" 3600 > /dev/null 2>&1 || true
if [ ! -s "$out/hour.ts" ]; then
  say "SKIP: zuva-mkdemo could not write a one-hour recording; no replay figure"
  exit 0
fi
/usr/bin/time -f '%e %M' -o "$out/time.txt" "$build/zuva-replay" --speed max "$out/hour.ts" \
  > /dev/null 2> "$out/hour.err" || true
played=$(grep -o 'to [0-9.]* s' "$out/hour.err" | tail -1 | awk '{ print $2 }')
read -r wall rss < "$out/time.txt"
awk -v p="$played" -v w="$wall" -v r="$rss" -v f="$(grep -o '[0-9]* frames' "$out/hour.err" | tail -1)" 'BEGIN {
  printf "compare_ffmpeg: replay of %.0f s of teletext at --speed max: %.2f s, %.0f x real time, %.1f MB resident, %s\n",
    p, w, p / (w > 0.005 ? w : 0.005), r / 1024, f }'
