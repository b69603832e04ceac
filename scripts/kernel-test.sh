#!/usr/bin/env bash
# The daemon through the kernel's own DVB core, under QEMU.
#
# Debian's kernel image (the version of the installed linux-headers-amd64,
# fetched with apt-get download and unpacked here, never installed) boots with
# an initramfs built from busybox-static. tests/kernel/zuva_dvb_test.c, built
# against those headers, puts an adapter on the kernel's software
# demultiplexer with a memory frontend: what is written to dvr0 goes through
# the kernel's section filters (CRC checked) and PES filters as a tuner's
# packets would, and DMX_GET_STC is refused as on every PC adapter. vfb gives
# /dev/fb0. The installed daemon and zuva-status run there on real recordings
# fed at the pace of their clock (tests/kernel/init and tests/kernel/cases):
#
#   fra  the French slice (no PCR of its own: PCR written on its PCR_PID half a
#        second behind the PTS): all nine subtitles with their text
#        (tests/kernel/fra-cues.txt), each on /dev/fb0 within a second of the
#        time its PTS names on the fed clock; a twin of the PMT with a bad CRC
#        reaches the kernel, is dropped by its CRC check and the good PMT read.
#   ita  the Italian multiplex (a real PCR): page 777 drawn.
#   dvb  FFmpeg's 8-bit DVB subtitle stream (tests/ffmpeg_interop.sh), or the
#        demonstration's DVB service without FFmpeg, drawn with the DVB
#        setting on.
#   and in every case: the status file written from the kernel's PAT and PMT,
#   and SIGTERM ending the daemon with status 0.
#
#   scripts/kernel-test.sh
#
# Installs what it needs (scripts/setup.sh --kernel), builds the default
# preset, leaves everything in build/kernel (out/ holds the machine's results,
# console.log its console) and prints one PASS or FAIL line; exit status 0 on
# PASS, 1 on FAIL. ZUVA_QEMU_ACCEL names another QEMU accelerator than tcg.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { echo "kernel-test: $*"; }
die() { say "FAIL: $*"; exit 1; }
started=$(date +%s)

scripts/setup.sh --kernel

work=build/kernel
mkdir -p "$work"
build=build/default

# The kernel of the installed headers, in the same version.
krel=$(dpkg-query -W -f='${Depends}' linux-headers-amd64 | sed -n 's/^linux-headers-\([^ ,]*\).*/\1/p')
[ -n "$krel" ] || die "cannot tell the kernel release from linux-headers-amd64"
kver=$(dpkg-query -W -f='${Version}' "linux-headers-$krel")
headers=/usr/src/linux-headers-$krel
image=$work/image
if [ ! -f "$image/boot/vmlinuz-$krel" ]; then
  rm -rf "$work/deb" "$image"
  mkdir -p "$work/deb"
  (cd "$work/deb" && apt-get download -q "linux-image-$krel-unsigned=$kver" 2>&1 | grep -v '^W: Download is performed unsandboxed' || true)
  deb=$(ls "$work"/deb/linux-image-*.deb 2>/dev/null | head -n 1)
  [ -n "$deb" ] || die "apt-get download linux-image-$krel-unsigned=$kver failed (apt-get update, or upgrade linux-headers-amd64)"
  dpkg-deb -x "$deb" "$image"
fi
modules=$image/lib/modules/$krel
say "kernel $krel ($kver)"

# The daemon, its status tool and the test's helper.
export CMAKE_CXX_COMPILER_LAUNCHER="${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}"
command -v ccache >/dev/null 2>&1 || unset CMAKE_CXX_COMPILER_LAUNCHER
# Configured every time: a tree changed since its last build may define targets
# the old build files do not know yet.
nice cmake --preset default > "$work/cmake.log"
nice cmake --build --preset default -j"${JOBS:-2}" --target zuva zuva-status zuva-replay \
  zuva-kernel-helper zuva-mkdemo zuva-mksup zuva-shapecmp > "$work/build.log" 2>&1 ||
  { tail -n 30 "$work/build.log"; die "build failed"; }

# The test adapter.
rm -rf "$work/module"
mkdir -p "$work/module"
cp tests/kernel/zuva_dvb_test.c tests/kernel/Kbuild "$work/module/"
make -C "$headers" M="$PWD/$work/module" modules > "$work/module.log" 2>&1 ||
  { tail -n 30 "$work/module.log"; die "the test module does not build against $headers"; }

# The DVB subtitle stream.
if command -v ffmpeg >/dev/null 2>&1; then
  tests/ffmpeg_interop.sh "$work/interop" > "$work/interop.log" 2>&1 ||
    { tail -n 20 "$work/interop.log"; die "tests/ffmpeg_interop.sh failed"; }
  dvb_stream=$work/interop/8bit.ts dvb_sid=1
  dvb_cues=$(awk '!/^#/ && NF { print $1 }' tests/interop/cues.txt | sort -u | wc -l)
else
  say "no ffmpeg: the DVB case plays the demonstration's DVB service"
  "$build/zuva-mkdemo" "$work/demo.ts" 20 > /dev/null
  dvb_stream=$work/demo.ts dvb_sid=200 dvb_cues=0
fi

# The initramfs: busybox, the installed daemon with its libraries and font,
# the modules in dependency order, the recordings, /init and the cases.
root=$work/root
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,out,modules,data}
cp /bin/busybox "$root/bin/busybox"
DESTDIR="$root" cmake --install "$build" --prefix / > "$work/install.log"
cp "$build/tests/zuva-kernel-helper" "$root/bin/"
for program in "$root"/bin/zuva*; do
  ldd "$program" | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }'
done | sort -u | while read -r lib; do
  mkdir -p "$root$(dirname "$lib")"
  cp -L "$lib" "$root$lib"
done
font=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
mkdir -p "$root$(dirname "$font")"
cp "$font" "$root$font"
cp tests/data/broadcast-teletext-fra.ts tests/data/broadcast-teletext-ita.ts "$root/data/"
cp "$dvb_stream" "$root/data/dvbsub.ts"
echo "$dvb_sid" > "$root/data/dvbsub.sid"
cp tests/kernel/init "$root/init"
cp tests/kernel/cases "$root/cases"

modinfo=$(command -v modinfo || echo /sbin/modinfo)  # not on a user's PATH
order=()
add_module() {  # NAME [PARAMETERS]: the module after everything it depends on
  local name=$1 file dep
  shift
  file=$(find "$modules" \( -name "$name.ko" -o -name "${name//_/-}.ko" -o -name "${name//-/_}.ko" \) | head -n 1)
  [ -n "$file" ] || die "no module $name in $modules"
  for m in "${order[@]}"; do [ "${m%% *}" = "$(basename "$file")" ] && return 0; done
  for dep in $("$modinfo" -F depends "$file" | tr ',' ' '); do add_module "$dep"; done
  cp "$file" "$root/modules/"
  order+=("$(basename "$file") $*")
}
add_module virtio_pci
add_module 9pnet_virtio
add_module 9p
add_module dvb-core
add_module vfb vfb_enable=1 videomemorysize=4194304 mode_option=720x576-32
cp "$work/module/zuva_dvb_test.ko" "$root/modules/"
order+=("zuva_dvb_test.ko")
printf '%s\n' "${order[@]}" > "$root/modules/order"
(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 > "$work/initrd.gz"

# The machine. Every case bounds its own waits; this bounds the whole run.
out=$work/out
rm -rf "$out"
mkdir -p "$out"
booted=$(date +%s)
rc=0
timeout "${ZUVA_KERNEL_TIMEOUT:-420}" qemu-system-x86_64 -accel "${ZUVA_QEMU_ACCEL:-tcg}" \
  -m 768 -smp 2 -nographic -no-reboot \
  -kernel "$image/boot/vmlinuz-$krel" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 panic=-1 loglevel=4" \
  -virtfs "local,path=$out,mount_tag=out,security_model=none" \
  < /dev/null > "$work/console.log" 2>&1 || rc=$?
say "machine ran $(( $(date +%s) - booted )) s (status $rc), boot to /init $(cat "$out/boot-seconds" 2>/dev/null || echo '?') s"
if [ ! -f "$out/init-done" ]; then
  tail -n 30 "$work/console.log"
  die "the machine did not finish its cases ($(cat "$out/init-failed" 2>/dev/null || echo "see $work/console.log"))"
fi

# Each check below reports its own failure; a missing result file must make
# a check fail, not end the script before its FAIL line.
set +e
failures=()
fail() { failures+=("$*"); say "  not ok: $*"; }

# What every case must show: the feed went through, the status file came
# from the kernel's PAT and PMT, and SIGTERM ended the daemon cleanly.
for name in fra ita dvb; do
  dir=$out/$name
  [ "$(cat "$dir/feed-exit" 2>/dev/null)" = 0 ] || fail "$name: the feeder failed: $(tail -n 1 "$dir/feed.txt" 2>/dev/null)"
  [ "$(cat "$dir/status-exit" 2>/dev/null)" = 0 ] || fail "$name: zuva-status failed: $(tail -n 1 "$dir/status.txt" 2>/dev/null)"
  [ "$(cat "$dir/zuva-exit" 2>/dev/null)" = 0 ] || fail "$name: the daemon's exit after SIGTERM: $(cat "$dir/zuva-exit" 2>/dev/null)"
  grep -q "Exit from main loop" "$dir/zuva.log" || fail "$name: no clean exit in the daemon's log"
  if grep -q "PES queue full" "$dir/zuva.log"; then
    fail "$name: PES queue full (no clock: DMX_GET_STC refused and nothing took its place)"
  fi
  # The lead-in must have let the daemon set its PES filter before the
  # recording's first packet, or the first subtitles could never show.
  ready=$(awk '/Filter starting/ { print $1; exit }' "$dir/zuva.log")
  begin=$(awk '$1 == "start" { print $2 }' "$dir/feed.txt")
  if [ -z "$ready" ] || [ -z "$begin" ] || [ "$ready" -ge "$begin" ]; then
    fail "$name: the daemon's PES filter (at ${ready:-never}) not set before the recording began (${begin:-never}); a slower machine needs a longer lead-in in tests/kernel/cases"
  fi
  say "$name: feed $(awk '$1 == "end" { print "late by up to " $3 " ms" }' "$dir/feed.txt")"
done

# The PMT twin with a bad CRC: without the CRC check the kernel hands both
# copies over, with it only the good one; the daemon and zuva-status read the
# good one.
nocrc=$out/fra/sections-nocrc.txt
crc=$out/fra/sections-crc.txt
if grep -q "lang=xxx crc=bad" "$nocrc" && grep -q "lang=good crc=ok" "$nocrc"; then :; else
  fail "fra: the bad PMT twin did not reach the kernel's demultiplexer ($(tr '\n' ' ' < "$nocrc"))"
fi
if [ "$(grep -c "lang=good crc=ok" "$crc")" = 3 ] && [ "$(wc -l < "$crc")" = 3 ]; then :; else
  fail "fra: the kernel's CRC check let another section through: $(tr '\n' ' ' < "$crc")"
fi
grep -q "Lang: xxx" "$out/fra/zuva.log" && fail "fra: the daemon read the PMT with the bad CRC"
[ "$(sed -n '1p;7p' "$out/fra/ZUVA.tmp" 2>/dev/null | tr '\n' ' ')" = "4006 160 " ] ||
  fail "fra: status file $(tr '\n' ' ' < "$out/fra/ZUVA.tmp" 2>/dev/null)"
grep -q "TXT FROM PMT: fre, PID=42c, PAGE=889" "$out/fra/zuva.log" || fail "fra: teletext page 889 not chosen"
# The test adapter refuses DMX_GET_STC, as a PC's does: the daemon says it
# takes the clock from the service's PCR_PID instead.
grep -qi "PCR on PID 0x0*424" "$out/fra/zuva.log" || fail "fra: the daemon never named PCR_PID 0x424 as its clock"

# The nine French subtitles: rows as logged, and the first picture on
# /dev/fb0 after the first row's log line, against the time the fed clock
# reaches the cue's PTS (start MS PCR: the fed clock read PCR at MS).
lateness=$(awk -F'\t' -v feed="$out/fra/feed.txt" -v events="$out/fra/events.tsv" '
  BEGIN {
    while ((getline line < feed) > 0) { split(line, f, " "); if (f[1] == "start") { t0 = f[2]; pcr0 = f[3] } }
    n = 0
    while ((getline line < events) > 0) { split(line, f, " "); if (f[2] > 0) { shown[++n] = f[1] } }
    shown_count = n
  }
  FILENAME ~ /zuva.log$/ {
    split($0, f, " ")
    if (match($0, /ZUVA: Subtitle@[0-9]+:/)) { rows[++r] = substr($0, RSTART + RLENGTH); at[r] = f[1] }
    next
  }
  /^#/ || NF < 3 { next }
  {
    cue = $1; want = $3
    found = 0
    for (i = next_row + 1; i < r; ++i) {
      if (rows[i] "|" rows[i + 1] == want) { found = i; break }
    }
    if (!found) { printf "missing %d %s\n", cue, want; next }
    next_row = found + 1
    appeared = -1
    for (k = 1; k <= shown_count; ++k) if (shown[k] >= at[found] - 100) { appeared = shown[k]; break }
    d = $2 - pcr0
    if (d < -4294967296) d += 8589934592
    due = t0 + d / 90
    if (appeared < 0) { printf "undrawn %d %s\n", cue, want; next }
    printf "cue %d %.0f %d %d\n", cue, appeared - due, appeared, $2 / 90
  }' "$out/fra/zuva.log" tests/kernel/fra-cues.txt)
while read -r what cue text; do
  fail "fra: cue $cue $what: $text"
done < <(echo "$lateness" | awk '$1 == "missing" || $1 == "undrawn"')
echo "$lateness" | awk '$1 == "cue"' > "$work/fra-lateness.txt"
summary=$(awk '{ v[NR] = $3 } END {
  if (NR == 0) { print "none"; exit }
  for (i = 1; i <= NR; ++i) for (j = i + 1; j <= NR; ++j) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
  median = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
  printf "%d cues, median %d ms, max %d ms, min %d ms", NR, median, v[NR], v[1] }' "$work/fra-lateness.txt")
say "fra: lateness against the PTS on the fed clock: $(awk '{ printf "%s%d:%+d", (NR > 1 ? " " : ""), $2, $3 }' "$work/fra-lateness.txt") ms"
say "fra: $summary"
[ "$(wc -l < "$work/fra-lateness.txt")" = 9 ] || fail "fra: $(wc -l < "$work/fra-lateness.txt") of 9 subtitles drawn"
awk '$3 > 1000 || $3 < -1000 { exit 1 }' "$work/fra-lateness.txt" || fail "fra: a subtitle more than 1 s off its time"

# What each French subtitle left on /dev/fb0, just before it was cleared,
# has the shapes of the simulator's screen for the same daemon and stream.
"$build/zuva-replay" --set Language=fre --set OSDMessages=0 --speed max --frames "$work/fra-replay" \
  tests/data/broadcast-teletext-fra.ts 2> "$work/fra-replay.log" || fail "fra: zuva-replay failed"
while read -r _ cue _ appeared pts_ms; do
  frame=$(awk -v t="$appeared" '$1 >= t && $2 == 0 { exit } $1 >= t { last = $3 } END { print last }' \
    "$out/fra/events.tsv")
  png=$out/fra/cue-$cue.png
  if [ -z "$frame" ] || ! "$build/tests/zuva-kernel-helper" png "$out/fra/frame-$frame.raw" 720 576 "$png"; then
    fail "fra: no picture of cue $cue on /dev/fb0"
    continue
  fi
  # Past the second row (it may come in a later packet), before the clear.
  line=$("$build/zuva-shapecmp" --frames "$work/fra-replay" --at $(( pts_ms + 900 )) "$png") ||
    fail "fra: cue $cue on /dev/fb0 differs from the simulator's screen: $line"
done < "$work/fra-lateness.txt"

# Italian page 777 through a real PCR.
grep -q "TXT FROM PMT: ita, PID=241, PAGE=777" "$out/ita/zuva.log" || fail "ita: page 777 not chosen"
# Its rows must come while the daemon's clock follows that PCR, not after
# the feed ends and the clock is lost.
awk '/ZUVA: Subtitle@[0-9]+:/ { shown = 1; exit } / lost/ { exit } END { exit !shown }' "$out/ita/zuva.log" ||
  fail "ita: no row of page 777 shown while the PCR ran"
awk '$2 > 0 { found = 1 } END { exit !found }' "$out/ita/events.tsv" || fail "ita: nothing drawn on /dev/fb0"

# DVB subtitles: every cue of the stream appears on an empty screen.
grep -q "Start DVB Subtile" "$out/dvb/zuva.log" || fail "dvb: the DVB stream not started"
rises=$(awk '$2 > 0 && !on { ++n } { on = $2 > 0 } END { print n + 0 }' "$out/dvb/events.tsv")
say "dvb: $rises subtitles appeared on /dev/fb0"
if [ "$dvb_cues" -gt 0 ]; then
  [ "$rises" = "$dvb_cues" ] || fail "dvb: $rises subtitles appeared, the stream has $dvb_cues"
else
  [ "$rises" -gt 0 ] || fail "dvb: nothing drawn on /dev/fb0"
fi

took=$(( $(date +%s) - started ))
if [ ${#failures[@]} -gt 0 ]; then
  say "FAIL: ${#failures[@]} checks failed (${took} s; results in $out)"
  exit 1
fi
say "PASS: the daemon through Linux $krel's own DVB core: 9 French subtitles ($summary), Italian page 777, DVB subtitles, the bad-CRC PMT dropped, clean SIGTERM (${took} s)"
