#!/usr/bin/env bash
# DVB subtitle interoperability check against FFmpeg.
#
# FFmpeg's DVB subtitle encoder puts bitmap subtitles into a transport stream
# with a plain grey video; zuva-replay plays it through the daemon with the DVB
# decoder on, and FFmpeg's own decoder overlays the same stream on the video.
# In the middle of every cue the shapes both drew must agree (bounding box and
# overlap of the drawn pixels; colours are not compared), and shortly after
# every clear zuva's screen must be empty again.
#
# FFmpeg cannot turn text into bitmaps, so tools/zuva-mksup renders the cues of
# tests/interop/cues.txt into a bitmap subtitle file (.sup) first. Two streams,
# both of which must agree:
#   2-bit  the cues pass through FFmpeg's DVD subtitle encoder (four colours)
#          first, so its DVB encoder writes 2-bit regions;
#   8-bit  straight to the DVB encoder: 8-bit regions with an 8-bit CLUT.
# And two HD streams, the same cues on a 1920x1080 and a 1280x720 canvas
# (FFmpeg's encoder then declares that display in a display definition
# segment), each drawn on the box's 720x576 framebuffer and on a 1920x1080
# one. FFmpeg's picture of those is scaled the way zuva places the display:
# onto the 720x576 screen, nearest neighbour, and for the larger framebuffer
# that screen onto the device as the framebuffer places it.
#
#   tests/ffmpeg_interop.sh [OUT_DIR]
#
# Needs ffmpeg (scripts/setup.sh --interop; without it: SKIP, exit 0) and the
# default build. OUT_DIR (new or empty) keeps the streams, frames and logs;
# without it they go to a temporary folder, removed on every way out.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { echo "ffmpeg_interop: $*"; }

. tests/support/check_common.sh
require_commands ffmpeg ffprobe
require_tools zuva-replay zuva-mksup zuva-shapecmp
open_out_dir interop "$@"

ff() { ffmpeg -hide_banner -nostdin -loglevel error "$@"; }

# The cues as bitmaps. zuva-mksup prints: number start_ms end_ms x0 y0 x1 y1.
"$build/zuva-mksup" tests/interop/cues.txt "$out/cues.sup" > "$out/cues.txt"
cues=$(wc -l < "$out/cues.txt")
last_end=$(awk 'END { print $3 }' "$out/cues.txt")
seconds=$(( last_end / 1000 + 3 ))

# Grey video with the subtitle stream; -copyts keeps the cue times, so the
# stream's time stamps are the cue times plus the muxer's start offset.
# The .sup input needs -fix_sub_duration: its cues carry no duration, each
# lasts until the next (empty) composition.
make_stream() {  # OUTPUT.ts WxH [INPUT OPTIONS...] SUBTITLE_INPUT
  local ts="$1" size="$2"
  shift 2
  ff -f lavfi -i "color=c=0x808080:s=$size:r=25:d=$seconds" "${@:1:$#-1}" -i "${@: -1}" \
    -map 0:v -map 1:s -c:v mpeg2video -q:v 10 -c:s dvbsub -s "$size" \
    -metadata:s:s:0 language=eng -copyts -y "$ts"
}

# FFmpeg's own picture in the middle of every cue, in one pass over the
# stream: REFDIR/ffmpeg-cueN.png, and the cue times in REFDIR/packets.txt.
reference() {  # STREAM.ts REFDIR
  local ts="$1" dir="$2"
  mkdir -p "$dir"
  # Display and clear time of every cue, in stream milliseconds: FFmpeg
  # writes one packet that shows a cue and one that clears it.
  ffprobe -v error -select_streams s:0 -show_entries packet=pts -of csv=p=0 "$ts" \
    | awk 'NF { printf "%d\n", $1 / 90 }' > "$dir/packets.txt"
  local packets
  packets=$(wc -l < "$dir/packets.txt")
  if [ "$packets" -ne $(( 2 * cues )) ]; then
    say "FAIL [$ts]: FFmpeg wrote $packets subtitle packets for $cues cues, expected $(( 2 * cues ))"
    return 1
  fi
  local start_ms
  start_ms=$(ffprobe -v error -show_entries format=start_time -of csv=p=0 "$ts" \
    | awk '{ printf "%d\n", $1 * 1000 + 0.5 }')
  # The first video frame at or after each cue's middle (25 frames a second).
  local select
  select=$(awk -v s="$start_ms" 'NR % 2 == 1 { on = $1 } NR % 2 == 0 {
      t = ((on + $1) / 2 - s) / 1000
      printf "%sgte(t,%.3f)*lt(t,%.3f)", (NR > 2 ? "+" : ""), t, t + 0.04 }' "$dir/packets.txt")
  ff -i "$ts" -filter_complex "[0:v][0:s]overlay=format=rgb,select='$select'" \
    -fps_mode passthrough -y "$dir/ffmpeg-cue%d.png"
}

check() {  # NAME STREAM.ts REFDIR [SCREEN_WxH DISPLAY_WxH]
  local name="$1" ts="$2" refs="$3" screen="${4:-}" display="${5:-}"
  local dir="$out/$name"
  mkdir -p "$dir"
  local bad=0
  local placed=()
  [ -z "$screen" ] || placed=(--screen "$screen")

  "$build/zuva-replay" --list "$ts" > "$dir/list.txt" 2>&1 || true
  if ! grep -q "DVB-Subtitle:" "$dir/list.txt" || ! grep -q "Lang: eng" "$dir/list.txt"; then
    say "FAIL [$name]: zuva finds no English DVB subtitle stream in the PMT (see $dir/list.txt)"
    return 1
  fi

  if ! "$build/zuva-replay" --dvb --speed 8 --frames "$dir/frames" --set Language=eng \
      --set OSDMessages=0 "${placed[@]}" "$ts" 2> "$dir/zuva.log"; then
    say "FAIL [$name]: zuva-replay failed (see $dir/zuva.log)"
    return 1
  fi
  if [ -n "$display" ] && ! grep -q "^ZUVA: Display $display\$" "$dir/zuva.log"; then
    say "FAIL [$name]: zuva did not take up the ${display} display (see $dir/zuva.log)"
    return 1
  fi

  # zuva's picture at MS against FFmpeg's of the cue; zuva-shapecmp exits 0
  # when the shapes agree, 3 when zuva drew nothing, 4 when FFmpeg did.
  shapecmp() {
    "$build/zuva-shapecmp" "${placed[@]}" --frames "$dir/frames" --at "$1" "$refs/ffmpeg-cue$n.png"
  }
  local n=0 on off mid line rc
  while read -r on && read -r off; do
    n=$(( n + 1 )) mid=$(( (on + off) / 2 )) rc=0
    line=$(shapecmp "$mid") || rc=$?
    if [ "$rc" = 0 ]; then
      say "ok   [$name] cue $n at $mid ms: $line"
    else
      say "FAIL [$name] cue $n at $mid ms (zuva-shapecmp status $rc): $line"
      bad=1
    fi
    # Shortly after the clear, zuva's screen must be empty again.
    line=$(shapecmp $(( off + 300 ))) || true
    if [[ "$line" != zuva=none* ]]; then
      say "FAIL [$name] cue $n: still on zuva's screen 300 ms after its clear: $line"
      bad=1
    fi
  done < "$refs/packets.txt"
  if [ "$n" -ne "$cues" ]; then
    say "FAIL [$name]: $n of $cues cues compared"
    bad=1
  fi
  return $bad
}

started=$(date +%s)
make_stream "$out/8bit.ts" 720x576 -fix_sub_duration "$out/cues.sup"
ff -fix_sub_duration -i "$out/cues.sup" -c:s dvdsub -copyts -y "$out/cues-dvd.mkv"
make_stream "$out/2bit.ts" 720x576 "$out/cues-dvd.mkv"

for depth in 2bit 8bit; do
  reference "$out/$depth.ts" "$out/$depth/ffmpeg" && check "$depth" "$out/$depth.ts" "$out/$depth/ffmpeg" \
    || failed=1
done

for canvas in 1920x1080 1280x720; do
  "$build/zuva-mksup" --canvas "$canvas" tests/interop/cues.txt "$out/cues-$canvas.sup" > /dev/null
  make_stream "$out/hd-$canvas.ts" "$canvas" -fix_sub_duration "$out/cues-$canvas.sup"
  reference "$out/hd-$canvas.ts" "$out/hd-$canvas" || { failed=1; continue; }
  for screen in 720x576 1920x1080; do
    check "hd-$canvas/on-$screen" "$out/hd-$canvas.ts" "$out/hd-$canvas" "$screen" "$canvas" \
      || failed=1
  done
done

if [ "$failed" != 0 ]; then
  say "FAILED: zuva and FFmpeg disagree on the DVB subtitles above ($(( $(date +%s) - started )) s)"
  exit 1
fi
say "PASSED: zuva draws FFmpeg's DVB subtitles with the shapes and places FFmpeg's decoder draws ($(( $(date +%s) - started )) s)"
