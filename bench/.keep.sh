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
# Prints SKIP lines where valgrind or ffmpeg is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { echo "compare_ffmpeg: $*"; }
build="${ZUVA_BUILD_DIR:-build/release}"
tools="${ZUVA_TOOLS_DIR:-build/default}"
sample=tests/data/broadcast-teletext-fra.ts
out="$(mktemp -d /tmp/zuva-bench-XXXXXX)"
echo OUT=$out

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
callgrind_ir() {  # OUTFILE TOGGLE LESS COMMAND...
  local file="$1" toggle="$2" less="$3"
  shift 3
  valgrind --tool=callgrind --callgrind-out-file="$file" --toggle-collect="$toggle" "$@" \
    > "$file.out" 2> "$file.err"
  local total minus=0
  total=$(callgrind_annotate "$file" 2>/dev/null | awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1 }')
  if [ -n "$less" ]; then
    minus=$(callgrind_annotate --inclusive=yes "$file" 2>/dev/null | awk -v l="$less" '
      BEGIN { n = split(l, f, "|") }
      { for (i = 1; i <= n; ++i) if (!seen[i] && index($0, f[i])) { seen[i] = 1; v = $1; gsub(",", "", v); sum += v } }
      END { print sum + 0 }')
  fi
  echo $(( total - ${minus:-0} ))
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
  zi=$(callgrind_ir "$out/txt.cg" 'TXTSubtitle::processPES*' 'Session::UnlockObserver|Session::LogSink' \
    "$build/zuva-replay" --speed max --set Language=fre "$sample")
  pages=$(grep -o 'frames, [0-9][0-9]* subtitles' "$out/txt.cg.err" | awk '{ print $2 }')
  for format in text bitmap; do
    fi_=$(callgrind_ir "$out/ff-$format.cg" avcodec_decode_subtitle2 '' ffprobe -v error \
      -txt_format "$format" -txt_page 889 -select_streams s:0 -show_entries subtitle=num_rects \
      -of csv=p=0 "$sample")
    fpages=$(awk '$1 > 0' "$out/ff-$format.cg.out" | wc -l)
    row "teletext page 889 (FFmpeg $format)" "$zi" "$pages" "$fi_" "$fpages" page
  done

  # DVB: the cues of tests/interop/cues.txt as FFmpeg encodes them.
  if [ ! -x "$tools/zuva-mksup" ]; then
    say "SKIP: $tools/zuva-mksup is missing (cmake --build --preset default --target zuva-mksup); no DVB figures"
  else
    ff() { ffmpeg -hide_banner -nostdin -loglevel error "$@"; }
    "$tools/zuva-mksup" tests/interop/cues.txt "$out/cues.sup" > "$out/cues.txt"
    seconds=$(( $(awk 'END { print $3 }' "$out/cues.txt") / 1000 + 3 ))
    make_stream() {  # OUTPUT.ts [INPUT OPTIONS...] SUBTITLE_INPUT
      local ts="$1"
      shift
      ff -f lavfi -i "color=c=0x808080:s=720x576:r=25:d=$seconds" "${@:1:$#-1}" -i "${@: -1}" \
        -map 0:v -map 1:s -c:v mpeg2video -q:v 10 -c:s dvbsub \
        -metadata:s:s:0 language=eng -copyts -y "$ts"
    }
    make_stream "$out/8bit.ts" -fix_sub_duration "$out/cues.sup"
    ff -fix_sub_duration -i "$out/cues.sup" -c:s dvdsub -copyts -y "$out/cues-dvd.mkv"
    make_stream "$out/2bit.ts" "$out/cues-dvd.mkv"
    for depth in 2bit 8bit; do
      ts="$out/$depth.ts"
      zi=$(callgrind_ir "$out/dvb-$depth.cg" 'DVBSubtitle::processPES*' 'Session::UnlockObserver|Session::LogSink' \
        "$build/zuva-replay" --dvb --speed max --set Language=eng --set OSDMessages=0 "$ts")
      fi_=$(callgrind_ir "$out/ff-$depth.cg" avcodec_decode_subtitle2 '' ffprobe -v error \
        -select_streams s:0 -show_entries subtitle=num_rects -of csv=p=0 "$ts")
      sets=$(grep -c . "$out/ff-$depth.cg.out")
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
