#!/usr/bin/env bash
# Builds the updater and runs the demo: a complete update of a simulated unit served on a
# pseudo-terminal, through the same driver, console and serial layer as quorel-update.
# Arguments go to the demo: --list shows the scenarios, --scenario NAME picks one, --pace gives
# real line timing. Exits 0 when the scenario's run ended the way it should (flashed, refused,
# declined, gave up on a dead unit), 1 when it did not. Needs only a C++17 compiler and CMake
# (scripts/setup.sh installs them when missing); no GoogleTest, no clang, no root.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake -S . -B build >/dev/null
# Build quietly; show the log only when the build fails.
mkdir -p build
if ! cmake --build build -j"$(nproc)" --target quorel-demo >build/demo-build.log 2>&1; then
  cat build/demo-build.log >&2
  exit 1
fi
exec build/quorel-demo "$@"
