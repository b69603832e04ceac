#!/usr/bin/env bash
# Builds the PC's Debian package (cpack -G DEB) and the box's .ipk and fails
# when either lacks a file it must carry.
#
#   scripts/check-packages.sh     (after scripts/cross-build-powerpc.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
src="$PWD"
out="$src/build/packages"
build="$src/build/package-pc"
jobs="${JOBS:-2}"
mkdir -p "$out"
failed=0

# expect LISTING WHAT PATH...: every PATH must be a line of LISTING.
expect() {
  local listing="$1" what="$2"
  shift 2
  for path in "$@"; do
    if ! grep -qxF -- "$path" <<<"$listing"; then
      echo "check-packages: $what lacks $path" >&2
      failed=1
    fi
  done
}

echo "== Debian package for PCs"
# Only what the package holds is built: the install step would otherwise
# build every tool first.
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DZUVA_INSTALL_SYSTEMD=ON -DZUVA_BUILD_TESTS=OFF -DZUVA_BUILD_BENCHMARKS=OFF \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
nice -n 10 cmake --build "$build" -j "$jobs" --target zuva zuva-status zuva-replay
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb="$(ls -t "$out"/zuva_*.deb | head -n 1)"
echo "$deb"
files="$(dpkg-deb -c "$deb" | awk '{print $6}')"
expect "$files" "$deb" ./usr/bin/zuva ./usr/bin/zuva-status ./usr/bin/zuva-replay \
  ./etc/zuva/zuva.conf ./etc/zuva/zuva.channels ./etc/zuva/zuva.translation \
  ./usr/lib/systemd/system/zuva.service ./usr/lib/sysusers.d/zuva.conf
control="$(mktemp -d)"
trap 'rm -rf "$control"' EXIT
dpkg-deb -e "$deb" "$control"
expect "$(cat "$control/conffiles")" "$deb conffiles" \
  /etc/zuva/zuva.conf /etc/zuva/zuva.channels /etc/zuva/zuva.translation
expect "$(ls "$control")" "$deb control" postinst prerm postrm
if grep -v '^[[:space:]]*#' "$control/postinst" | grep -qE 'systemctl (start|enable|restart)|invoke-rc.d'; then
  echo "check-packages: the postinst starts something" >&2
  failed=1
fi
unit="$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/lib/systemd/system/zuva.service)"
expect "$unit" "zuva.service" "ExecStart=/usr/bin/zuva --config-dir /etc/zuva" "Restart=on-failure" \
  "KillSignal=SIGTERM" "PrivateTmp=no"

echo "== opkg package for the box"
ipk="$(scripts/package-ipk.sh "$out" | tail -n 1)"
echo "$ipk"
members="$(ar t "$ipk")"
[ "$members" = "$(printf 'debian-binary\ncontrol.tar.gz\ndata.tar.gz')" ] || {
  echo "check-packages: $ipk holds '$members' instead of debian-binary, control.tar.gz, data.tar.gz" >&2
  failed=1
}
ar p "$ipk" control.tar.gz | tar -tzf - >/dev/null
expect "$(ar p "$ipk" control.tar.gz | tar -tzf -)" "$ipk control" ./control ./conffiles
expect "$(ar p "$ipk" control.tar.gz | tar -xzOf - ./conffiles)" "$ipk conffiles" \
  /var/tuxbox/config/zuva/zuva.conf /var/tuxbox/config/zuva/zuva.channels \
  /var/tuxbox/config/zuva/zuva.translation
expect "$(ar p "$ipk" data.tar.gz | tar -tzf -)" "$ipk data" ./usr/bin/zuva ./etc/init.d/zuva \
  ./var/tuxbox/config/zuva/zuva.conf ./var/tuxbox/config/zuva/zuva.channels \
  ./var/tuxbox/config/zuva/zuva.translation
case "$(ar p "$ipk" data.tar.gz | tar -xzOf - ./usr/bin/zuva | file -b -)" in
  *"ELF 32-bit MSB"*PowerPC*) ;;
  *) echo "check-packages: $ipk's daemon is not a PowerPC program" >&2; failed=1 ;;
esac

[ "$failed" = 0 ] && echo "check-packages: both packages are complete"
exit "$failed"
