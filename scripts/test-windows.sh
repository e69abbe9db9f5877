#!/usr/bin/env bash
# Cross-builds the Windows program and its tests (build-win/) and runs them under Wine, headless
# and 64-bit: the tests of the Windows serial backend and console, then end-to-end runs of
# quorel-update.exe against simulated units served on pseudo-terminals by the native build's
# quorel-sim. scripts/test.sh runs this after the native suite; run by hand it needs a native
# build in build/ (or QUOREL_NATIVE_BUILD) first. Every failure fails the script.
#
# Wine reaches a pseudo-terminal as a COM port through the registry (HKLM\Software\Wine\Ports,
# value COMn = the device path), read when the wineserver starts; the dosdevices links Wine makes
# by itself point at the machine's real /dev/ttyS*, so every port used here is mapped first and
# its link checked before a program opens it, and COM1 is never used.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

native=${QUOREL_NATIVE_BUILD:-build}
win=build-win
sim=$root/$native/quorel-sim
work=$root/$win/wine-runs
expected=$root/tests/win32/expected
# Every command runs under a time-out; a whole update takes about a minute under Wine.
run_limit=300
short_limit=60

fail() {
  echo "test-windows: $*" >&2
  exit 1
}

for tool in wine wineserver x86_64-w64-mingw32-g++-posix; do
  command -v "$tool" >/dev/null 2>&1 || fail "$tool is missing (scripts/setup.sh installs it)"
done
[ -x "$sim" ] || fail "$sim is missing: build the native tree first (scripts/test.sh does)"
[ -x "$root/$native/quorel-payload-gen" ] || fail "$native/quorel-payload-gen is missing"

jobs=$(nproc)
cmake -S . -B "$win" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUOREL_BUILD_TESTS=ON \
  -DQUOREL_HOST_PAYLOAD_GEN="$root/$native/quorel-payload-gen" \
  >/dev/null
cmake --build "$win" -j"$jobs"
updater=$root/$win/quorel-update.exe
unit_tests=$root/$win/tests/win32/quorel_win32_tests.exe

export WINEPREFIX=$root/$win/wineprefix
export WINEARCH=win64
export WINEDEBUG=-all
# A new prefix would try to download its optional components; there is no need for them.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

sim_pids=()
cleanup() {
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  timeout "$short_limit" wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

# One fresh prefix for this run, made before any test starts.
rm -rf "$WINEPREFIX" "$work"
mkdir -p "$work"
timeout "$run_limit" wineboot -i >"$work/wineboot.log" 2>&1 || fail "wineboot failed (see $work/wineboot.log)"
timeout "$short_limit" wineserver -w || fail "the wineserver did not settle after wineboot"

# start_sim NAME ARGS...: serves a simulated unit; its device path lands in sim_device.
start_sim() {
  local name=$1
  shift
  "$sim" --follow-speed-commands --transcript "$work/$name.transcript" \
    --memory "$work/$name.memory" "$@" >"$work/$name.sim" 2>&1 &
  sim_pids+=($!)
  eval "sim_pid_$name=$!"
  sim_device=""
  for _ in $(seq 100); do
    sim_device=$(sed -n 's/^device: //p' "$work/$name.sim")
    [ -n "$sim_device" ] && return 0
    sleep 0.1
  done
  fail "quorel-sim for $name did not start: $(cat "$work/$name.sim")"
}

# map_ports COMn PATH ...: the registry values, then a wineserver restart (the mapping is read
# when it starts) and a check of each link Wine made from them.
map_ports() {
  local args=("$@")
  for ((i = 0; i < ${#args[@]}; i += 2)); do
    timeout "$short_limit" wine reg add 'HKLM\Software\Wine\Ports' /v "${args[i]}" /t REG_SZ \
      /d "${args[i + 1]}" /f >/dev/null || fail "cannot map ${args[i]}"
  done
  timeout "$short_limit" wineserver -k || fail "wineserver -k failed"
  timeout "$short_limit" wineserver -w || fail "the wineserver did not stop"
  # The wineserver started here writes to this command's standard error; what it prints when it
  # ends (an object dump, after the interrupt test) belongs in a log, not in the test output.
  timeout "$short_limit" wine cmd /c exit 0 2>>"$work/wineserver.log" ||
    fail "Wine did not start again (see $work/wineserver.log)"
  for ((i = 0; i < ${#args[@]}; i += 2)); do
    local link="$WINEPREFIX/dosdevices/$(echo "${args[i]}" | tr 'A-Z' 'a-z')"
    [ "$(readlink "$link")" = "${args[i + 1]}" ] ||
      fail "${args[i]} is not mapped to ${args[i + 1]} ($link -> $(readlink "$link" || true))"
  done
}

# wait_sim NAME: the simulator ends by itself once the unit is done (--exit-when-done).
wait_sim() {
  local pid_var="sim_pid_$1"
  local pid=${!pid_var}
  for _ in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && fail "$1: the simulated unit did not finish"
  wait "$pid" || fail "$1: quorel-sim failed: $(tail -n 3 "$work/$1.sim")"
}

echo "test-windows: backend and console tests"
start_sim unit_tests
unit_device=$sim_device
map_ports COM41 "$unit_device" COM42 "$work/no-such-device"
QUOREL_TEST_UNIT_PORT=COM41 QUOREL_TEST_MISSING_PORT=COM42 QUOREL_TEST_UNMAPPED_PORT=COM43 \
  timeout "$run_limit" wine "$unit_tests" </dev/null || fail "the Windows unit tests failed"

# check_run NAME STATUS: the updater's exit status and its console text, byte for byte.
failures=0
check_run() {
  local name=$1 want=$2 got
  got=$(cat "$work/$name.status")
  if [ "$got" != "$want" ]; then
    echo "test-windows: $name: exit status $got, expected $want" >&2
    failures=$((failures + 1))
  fi
  if ! cmp -s "$expected/$name.txt" "$work/$name.out"; then
    echo "test-windows: $name: console text differs from $expected/$name.txt:" >&2
    diff <(od -c "$expected/$name.txt") <(od -c "$work/$name.out") | head -n 20 >&2 || true
    failures=$((failures + 1))
  fi
}

# run_updater NAME KEYS ARGS...: one run with KEYS as standard input (a pipe).
run_updater() {
  local name=$1 keys=$2
  shift 2
  echo "test-windows: end to end: $name"
  set +e
  printf '%s' "$keys" | timeout "$run_limit" wine "$updater" "$@" >"$work/$name.out" 2>"$work/$name.err"
  echo $? >"$work/$name.status"
  set -e
}

# sim_says NAME TEXT: the simulator's closing line holds TEXT.
sim_says() {
  if ! grep -q "^stopped.*$2" "$work/$1.sim"; then
    echo "test-windows: $1: the simulated unit did not end with '$2': $(tail -n 1 "$work/$1.sim")" >&2
    failures=$((failures + 1))
  fi
}

# same_bytes NAME FILE UNIT_ADDRESS FILE_OFFSET COUNT: the unit's memory holds the image's bytes.
same_bytes() {
  if ! cmp -s -n "$5" <(tail -c +$(($3 + 1)) "$work/$1.memory") <(tail -c +$(($4 + 1)) "$2"); then
    echo "test-windows: $1: unit memory from $(printf '%06x' "$3") differs from $2" >&2
    failures=$((failures + 1))
  fi
}

images_flashed() {
  local sw=$root/data/payload/sw_image.bin hw=$root/data/payload/hw_image.bin
  same_bytes "$1" "$sw" 0 0 $((0x4000))
  same_bytes "$1" "$sw" $((0x8000)) $((0x8000)) $((0x20732 - 0x8000))
  same_bytes "$1" "$hw" $((0x40000)) 0 $((0x2C01E))
}

# Where the updater takes --port, every run has a COM number of its own above COM10; otherwise
# the runs share COM2 to COM4 (COM1 may be the machine's own) in two rounds.
timeout "$short_limit" wine "$updater" --help </dev/null >"$work/help.out" 2>&1 || true
if grep -q -- "--port" "$work/help.out"; then
  round1=(COM11 COM12 COM13)
  round2=(COM14 COM15 COM16)
else
  round1=(COM2 COM3 COM4)
  round2=(COM2 COM3 COM4)
fi
# port_option COMn: how the updater is told to use that port.
port_option() {
  if [ "${round1[0]}" = COM11 ]; then echo "--port $1"; else echo "-c${1#COM}"; fi
}

start_sim update --model pro --release 042303 --exit-when-done
update_device=$sim_device
start_sim fallback --model pro --release 042303 --silent-speeds 28800 --exit-when-done
fallback_device=$sim_device
start_sim refusal --model base --release 030303 --exit-when-done
refusal_device=$sim_device
map_ports "${round1[0]}" "$update_device" "${round1[1]}" "$fallback_device" \
  "${round1[2]}" "$refusal_device"
run_updater update x $(port_option "${round1[0]}")
run_updater fallback x $(port_option "${round1[1]}")
run_updater refusal x $(port_option "${round1[2]}")
wait_sim update
wait_sim fallback
wait_sim refusal
check_run update 1
check_run fallback 1
check_run refusal 1
sim_says update "flashed: yes; left update mode: no"
sim_says fallback "flashed: yes; left update mode: no"
sim_says refusal "flashed: no; left update mode: yes"
images_flashed update
images_flashed fallback
grep -q " 14400 F5382$" "$work/fallback.transcript" ||
  { echo "test-windows: fallback: the unit was not flashed at 14400" >&2; failures=$((failures + 1)); }

# run_interrupted NAME ARGS...: a run that gets SIGINT, which Wine hands to the program as a
# Ctrl-C console event, while it downloads the main image.
run_interrupted() {
  local name=$1
  shift
  echo "test-windows: end to end: $name"
  wine "$updater" "$@" </dev/null >"$work/$name.out" 2>"$work/$name.err" &
  local pid=$!
  for _ in $(seq 1200); do
    grep -q "Sending SW update\.\.\.\." "$work/$name.out" && break
    sleep 0.1
  done
  kill -INT "$pid"
  for _ in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid"
    echo "test-windows: $name: the run did not end after the interrupt" >&2
    failures=$((failures + 1))
  fi
  set +e
  wait "$pid"
  echo $? >"$work/$name.status"
  set -e
}

start_sim decline --checksum 123456 --exit-when-done
decline_device=$sim_device
start_sim absent --absent
absent_device=$sim_device
start_sim interrupt --model pro --release 042303 --exit-when-done
interrupt_device=$sim_device
map_ports "${round2[0]}" "$decline_device" "${round2[1]}" "$absent_device" \
  "${round2[2]}" "$interrupt_device"
run_updater decline n $(port_option "${round2[0]}")
run_updater absent "" $(port_option "${round2[1]}")
run_interrupted interrupt $(port_option "${round2[2]}")
wait_sim decline
wait_sim interrupt
check_run decline 1
check_run absent 0
sim_says decline "flashed: no; left update mode: yes"
# The block in progress completed, the unit told to leave update mode, and the run's last words.
sim_says interrupt "flashed: no; left update mode: yes"
if [ "$(cat "$work/interrupt.status")" != 130 ] ||
  [ "$(tail -c 55 "$work/interrupt.out")" != "$(printf '\nInterrupted. The unit was not flashed. Update exiting\n')" ]; then
  echo "test-windows: interrupt: status $(cat "$work/interrupt.status"), ending: $(tail -c 60 "$work/interrupt.out")" >&2
  failures=$((failures + 1))
fi

if [ "$failures" -ne 0 ]; then
  fail "$failures end-to-end check(s) failed; the runs are in $work"
fi
echo "test-windows: every Windows test passed"
