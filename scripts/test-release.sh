#!/usr/bin/env bash
# Tests the release files of scripts/release.sh as owners get them, on a machine that has
# nothing else:
#
#   scripts/test-release.sh DIR        (DIR: where release.sh left them; must run as root)
#
#   - SHA256SUMS verifies and names the four files;
#   - the tarball holds the program, its manual page, README and completion, and the program
#     answers --version and --help in an empty chroot (nothing in it but the program: no
#     dynamic loader, no libraries);
#   - the .deb's metadata and contents (dpkg-deb), lintian finds nothing to report, and dpkg
#     installs it into a fresh root (the dialout note shown), where the program answers
#     --version, and removes it again;
#   - the zip holds the .exe and README-Windows.txt, and the .exe answers --version under Wine
#     (WINEPREFIX when set, otherwise a fresh prefix in DIR);
#   - the web zip holds the page, its script and the program, the page loads them by relative
#     address, and the packed program answers --version under Node;
#   - the version and release in each file name are those its program prints with --version.
# Every failure fails the script; every command runs under a time-out.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: scripts/test-release.sh DIR" >&2; exit 2; }
dir=$(realpath "$1")
work=$dir/tested
limit=120
failures=0

fail() {
  echo "test-release: $*" >&2
  exit 1
}
# problem TEXT: one failed check; the others still run.
problem() {
  echo "test-release: $*" >&2
  failures=$((failures + 1))
}
[ "$(id -u)" -eq 0 ] || fail "needs root (chroot, dpkg --root)"
for tool in sha256sum chroot dpkg dpkg-deb lintian unzip wine wineboot wineserver node; do
  command -v "$tool" >/dev/null 2>&1 || fail "$tool is missing (scripts/setup.sh --tests installs it)"
done
rm -rf "$work"
mkdir -p "$work"

# the_file PATTERN: the one file of DIR that matches.
the_file() {
  # shellcheck disable=SC2206  # $1 is a pattern
  local matches=("$dir"/$1)
  if [ ${#matches[@]} -ne 1 ] || [ ! -f "${matches[0]}" ]; then fail "not exactly one $1 in $dir"; fi
  echo "${matches[0]##*/}"
}
tarball=$(the_file 'quorel-update-*-linux-x86_64.tar.gz')
deb=$(the_file 'quorel-update_*_amd64.deb')
zip=$(the_file 'quorel-update-*-windows-x64.zip')
webzip=$(the_file 'quorel-update-*-web.zip')

echo "test-release: SHA256SUMS"
(cd "$dir" && timeout "$limit" sha256sum --check --strict SHA256SUMS) || problem "SHA256SUMS does not verify"
[ "$(awk '{ print $2 }' "$dir/SHA256SUMS" | sort)" = "$(printf '%s\n' "$tarball" "$deb" "$zip" "$webzip" | sort)" ] ||
  problem "SHA256SUMS does not list exactly the four files: $(cat "$dir/SHA256SUMS")"

# same_version FILE_NAME NAMED VERSION_TEXT: NAMED is VERSION-RELEASE from the file name,
# VERSION_TEXT what its program printed for --version.
same_version() {
  local printed
  printed=$(sed -n -e '1s/^quorel-update \([^ ]*\)$/\1/p' \
    -e '2s/^firmware: .* release \([0-9a-f]*\), code-region checksum [0-9a-f]*$/-\1/p' <<<"$3" |
    tr -d '\n')
  [ "$printed" = "$2" ] || problem "$1 names $2, its program prints: $3"
}

echo "test-release: $tarball"
top=${tarball%.tar.gz}
timeout "$limit" tar -xzf "$dir/$tarball" -C "$work" || fail "cannot unpack $tarball"
[ -d "$work/$top" ] || fail "$tarball does not unpack into $top/"
for file in bin/quorel-update share/man/man1/quorel-update.1.gz share/doc/quorel-update/README.md \
  share/bash-completion/completions/quorel-update; do
  [ -f "$work/$top/$file" ] || problem "$tarball lacks $top/$file"
done
named=${tarball#quorel-update-}
named=${named%-linux-x86_64.tar.gz}
manual=$work/$top/share/man/man1/quorel-update.1.gz
warnings=$(gzip -dc "$manual" | groff -man -Tascii -ww -z 2>&1) || problem "the manual page: $warnings"
[ -z "$warnings" ] || problem "groff warns about the manual page: $warnings"
gzip -dc "$manual" | grep -q "^\.TH .* \"quorel-update ${named%-*}\"" ||
  problem "the manual page is not that of quorel-update ${named%-*}"
jail=$work/empty-root
mkdir "$jail"
cp "$work/$top/bin/quorel-update" "$jail/"
version=$(timeout "$limit" chroot "$jail" /quorel-update --version) ||
  problem "in an empty chroot, quorel-update --version failed: $version"
same_version "$tarball" "$named" "$version"
help=$(timeout "$limit" chroot "$jail" /quorel-update --help) ||
  problem "in an empty chroot, quorel-update --help failed"
[[ $help == "Usage: quorel-update "* ]] || problem "--help in the chroot printed: $help"
[ "$(ls -A "$jail")" = quorel-update ] || problem "the chroot gained files: $(ls -A "$jail")"

echo "test-release: $deb"
named=${deb#quorel-update_}
named=${named%_amd64.deb}
field() { timeout "$limit" dpkg-deb --field "$dir/$deb" "$1"; }
[ "$(field Package)" = quorel-update ] || problem "$deb: Package is '$(field Package)'"
[ "$(field Version)" = "$named" ] || problem "$deb: Version '$(field Version)', named $named"
[ "$(field Architecture)" = amd64 ] || problem "$deb: Architecture is '$(field Architecture)'"
[[ $(field Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] ||
  problem "$deb: Maintainer is '$(field Maintainer)', not NAME <EMAIL>"
[ "$(field Description | wc -l)" -ge 2 ] || problem "$deb: no long description: $(field Description)"
for name in Depends Pre-Depends Recommends; do
  [ -z "$(field "$name")" ] || problem "$deb: has $name: $(field "$name")"
done
contents=$(timeout "$limit" dpkg-deb --contents "$dir/$deb" | awk '{ print $2, $6 }')
for file in ./usr/bin/quorel-update ./usr/share/man/man1/quorel-update.1.gz \
  ./usr/share/bash-completion/completions/quorel-update ./usr/share/doc/quorel-update/copyright \
  ./usr/share/doc/quorel-update/changelog.Debian.gz; do
  grep -qx "root/root $file" <<<"$contents" || problem "$deb lacks $file (owned by root)"
done
timeout 300 lintian --allow-root --fail-on error,warning "$dir/$deb" >"$work/lintian.txt" 2>&1 ||
  problem "lintian: $(cat "$work/lintian.txt")"
# A fresh root: dpkg's database and nothing else. The maintainer script runs outside it.
root=$work/deb-root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg_root() { timeout "$limit" dpkg --root="$root" --log=/dev/null --force-script-chrootless "$@"; }
dpkg_root --install "$dir/$deb" >"$work/dpkg-install.txt" 2>&1 ||
  problem "dpkg --install failed: $(cat "$work/dpkg-install.txt")"
grep -q "dialout" "$work/dpkg-install.txt" ||
  problem "no note on the dialout group at install: $(cat "$work/dpkg-install.txt")"
[[ $(dpkg_root --status quorel-update) == *"Status: install ok installed"* ]] ||
  problem "dpkg does not list quorel-update as installed"
version=$(timeout "$limit" chroot "$root" /usr/bin/quorel-update --version) ||
  problem "the installed quorel-update --version failed: $version"
same_version "$deb" "$named" "$version"
dpkg_root --remove quorel-update >"$work/dpkg-remove.txt" 2>&1 ||
  problem "dpkg --remove failed: $(cat "$work/dpkg-remove.txt")"
[ ! -e "$root/usr/bin/quorel-update" ] || problem "dpkg --remove left usr/bin/quorel-update"

echo "test-release: $zip"
top=${zip%.zip}
timeout "$limit" unzip -q "$dir/$zip" -d "$work" || fail "cannot unpack $zip"
[ -d "$work/$top" ] || fail "$zip does not unpack into $top/"
[ "$(cd "$work/$top" && ls -A)" = "$(printf '%s\n' README-Windows.txt quorel-update.exe)" ] ||
  problem "$zip holds: $(cd "$work/$top" && ls -A)"
readme=$work/$top/README-Windows.txt
grep -q $'\r$' "$readme" || problem "README-Windows.txt lacks Windows line ends"
for topic in "Device Manager" "--port COM" "Closing the window"; do
  grep -qF -- "$topic" "$readme" || problem "README-Windows.txt does not tell '$topic'"
done
export WINEPREFIX=${WINEPREFIX:-$work/wineprefix} WINEARCH=win64 WINEDEBUG=-all
# A new prefix would try to download its optional components; there is no need for them.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
trap 'timeout 60 wineserver -k 2>/dev/null || true' EXIT
if [ ! -d "$WINEPREFIX" ]; then
  timeout 300 wineboot -i >"$work/wineboot.txt" 2>&1 || fail "wineboot failed: $(cat "$work/wineboot.txt")"
fi
version=$(timeout "$limit" wine "$work/$top/quorel-update.exe" --version </dev/null 2>"$work/wine.txt") ||
  problem "quorel-update.exe --version failed under Wine: $(cat "$work/wine.txt")"
named=${zip#quorel-update-}
same_version "$zip" "${named%-windows-x64.zip}" "$version"

echo "test-release: $webzip"
top=${webzip%.zip}
timeout "$limit" unzip -q "$dir/$webzip" -d "$work" || fail "cannot unpack $webzip"
[ -d "$work/$top" ] || fail "$webzip does not unpack into $top/"
[ "$(cd "$work/$top" && ls -A)" = "$(printf '%s\n' index.html quorel-update.js quorel-update.wasm)" ] ||
  problem "$webzip holds: $(cd "$work/$top" && ls -A)"
grep -q '<script src="quorel-update.js">' "$work/$top/index.html" ||
  problem "index.html does not load quorel-update.js by relative address"
# The program as the page runs it, without the page: its console text for --version.
version=$(cd "$work/$top" && timeout "$limit" node -e '
  let text = "";
  require("./quorel-update.js")({
    wasmBinary: require("fs").readFileSync("quorel-update.wasm"),
    quorelPrint: (bytes) => { text += Buffer.from(bytes).toString("latin1"); }
  })
    .then((program) => program.ccall("quorel_web_run", "number", ["string"], ["--version"], { async: true }))
    .then((status) => { process.stdout.write(text); process.exit(status); });' 2>"$work/node.txt") ||
  problem "the web program's --version failed under Node: $(cat "$work/node.txt")"
named=${webzip#quorel-update-}
same_version "$webzip" "${named%-web.zip}" "$version"

[ "$failures" -eq 0 ] || fail "$failures check(s) failed; what was unpacked is in $work"
echo "test-release: every release check passed"
