#!/usr/bin/env bash
# Usage: scripts/build-freetype-powerpc.sh [ROOT]
#
# Debian ships no FreeType for 32-bit PowerPC, so this builds one for the box
# from Debian's own freetype source package and installs it under ROOT
# (default build/cross/powerpc/root) as ROOT/usr/include/freetype2 and a static
# library with its pkg-config file, for scripts/cross-build-powerpc.sh.
#
# The source archive comes from this machine's own apt sources: their "deb"
# entries are read from /etc/apt/sources.list(.d) at run time and used as
# "deb-src" entries in a private apt state under the work directory, so the
# system's apt configuration is not changed.
set -euo pipefail
cd "$(dirname "$0")/.."
src="$PWD"
work="$src/build/cross/powerpc/freetype"
root="${1:-$src/build/cross/powerpc/root}"
jobs="${JOBS:-2}"

if [ -f "$root/.zuva-freetype" ]; then
  echo "FreeType for powerpc already in $root"
  exit 0
fi

# --- deb-src entries derived from the machine's deb entries ---------------
aptdir="$work/apt"
rm -rf "$aptdir"
mkdir -p "$aptdir/sources.list.d" "$aptdir/lists/partial"
: > "$aptdir/sources.list"
if [ -f /etc/apt/sources.list ]; then
  sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list >> "$aptdir/sources.list"
fi
for f in /etc/apt/sources.list.d/*.list; do
  [ -f "$f" ] || continue
  sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f" >> "$aptdir/sources.list"
done
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  # deb822 stanzas: keep those that carry binary packages, as source stanzas.
  awk 'BEGIN { RS = ""; ORS = "\n\n" }
       /(^|\n)Types:[^\n]*(^|[ \t])deb([ \t]|\n|$)/ {
         gsub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print }' \
    "$f" > "$aptdir/sources.list.d/$(basename "$f")"
done

apt_opts=(
  -o Dir::Etc::SourceList="$aptdir/sources.list"
  -o Dir::Etc::SourceParts="$aptdir/sources.list.d"
  -o Dir::State::Lists="$aptdir/lists"
  -o Dir::Cache::pkgcache=
  -o Dir::Cache::srcpkgcache=
  -o APT::Sandbox::User="$(id -un)"
)
# A source without deb-src entries only warns; the package itself must come.
apt-get "${apt_opts[@]}" update -q || true

rm -rf "$work/src"
mkdir -p "$work/src"
(cd "$work/src" && apt-get "${apt_opts[@]}" source -q --download-only freetype)
dsc="$(ls "$work/src"/freetype_*.dsc | head -n 1)"
(cd "$work/src" && dpkg-source --no-check -x "$dsc" tree >/dev/null)

# --- build for the box: static, no optional compression or shaping --------
# The daemon renders one TrueType font; zlib, bzip2, PNG glyphs, brotli and
# HarfBuzz would only add libraries the box would need too.
cmake -S "$work/src/tree" -B "$work/build" \
  -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-powerpc-linux-gnu.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_INSTALL_LIBDIR=lib \
  -DBUILD_SHARED_LIBS=OFF \
  -DFT_DISABLE_ZLIB=ON -DFT_DISABLE_BZIP2=ON -DFT_DISABLE_PNG=ON \
  -DFT_DISABLE_HARFBUZZ=ON -DFT_DISABLE_BROTLI=ON
nice -n 10 cmake --build "$work/build" -j "$jobs"
DESTDIR="$root" cmake --install "$work/build" >/dev/null
basename "$dsc" > "$root/.zuva-freetype"
echo "FreeType for powerpc installed in $root"
