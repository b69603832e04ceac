#!/usr/bin/env bash
# Installs the Debian packages zuva needs to build, test and replay recordings.
# Safe to run again: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libfreetype-dev libpng-dev fonts-dejavu-core
  googletest libgtest-dev libgmock-dev libbenchmark-dev
)
# With --cross also what the builds for big-endian boxes need (see README):
# Debian's cross compilers, qemu-user to run the s390x tests, and the tools
# that fetch and unpack Debian packages for the target.
if [ "${1:-}" = "--cross" ]; then
  packages+=(g++-powerpc-linux-gnu g++-s390x-linux-gnu qemu-user dpkg-dev xz-utils file)
fi
# With --fuzz also clang and its runtime libraries, which hold libFuzzer
# (see scripts/fuzz.sh).
if [ "${1:-}" = "--fuzz" ]; then
  packages+=(clang libclang-rt-dev)
fi
# With --interop also FFmpeg, the independent encoder and decoder that
# tests/ffmpeg_interop.sh checks the DVB subtitle decoder against.
if [ "${1:-}" = "--interop" ]; then
  packages+=(ffmpeg)
fi
# With --kernel also what scripts/kernel-test.sh needs: QEMU and busybox for
# the test machine, cpio and gzip for its initramfs, the kernel headers and
# modinfo to build and place the test adapter (the kernel image of the same
# version is fetched with apt-get download, not installed), and FFmpeg for its
# DVB subtitle stream.
if [ "${1:-}" = "--kernel" ]; then
  packages+=(qemu-system-x86 busybox-static cpio gzip kmod linux-headers-amd64 ffmpeg)
fi

# With --package also what scripts/package-deb.sh and check-packages.sh use:
# Debian's build flags and changelog parser, the manual pages' compiler,
# man to read them, lintian to check the package.
if [ "${1:-}" = "--package" ]; then
  packages+=(dpkg-dev scdoc man-db lintian)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${missing[@]}"
fi
