#!/usr/bin/env bash
# Teletext character sets against FFmpeg's teletext decoder (libzvbi): for
# each table in data/zuva.translation, zuva-mkcharset writes a page of every
# code 0x20..0x7E under the table's national option; FFmpeg (with the region
# holding that option) and zuva-replay (with the table's language) decode it.
# Every code on which they differ must be listed in KNOWN, and every listed
# difference must still occur.
#
#   tests/teletext_charsets.sh [OUT_DIR]   (new or empty: keeps the files)
#
# Without an ffmpeg built with libzvbi (scripts/setup.sh --interop): SKIP.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { echo "teletext_charsets: $*"; }

. tests/support/check_common.sh
require_commands ffmpeg
if ! grep -q libzvbi_teletext <<< "$(ffmpeg -hide_banner -decoders 2>/dev/null || true)"; then
  say "SKIP: this ffmpeg has no libzvbi teletext decoder"
  exit 0
fi
require_tools zuva-replay zuva-mkcharset
open_out_dir charsets "$@"

# language  region  option (the national option's place in the region's list)
SETS="
eng 0 0
ger 0 1
swe 0 2
ita 0 3
fre 0 4
spa 0 5
cze 0 6
pol 8 0
tur 16 6
scr 24 5
rum 24 7
est 32 2
lav 32 3
mac 32 0
rus 32 4
ukr 32 5
gre 48 7
heb 80 5
"

# language  code  zuva  libzvbi  why (code points in hexadecimal)
KNOWN="
*   3c 20   3c   < switches italics on: zuva draws the space it leaves
*   3e 20   3e   > switches italics off: zuva draws the space it leaves
*   5f 20   5f   _ toggles italics: zuva draws the space it leaves
eng 60 2015 2014 long dash: the teletext glyph spans the whole cell, a horizontal bar
tur 23 20ba e800 Turkish lira sign: libzvbi gives a private-use code point of its own
scr 5d 110  d0   capital D with stroke: libzvbi gives the Icelandic capital eth
scr 7d 111  f0   small d with stroke: libzvbi gives the Icelandic small eth
rum 5d 102  1cd  capital A with breve: libzvbi gives A with caron
rum 5e ce   cd   capital I with circumflex: libzvbi gives I with acute
rum 7d 103  1ce  small a with breve: libzvbi gives a with caron
lav 5c 119  229  small e with ogonek (Lithuanian): libzvbi gives e with cedilla
rus 4a 419  40d  short I: libzvbi gives I with grave, not a Russian or Bulgarian letter
rus 6a 439  45d  short i: libzvbi gives i with grave, not a Russian or Bulgarian letter
ukr 4a 419  40d  short I: libzvbi gives I with grave, not a Ukrainian letter
ukr 6a 439  45d  short i: libzvbi gives i with grave, not a Ukrainian letter
ukr 26 457  ef   yi: libzvbi gives the Latin i with diaeresis, zuva the Cyrillic letter
"

started=$(date +%s)
seen="$out/seen.txt"
: > "$seen"
while read -r lang region option; do
  [ -n "$lang" ] || continue
  ts="$out/$lang.ts"
  "$build/zuva-mkcharset" "$ts" "$lang" "$option"
  ffmpeg -hide_banner -nostdin -loglevel error -txt_format text -txt_default_region "$region" \
    -i "$ts" -map 0:s -c:s srt -y "$out/$lang.ffmpeg.srt"
  "$build/zuva-replay" --speed max --set "Language=$lang" --srt "$out/$lang.zuva.srt" "$ts" \
    2> "$out/$lang.log"
  if ! "$build/zuva-mkcharset" --compare "$out/$lang.zuva.srt" "$out/$lang.ffmpeg.srt" \
      > "$out/$lang.diff"; then
    say "FAIL [$lang]: see $out/$lang.*.srt"
    failed=1
    continue
  fi
  ok="ok  "
  while read -r code zuva zvbi; do
    if grep -Eq "^(\*|$lang) +$code +$zuva +$zvbi " <<< "$KNOWN"; then
      echo "$lang $code $zuva $zvbi" >> "$seen"
    else
      say "FAIL [$lang]: 0x$code is U+$zuva in zuva, U+$zvbi in libzvbi, with no reason listed"
      ok="" failed=1
    fi
  done < "$out/$lang.diff"
  [ -z "$ok" ] || say "$ok [$lang] region $region option $option"
done <<< "$SETS"

# A listed difference that no longer occurs is a stale reason.
while read -r lang code zuva zvbi why; do
  [ -n "$lang" ] || continue
  who=$lang
  [ "$lang" != "*" ] || who='[a-z]+'
  if ! grep -Eq "^$who $code $zuva $zvbi\$" "$seen"; then
    say "FAIL: listed difference $lang 0x$code (zuva U+$zuva, libzvbi U+$zvbi) did not occur"
    failed=1
  fi
done <<< "$KNOWN"

if [ "$failed" != 0 ]; then
  say "FAILED ($(( $(date +%s) - started )) s)"
  exit 1
fi
say "PASSED: every table agrees with libzvbi but for the listed codes ($(( $(date +%s) - started )) s)"
