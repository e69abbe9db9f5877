#!/usr/bin/env bash
# Installs what the build needs when it is missing. Safe to run again; does nothing on a machine
# that has it all.
#
#   scripts/setup.sh            a C++17 compiler, make and CMake: enough for the updater, the
#                               simulator and the demo
#   scripts/setup.sh --tests    also GoogleTest (the test suite) and clang (the fuzzers), and
#                               for the Windows program the mingw-w64 cross compiler (its -posix
#                               variant), GoogleTest's sources and Wine (64-bit) to test it,
#                               and for the release files groff (the manual page), unzip and
#                               lintian, and for the tier on real serial drivers QEMU, Debian's
#                               kernel, a static busybox and cpio (the guest it boots), and
#                               for the web page Emscripten (its system libraries come built)
#                               with the acorn parser it needs
set -euo pipefail

missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v c++ >/dev/null 2>&1 || command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v make >/dev/null 2>&1 || missing+=(make)
if [ "${1:-}" = "--tests" ]; then
  [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
  command -v clang++ >/dev/null 2>&1 || missing+=(clang)
  command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || missing+=(g++-mingw-w64-x86-64-posix)
  [ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
  command -v wine >/dev/null 2>&1 || missing+=(wine)
  [ -x /usr/lib/wine/wine64 ] || missing+=(wine64)
  command -v groff >/dev/null 2>&1 || missing+=(groff-base)
  command -v unzip >/dev/null 2>&1 || missing+=(unzip)
  command -v lintian >/dev/null 2>&1 || missing+=(lintian)
  # The web page's tests: headless Chromium driven from Node (npm fetches their packages).
  command -v chromium >/dev/null 2>&1 || missing+=(chromium)
  command -v node >/dev/null 2>&1 || missing+=(nodejs)
  command -v npm >/dev/null 2>&1 || missing+=(npm)
  command -v qemu-system-x86_64 >/dev/null 2>&1 || missing+=(qemu-system-x86)
  compgen -G '/boot/vmlinuz-*' >/dev/null || missing+=(linux-image-amd64)
  [ -x /bin/busybox ] && dpkg -s busybox-static >/dev/null 2>&1 || missing+=(busybox-static)
  command -v cpio >/dev/null 2>&1 || missing+=(cpio)
  command -v emcc >/dev/null 2>&1 || missing+=(emscripten)
  [ -d /usr/share/nodejs/acorn ] || missing+=(node-acorn)
elif [ $# -gt 0 ]; then
  echo "usage: scripts/setup.sh [--tests]" >&2
  exit 2
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: need root to install ${missing[*]} (try: sudo apt-get install ${missing[*]})" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi
