#!/usr/bin/env bash
# Makes the files owners download, from a payload's release files:
#
#   scripts/release.sh [--out DIR] [--maintainer "NAME <EMAIL>"] [--windows-build DIR]
#                      [--web-build DIR] [SW_IMAGE HW_IMAGE RELEASE_TABLE]
#
# The three release files are those the build takes (QUOREL_SW_IMAGE, QUOREL_HW_IMAGE,
# QUOREL_RELEASE_TABLE; the payload generator checks them and stops at the first fault); without
# them the sample payload in data/payload/. It builds into DIR (default: out/) and leaves there
#   quorel-update-VERSION-RELEASE-linux-x86_64.tar.gz   the statically linked program, its
#                                                       manual page, README and bash completion
#   quorel-update_VERSION-RELEASE_amd64.deb             the same as a Debian package
#   quorel-update-VERSION-RELEASE-windows-x64.zip       quorel-update.exe and README-Windows.txt
#   quorel-update-VERSION-RELEASE-web.zip               the web page's folder: index.html,
#                                                       quorel-update.js, quorel-update.wasm
#   SHA256SUMS                                          the checksums of the four
# VERSION is the updater's (project() in CMakeLists.txt), RELEASE the payload's release code,
# both as `quorel-update --version` prints them. --maintainer sets the .deb's Maintainer field.
# --windows-build packs the .exe of that cross-build tree (configured with the same payload
# here) instead of making one in DIR/build-windows; CI passes the tree its Wine tests ran on.
# --web-build likewise builds the web page in that tree (scripts/build-web.sh; an up-to-date
# tree is only checked) instead of DIR/build-web.
# Needs CMake (3.19 or later), a C++17 compiler with the static C and C++ libraries, gzip, the
# mingw-w64 cross compiler and Emscripten (scripts/setup.sh --tests installs them). Downloads
# nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

usage() {
  echo "usage: scripts/release.sh [--out DIR] [--maintainer \"NAME <EMAIL>\"]" \
    "[--windows-build DIR] [--web-build DIR] [SW_IMAGE HW_IMAGE RELEASE_TABLE]" >&2
  exit 2
}
fail() {
  echo "release: $*" >&2
  exit 1
}

out=out
maintainer=""
windows=""
web=""
payload=()
while [ $# -gt 0 ]; do
  case $1 in
    --out) [ $# -ge 2 ] || usage; out=$2; shift 2 ;;
    --maintainer) [ $# -ge 2 ] || usage; maintainer=$2; shift 2 ;;
    --windows-build) [ $# -ge 2 ] || usage; windows=$2; shift 2 ;;
    --web-build) [ $# -ge 2 ] || usage; web=$2; shift 2 ;;
    -*) usage ;;
    *) payload+=("$1"); shift ;;
  esac
done
case ${#payload[@]} in
  0) payload=(data/payload/sw_image.bin data/payload/hw_image.bin data/payload/release_table.txt) ;;
  3) ;;
  *) usage ;;
esac
for file in "${payload[@]}"; do
  [ -f "$file" ] || fail "no such file: $file"
done
mkdir -p "$out"
out=$(realpath "$out")
# The files of an earlier release go first: a failed run leaves none that look current.
rm -f "$out"/quorel-update-*-linux-x86_64.tar.gz "$out"/quorel-update_*_amd64.deb \
  "$out"/quorel-update-*-windows-x64.zip "$out"/quorel-update-*-web.zip "$out/SHA256SUMS"
payload_options=(
  -DQUOREL_SW_IMAGE="$(realpath "${payload[0]}")"
  -DQUOREL_HW_IMAGE="$(realpath "${payload[1]}")"
  -DQUOREL_RELEASE_TABLE="$(realpath "${payload[2]}")"
)
[ -n "$maintainer" ] && payload_options+=(-DQUOREL_PACKAGE_MAINTAINER="$maintainer")
linux=$out/build-linux
windows=${windows:-$out/build-windows}
jobs=$(nproc)
limit=900  # seconds for any one build or packing step

# Only the program and its manual page are built; the packing steps build nothing more.
echo "release: the Linux program (static)"
timeout "$limit" cmake -S . -B "$linux" -DCMAKE_BUILD_TYPE=Release -DQUOREL_BUILD_TESTS=OFF \
  -DQUOREL_STATIC=ON -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON "${payload_options[@]}" >/dev/null
timeout "$limit" cmake --build "$linux" -j"$jobs" --target quorel-update quorel-manual \
  quorel-payload-gen
version_text=$("$linux/quorel-update" --version)
release=$(sed -n 's/^firmware: .* release \([0-9a-f]*\),.*/\1/p' <<<"$version_text")
[ -n "$release" ] || fail "quorel-update --version named no release: $version_text"

echo "release: the Windows program"
windows_options=()
if [ ! -f "$windows/CMakeCache.txt" ]; then
  windows_options=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
    -DCMAKE_BUILD_TYPE=Release -DQUOREL_BUILD_TESTS=OFF
    -DQUOREL_HOST_PAYLOAD_GEN="$linux/quorel-payload-gen")
fi
timeout "$limit" cmake -S . -B "$windows" -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
  "${windows_options[@]}" "${payload_options[@]}" >/dev/null
timeout "$limit" cmake --build "$windows" -j"$jobs" --target quorel-update

echo "release: the web page"
web=${web:-$out/build-web}
timeout "$limit" "$root/scripts/build-web.sh" "$web" "${payload_options[@]}"
version=$(sed -n 's/^quorel-update \([^ ]*\)$/\1/p' <<<"$version_text")
[ -n "$version" ] || fail "quorel-update --version named no version: $version_text"
web_top=quorel-update-$version-$release-web
rm -rf "${web:?}/packages"
mkdir -p "$web/packages/$web_top"
cp "$web"/site/index.html "$web"/site/quorel-update.js "$web"/site/quorel-update.wasm \
  "$web/packages/$web_top/"
# The files in a fixed order with the time of the last commit, so that the same sources give
# the same zip.
stamp=$(TZ=UTC git -C "$root" log -1 --format=%cd --date='format-local:%Y-%m-%d %H:%M:%S' \
  2>/dev/null || date -u '+%Y-%m-%d %H:%M:%S')
(cd "$web/packages" && TZ=UTC timeout "$limit" cmake -E tar cf "$web_top.zip" --format=zip \
  --mtime="$stamp" -- "$web_top/index.html" "$web_top/quorel-update.js" \
  "$web_top/quorel-update.wasm")

echo "release: packing"
rm -rf "$linux/packages" "$windows/packages"
timeout "$limit" cpack --config "$linux/CPackConfig.cmake" -B "$linux/packages" >/dev/null
timeout "$limit" cpack --config "$windows/CPackConfig.cmake" -B "$windows/packages" \
  -D QUOREL_PAYLOAD_RELEASE="$release" >/dev/null

files=()
for package in "$linux"/packages/*.tar.gz "$linux"/packages/*.deb "$windows"/packages/*.zip \
  "$web"/packages/*.zip; do
  [ -f "$package" ] || fail "cpack made no ${package##*.} package"
  files+=("${package##*/}")
  mv -f "$package" "$out/"
done
(cd "$out" && sha256sum -- "${files[@]}" >SHA256SUMS)
echo "release: in $out:"
(cd "$out" && ls -l -- "${files[@]}" SHA256SUMS)
