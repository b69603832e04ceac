#!/usr/bin/env bash
# Builds the daemon for the box: a 32-bit big-endian PowerPC executable,
# linked statically (FreeType included) so that it runs whatever libraries the
# box's firmware carries. Tests, tools and benchmarks are left out.
#
#   scripts/cross-build-powerpc.sh      -> build/cross/powerpc/build/zuva
#
# FreeType for the box is built first by scripts/build-freetype-powerpc.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
src="$PWD"
out="$src/build/cross/powerpc"
jobs="${JOBS:-2}"
triplet=powerpc-linux-gnu

scripts/setup.sh --cross
scripts/build-freetype-powerpc.sh "$out/root"

cmake -S "$src" -B "$out/build" \
  -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-$triplet.cmake" \
  -DZUVA_TARGET_ROOT="$out/root" \
  -DCMAKE_BUILD_TYPE=MinSizeRel \
  -DZUVA_STATIC_LINK=ON \
  -DZUVA_BUILD_TESTS=OFF -DZUVA_BUILD_TOOLS=OFF -DZUVA_BUILD_BENCHMARKS=OFF
nice -n 10 cmake --build "$out/build" -j "$jobs" --target zuva

description="$(file -b "$out/build/zuva")"
echo "zuva: $description"
case "$description" in
  *"ELF 32-bit MSB"*PowerPC*) ;;
  *) echo "cross-build-powerpc.sh: not a 32-bit big-endian PowerPC executable" >&2; exit 1 ;;
esac
