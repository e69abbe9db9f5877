#!/usr/bin/env bash
# The updater's web page tested in headless Chromium against simulated units: builds the page
# (scripts/build-web.sh into build-web/) and the native quorel-sim, quorel-update and
# quorel-web-bridge (into build-webtest/, or the tree QUOREL_NATIVE_BUILD names), installs the
# tests' npm packages from their lock file (npm ci: puppeteer-core, which drives the system's
# chromium and downloads no browser), then runs tests/web/: the harness against a page of its
# own, then the page's cases. Anything missing fails the script; nothing is skipped.
#
#   scripts/test-web.sh                     build and test
#   scripts/test-web.sh --screenshots DIR   also keep the page's screenshots before and after
#                                           the full update in DIR (docs/ holds the ones looked at)
#   scripts/test-web.sh --bench             the page's benchmark instead of the tests
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

native=${QUOREL_NATIVE_BUILD:-build-webtest}
web=build-web
mode=test
screenshots=
while [ $# -gt 0 ]; do
  case $1 in
    --screenshots) screenshots=$(realpath -m "${2:?--screenshots needs a folder}"); shift 2 ;;
    --bench) mode=bench; shift ;;
    *) echo "usage: scripts/test-web.sh [--screenshots DIR] [--bench]" >&2; exit 2 ;;
  esac
done

fail() {
  echo "test-web: $*" >&2
  exit 1
}

for tool in node npm cmake; do
  command -v "$tool" >/dev/null 2>&1 || fail "$tool is missing (scripts/setup.sh --tests installs it)"
done
[ -x /usr/bin/chromium ] || fail "/usr/bin/chromium is missing (scripts/setup.sh --tests installs it)"
node_major=$(node -p 'process.versions.node.split(".")[0]')
[ "$node_major" -ge 18 ] || fail "node $node_major is too old: the tests need 18 or newer"
[ -x scripts/build-web.sh ] || fail "scripts/build-web.sh is missing"

# The page: the same build a release ships.
timeout 1800 scripts/build-web.sh "$web" || fail "scripts/build-web.sh failed"
for file in index.html; do
  [ -f "$web/site/$file" ] || fail "$web/site/$file was not built"
done

# The native programs: the simulated unit, the terminal program (the reference console) and the
# bridge.
timeout 600 cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
timeout 1800 cmake --build "$native" -j2 --target quorel-sim quorel-update quorel-web-bridge

(cd tests/web && timeout 600 npm ci --no-audit --no-fund --loglevel=error) || fail "npm ci failed"

export QUOREL_WEB_NATIVE_BUILD=$root/$native
export QUOREL_WEB_SITE=$root/$web/site
[ -z "$screenshots" ] || { mkdir -p "$screenshots"; export QUOREL_WEB_SCREENSHOTS=$screenshots; }
cd tests/web
if [ "$mode" = bench ]; then
  timeout 3600 node bench.js
  exit
fi
# One file at a time: every case drives one browser and units in real time.
for file in bridge.test.js web.test.js; do
  timeout 3600 node --test "$file" || fail "tests/web/$file failed"
done
echo "test-web: all passed"
