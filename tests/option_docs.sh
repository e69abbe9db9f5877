#!/usr/bin/env bash
# The manual page and the bash completion against the program's own --help: every option the
# help names is documented on the page and offered by the completion, and neither names a long
# option the help does not. The page renders without a warning from groff, and the completion
# offers for --port the devices a --list-ports text names.
#
#   tests/option_docs.sh QUOREL_UPDATE MANUAL_PAGE COMPLETION
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: tests/option_docs.sh QUOREL_UPDATE MANUAL_PAGE COMPLETION" >&2; exit 2; }
program=$1 manual=$2 completion=$3
command -v groff >/dev/null 2>&1 || { echo "groff is missing (scripts/setup.sh --tests)" >&2; exit 1; }
failures=0
problem() {
  echo "$*" >&2
  failures=$((failures + 1))
}

warnings=$(groff -man -Tutf8 -ww -z "$manual" 2>&1)
[ -z "$warnings" ] || problem "groff -man warns about $manual: $warnings"
page=$(groff -man -Tascii -P-cbou "$manual" 2>/dev/null)

# Options as the help writes them: --name, and -cX for a one-letter option with its value.
options=$("$program" --help | grep -oE -- '(^|[[:space:][])(--[a-z][a-z-]*|-[a-z]X)' |
  tr -d ' [' | sort -u)
grep -qx -- --version <<<"$options" || { echo "no options found in --help: $options" >&2; exit 1; }

# What the completion offers for an empty word, and for --port with a program whose port list
# is the one below.
lister=$(mktemp)
trap 'rm -f "$lister"' EXIT
cat >"$lister" <<'LIST'
#!/bin/sh
[ "$1" = --list-ports ] || exit 1
echo "/dev/ttyS0  built-in UART"
echo "/dev/ttyUSB0  USB 1a2b:3c4d  Maker Ltd  USB Serial Cable  serial A1B2C3  /dev/serial/by-id/usb-Maker_Ltd_USB_Serial_Cable_A1B2C3-if00-port0"
LIST
chmod +x "$lister"
offers() {
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _quorel_update
    printf "%s\n" "${COMPREPLY[@]}"' offers "$completion" "$@"
}
offered=$(offers "$lister" "")

for option in $options; do
  grep -qF -- "$option" <<<"$page" || problem "the manual page does not document $option"
  if [[ $option == *X ]]; then
    grep -qE -- "^${option%X}[0-9]$" <<<"$offered" || problem "the completion does not offer $option"
  else
    grep -qx -- "$option" <<<"$offered" || problem "the completion does not offer $option"
  fi
done
for word in $(grep -oE -- '(^|[^[:alnum:]-])--[a-z][a-z-]*' <<<"$page" | grep -oE -- '--.*'); do
  grep -qx -- "$word" <<<"$options" || problem "the manual page documents $word, which --help does not name"
done
for word in $offered; do
  grep -qx -- "$word" <<<"$options" || grep -qx -- "${word%[0-9]}X" <<<"$options" ||
    problem "the completion offers $word, which --help does not name"
done

ports=$(offers "$lister" --port "" | tr '\n' ' ')
[ "$ports" = "/dev/ttyS0 /dev/ttyUSB0 /dev/serial/by-id/usb-Maker_Ltd_USB_Serial_Cable_A1B2C3-if00-port0 auto " ] ||
  problem "for --port the completion offers: $ports"

[ "$failures" -eq 0 ]
