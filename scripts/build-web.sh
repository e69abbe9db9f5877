#!/usr/bin/env bash
# Builds the updater's web page with Emscripten (Debian's emscripten package; scripts/setup.sh
# --tests installs it):
#
#   scripts/build-web.sh [OUTDIR] [CMAKE OPTIONS...]
#
# leaves the page in OUTDIR/site/ (default build-web/site/): index.html, quorel-update.js and
# quorel-update.wasm, to be served as they are by any static web server. CMake options such as
# -DQUOREL_SW_IMAGE=... choose the payload as for the other builds. Debian's package brings
# Emscripten's system libraries built (its frozen cache), so nothing is compiled but this
# project.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-build-web}
[ $# -gt 0 ] && shift
for tool in emcmake emcc cmake; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "build-web: $tool is missing (scripts/setup.sh --tests installs emscripten)" >&2
    exit 1
  fi
done
# Debian's emscripten finds acorn in the system's node modules.
export NODE_PATH=${NODE_PATH:-/usr/share/nodejs}

timeout 600 emcmake cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=Release \
  -DQUOREL_BUILD_TESTS=OFF "$@" >/dev/null
timeout 1800 cmake --build "$out" -j2
echo "build-web: the page is in $out/site/"
