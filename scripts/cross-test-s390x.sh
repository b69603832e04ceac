#!/usr/bin/env bash
# Builds the whole test suite for s390x (64-bit big-endian) with Debian's
# cross compiler and runs it under qemu-user, so that byte order faults show
# here before they reach a big-endian box.
#
#   scripts/cross-test-s390x.sh            build and run everything
#   JOBS=1 scripts/cross-test-s390x.sh     fewer parallel compiles
#
# Output goes to build/cross/s390x (the target root and the build tree).
set -euo pipefail
cd "$(dirname "$0")/.."
src="$PWD"
out="$src/build/cross/s390x"
jobs="${JOBS:-2}"
triplet=s390x-linux-gnu

scripts/setup.sh --cross

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
apt_get() { $SUDO apt-get -o DPkg::Lock::Timeout=600 "$@"; }

# The target's libraries come from Debian's s390x archive.
if ! dpkg --print-foreign-architectures | grep -qx s390x; then
  $SUDO dpkg --add-architecture s390x
  apt_get update -qq
elif ! apt-cache show libfreetype6:s390x >/dev/null 2>&1; then
  apt_get update -qq
fi
scripts/cross-root.sh s390x "$out/root" \
  libfreetype6 libfreetype-dev libpng16-16 libpng-dev zlib1g zlib1g-dev \
  libbrotli1 libbrotli-dev libgtest-dev libgmock-dev

cmake -S "$src" -B "$out/build" \
  -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-$triplet.cmake" \
  -DZUVA_TARGET_ROOT="$out/root" \
  -DCMAKE_BUILD_TYPE=Debug \
  -DZUVA_BUILD_BENCHMARKS=OFF
nice -n 10 cmake --build "$out/build" -j "$jobs"
ctest --test-dir "$out/build" --output-on-failure -j "$jobs"
