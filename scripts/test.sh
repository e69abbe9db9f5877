#!/usr/bin/env bash
# Builds the updater and runs every test: the normal build, the updater on the kernel's real
# serial drivers in a QEMU guest, the Windows program cross-built and tested under Wine, the
# web page in headless Chromium, the release files made and tested as installed, then the same
# suite under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --tests

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUOREL_BUILD_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

# The updater on the kernel's real serial drivers, in a QEMU guest (builds build-drivers/).
scripts/test-drivers.sh

# The Windows program: cross-built, its tests and end-to-end runs under Wine (uses build/).
QUOREL_NATIVE_BUILD=build scripts/test-windows.sh

# The web page in headless Chromium against simulated units (builds build-web/, uses build/).
QUOREL_NATIVE_BUILD=build scripts/test-web.sh

# The release files as a maker makes them (packing the .exe just tested under Wine), then tested
# as owners install them: a chroot, dpkg, lintian, Wine (the prefix the Windows tests made).
timeout 900 scripts/release.sh --out build-release --windows-build build-win --web-build build-web
WINEPREFIX="$PWD/build-win/wineprefix" scripts/test-release.sh build-release

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQUOREL_SANITIZE=ON -DQUOREL_BUILD_TESTS=ON \
  >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ctest --output-on-failure -j"$jobs")

# A short run of each fuzzer over its seed corpus (longer runs: scripts/fuzz.sh SECONDS).
scripts/fuzz.sh 15
