#!/usr/bin/env bash
# Builds the Debian package for PCs: only the three programs, the manual
# pages and the documentation, with the release flags and Debian's hardening
# flags, stripped, then cpack -G DEB.
#
#   scripts/package-deb.sh [OUTDIR]    -> OUTDIR/zuva_<version>-<rev>_<arch>.deb
#
# OUTDIR defaults to build/packages; the build itself is in build/package-deb.
set -euo pipefail
cd "$(dirname "$0")/.."
src="$PWD"
build="$src/build/package-deb"
out="$(mkdir -p "${1:-$src/build/packages}" && cd "${1:-$src/build/packages}" && pwd)"
jobs="${JOBS:-2}"

scripts/setup.sh --package

# The changelog's date stands for the build's: the manual pages' dates and
# the daemon's compile-time line come from it, so the same sources give the
# same package. -Wdate-time would turn that compile-time line into an error.
changelog="$src/data/debian/changelog"
export SOURCE_DATE_EPOCH="$(dpkg-parsechangelog -l "$changelog" -STimestamp)"
export DEB_BUILD_MAINT_OPTIONS="hardening=+all"
cppflags="$(dpkg-buildflags --get CPPFLAGS | sed 's/-Wdate-time//')"
cflags="$(dpkg-buildflags --get CFLAGS) $cppflags"
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $cppflags"
ldflags="$(dpkg-buildflags --get LDFLAGS)"

# The release type's optimisation (-O3, as the benchmarks measure it) comes
# after Debian's flags and wins; theirs add the hardening.
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
  -DZUVA_INSTALL_SYSTEMD=ON -DZUVA_INSTALL_DOCS=ON -DZUVA_BUILD_TESTS=OFF \
  -DZUVA_BUILD_BENCHMARKS=OFF -DZUVA_BUILD_TOOLS=ON \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
nice -n 10 cmake --build "$build" -j "$jobs" --target zuva zuva-status zuva-replay zuva-docs
(cd "$build" && cpack -G DEB -B "$build/cpack" >/dev/null)
deb="$(ls -t "$build"/cpack/zuva_*.deb | head -n 1)"
mv -f "$deb" "$out/"
echo "$out/$(basename "$deb")"
