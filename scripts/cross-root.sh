#!/usr/bin/env bash
# Usage: scripts/cross-root.sh ARCH ROOT PACKAGE...
#
# Lays out the Debian packages PACKAGE... of architecture ARCH under ROOT, like
# the target's root file system, for cross builds to link against. The
# packages are fetched with apt-get download and unpacked with dpkg-deb; the
# build machine's installed packages are left alone, so the target's library
# versions need not match the host's. Links that point to absolute paths are
# turned to point inside ROOT. Nothing is done when ROOT already holds the
# same packages.
set -euo pipefail

arch="$1"
root="$2"
shift 2
[ $# -gt 0 ] || { echo "cross-root.sh: no packages given" >&2; exit 2; }

stamp="$root/.zuva-root"
wanted="$arch $*"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then
  exit 0
fi

rm -rf "$root"
mkdir -p "$root/.debs"
pkgs=()
for p in "$@"; do pkgs+=("$p:$arch"); done
(cd "$root/.debs" && apt-get download -q "${pkgs[@]}")

for deb in "$root"/.debs/*.deb; do
  dpkg-deb -x "$deb" "$root"
done

find "$root" -type l -print0 | while IFS= read -r -d '' link; do
  target="$(readlink "$link")"
  case "$target" in
    /*) ln -sfn "$root$target" "$link" ;;
  esac
done

rm -rf "$root/.debs"
echo "$wanted" > "$stamp"
