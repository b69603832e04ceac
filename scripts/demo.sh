#!/usr/bin/env bash
# Builds zuva, makes the demonstration recording and plays it through the
# daemon on simulated devices: service 100 (teletext in Swedish and English)
# and, from 12 s on, service 200 (DVB subtitles). Leaves the frames, the
# subtitles as SubRip and the daemon's log in one folder.
#
#   scripts/demo.sh [OUT_DIR]      (default: out/demo in the repository)
#
# OUT_DIR is taken from the current folder. Nothing is ever deleted: when
# OUT_DIR exists and is not empty, the demo goes into a fresh folder beside it
# (OUT_DIR-2, -3, ...), and says so.
set -euo pipefail
here="$PWD"
repo="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$repo/out/demo}"
case "$out" in
  /*) ;;
  *) out="$here/$out" ;;
esac
out="${out%/}"
if [ -e "$out" ] && { [ ! -d "$out" ] || [ -n "$(ls -A "$out")" ]; }; then
  n=2
  while [ -e "$out-$n" ]; do n=$((n + 1)); done
  echo "demo: $out is not an empty folder; writing to $out-$n instead"
  out="$out-$n"
fi
mkdir -p "$out"
cd "$repo"
if [ -z "${ZUVA_DEMO_NO_BUILD:-}" ]; then
  scripts/setup.sh
  cmake --preset default >/dev/null
  cmake --build --preset default -j "$(nproc)" --target zuva zuva-replay zuva-mkdemo
fi
bin="${ZUVA_BUILD_DIR:-build/default}"
"$bin/zuva-mkdemo" "$out/demo.ts" 30
"$bin/zuva-replay" --service 100 --change 12:200 --dvb --speed "${ZUVA_DEMO_SPEED:-4}" \
  --frames "$out/frames" --srt "$out/subtitles.srt" "$out/demo.ts" 2> "$out/zuva.log"
echo
echo "Demo done. Everything is in $out:"
echo "  $out/frames/frame-*.png   the screen after every change ($(ls "$out/frames" | grep -c png) frames)"
echo "  $out/frames/frames.tsv    what each frame shows and when"
echo "  $out/subtitles.srt        the subtitles shown, as SubRip"
echo "  $out/zuva.log             the daemon's log"
