#!/usr/bin/env bash
# Builds the box's package: an .ipk for opkg (an ar archive of debian-binary,
# control.tar.gz and data.tar.gz) holding the PowerPC daemon, its SysV init
# script and its files in /var/tuxbox/config/zuva, the settings, channels and
# translation files marked as conffiles so that an upgrade keeps the user's.
#
#   scripts/package-ipk.sh [OUTDIR]    -> OUTDIR/zuva_<version>_powerpc.ipk
#
# Uses the cross build of scripts/cross-build-powerpc.sh, running it first
# when its daemon is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
src="$PWD"
build="$src/build/cross/powerpc/build"
out="$(mkdir -p "${1:-$src/build/packages}" && cd "${1:-$src/build/packages}" && pwd)"

[ -x "$build/zuva" ] || scripts/cross-build-powerpc.sh

version="$(sed -n 's/^project(zuva VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
stage="$work/data"
control="$work/control"
mkdir -p "$stage" "$control"

# The box's layout: the daemon in /usr/bin, its files where it reads them.
cmake -S "$src" -B "$build" -DCMAKE_INSTALL_PREFIX=/usr -DZUVA_INSTALL_SYSTEMD=OFF \
  -DZUVA_INSTALL_CONFDIR=/var/tuxbox/config/zuva -DZUVA_INSTALL_INITDIR=/etc/init.d >/dev/null
DESTDIR="$stage" cmake --install "$build" --strip >/dev/null

confdir=/var/tuxbox/config/zuva
cat > "$control/control" <<CONTROL
Package: zuva
Version: $version
Architecture: powerpc
Maintainer: zuva developers <zuva@localhost>
Section: video
Priority: optional
Description: teletext and DVB subtitles on the receiver's framebuffer
CONTROL
printf '%s\n' "$confdir/zuva.conf" "$confdir/zuva.channels" "$confdir/zuva.translation" \
  > "$control/conffiles"
# Nothing is started unasked: the init script's links are the firmware's
# business or the user's (update-rc.d zuva defaults).
cat > "$control/prerm" <<'SCRIPT'
#!/bin/sh
[ "$1" = remove ] && [ -x /etc/init.d/zuva ] && /etc/init.d/zuva stop
exit 0
SCRIPT
chmod 755 "$control/prerm"

tarball() {  # DIR ARCHIVE: the folder's contents as ./-relative paths, owned by root
  tar --format=gnu --numeric-owner --owner=0 --group=0 --sort=name -C "$1" -czf "$2" .
}
tarball "$control" "$work/control.tar.gz"
tarball "$stage" "$work/data.tar.gz"
echo "2.0" > "$work/debian-binary"
ipk="$out/zuva_${version}_powerpc.ipk"
rm -f "$ipk"
(cd "$work" && ar rc "$ipk" debian-binary control.tar.gz data.tar.gz)
echo "$ipk"
