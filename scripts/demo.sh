#!/usr/bin/env bash
# Builds zuva, makes the demonstration recording and plays it through the
# daemon on simulated devices: service 100 (teletext in Swedish and English)
# and, from 12 s on, service 200 (DVB subtitles). Leaves the frames, the
# subtitles as SubRip and the daemon's log in one folder.
#
#   scripts/demo.sh [OUT_DIR]      (default: out/demo)
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-out/demo}"
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target zuva zuva-replay zuva-mkdemo
rm -rf "$out"
mkdir -p "$out"
build/default/zuva-mkdemo "$out/demo.ts" 30
build/default/zuva-replay --service 100 --change 12:200 --dvb --speed 4 \
  --frames "$out/frames" --srt "$out/subtitles.srt" "$out/demo.ts" 2> "$out/zuva.log"
echo
echo "Demo done. Everything is in $out:"
echo "  $out/frames/frame-*.png   the screen after every change ($(ls "$out/frames" | grep -c png) frames)"
echo "  $out/frames/frames.tsv    what each frame shows and when"
echo "  $out/subtitles.srt        the subtitles shown, as SubRip"
echo "  $out/zuva.log             the daemon's log"
