#!/usr/bin/env bash
# Cross-builds the Windows program and its tests (build-win/) and runs them under Wine, headless
# and 64-bit: the tests of the Windows serial backend and console, and end-to-end runs of
# quorel-update.exe against simulated units served on pseudo-terminals by the native build's
# quorel-sim, all side by side, then one with --port auto on its own. scripts/test.sh runs this after the native suite; run by hand it
# needs a native build in build/ (or QUOREL_NATIVE_BUILD) first. Every failure fails the script.
#
# Wine reaches a pseudo-terminal as a COM port through the registry (HKLM\Software\Wine\Ports,
# value COMn = the device path), read when the wineserver starts; the dosdevices links Wine makes
# by itself point at the machine's real /dev/ttyS*, so every program here has a COM number of its
# own above COM10. Every simulated unit is started first, every port mapped in one registry
# import, and the wineserver restarted once and kept running (-p) until the end: a wineserver
# that ends by itself when its last program has ended may go while the next one connects.
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

for tool in wine wineserver winepath script x86_64-w64-mingw32-g++-posix; do
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
mode_check=$root/$win/tests/win32/quorel_console_mode_check.exe

export WINEPREFIX=$root/$win/wineprefix
export WINEARCH=win64
export WINEDEBUG=-all
# A new prefix would try to download its optional components; there is no need for them.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

declare -A sim_pid sim_device run_pid
cleanup() {
  for pid in "${run_pid[@]}" "${sim_pid[@]}"; do kill "$pid" 2>/dev/null || true; done
  timeout "$short_limit" wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

rm -rf "$WINEPREFIX" "$work"
mkdir -p "$work" "$WINEPREFIX"

# start_sim NAME ARGS...: serves a simulated unit; its device path lands in sim_device[NAME].
start_sim() {
  local name=$1
  shift
  "$sim" --follow-speed-commands --transcript "$work/$name.transcript" \
    --memory "$work/$name.memory" "$@" >"$work/$name.sim" 2>&1 &
  sim_pid[$name]=$!
  for _ in $(seq 100); do
    sim_device[$name]=$(sed -n 's/^device: //p' "$work/$name.sim")
    [ -n "${sim_device[$name]}" ] && return 0
    sleep 0.1
  done
  fail "quorel-sim for $name did not start: $(cat "$work/$name.sim")"
}

start_sim unit_tests
start_sim update --model pro --release 042303 --exit-when-done
start_sim fallback --model pro --release 042303 --silent-speeds 28800 --exit-when-done
start_sim refusal --model base --release 030303 --exit-when-done
start_sim decline --checksum 123456 --exit-when-done
start_sim absent --absent
start_sim interrupt --model pro --release 042303 --exit-when-done
start_sim console --checksum 123456 --exit-when-done
start_sim found --model base --release 030303 --exit-when-done

# Each program's port; COM42 leads to a path that does not exist and COM43 stays unmapped.
# COM1 to COM4, which Wine would link to the machine's own /dev/ttyS0 to /dev/ttyS3, lead
# there too: --port auto asks every COM port of the serial map, and a real port on the test
# machine (perhaps its console) must not be sent anything.
declare -A port=([unit_tests]=COM41 [update]=COM11 [fallback]=COM12 [refusal]=COM13
  [decline]=COM14 [absent]=COM15 [interrupt]=COM16 [console]=COM18 [found]=COM17)
declare -A port_device=([COM42]="$work/no-such-device" [COM1]="$work/no-such-device"
  [COM2]="$work/no-such-device" [COM3]="$work/no-such-device" [COM4]="$work/no-such-device")
# A unit's port leads to its pseudo-terminal through a link of the script's own, which is pointed
# nowhere once the unit is done: a pseudo-terminal's number, freed when its simulator ends, may
# go to any other program on the machine, and --port auto below must not reach that one.
for name in "${!port[@]}"; do
  ln -sfn "${sim_device[$name]}" "$work/${port[$name]}.tty"
  port_device[${port[$name]}]=$work/${port[$name]}.tty
done

# start_wineserver: a wineserver that stays until it is told to go (one that ends by itself a
# few seconds after its last program may go while the next one connects). Its output, an object
# dump when it ends after the interrupted run, goes to a log.
start_wineserver() {
  timeout "$short_limit" wineserver -p </dev/null >>"$work/wineserver.log" 2>&1 ||
    fail "the wineserver did not start (see $work/wineserver.log)"
}

# One fresh prefix, made before any test starts, with every port in the registry; the
# wineserver restarted once to read them, a first program that returns once Wine's own services
# (which make the links) are up, and each link Wine made checked.
start_wineserver
timeout "$run_limit" wineboot -i >"$work/wineboot.log" 2>&1 || fail "wineboot failed (see $work/wineboot.log)"
{
  printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
  for com in "${!port_device[@]}"; do printf '"%s"="%s"\n' "$com" "${port_device[$com]}"; done
} >"$work/ports.reg"
timeout "$short_limit" wine reg import "$work/ports.reg" >>"$work/wineboot.log" 2>&1 ||
  fail "cannot map the ports (see $work/wineboot.log)"
timeout "$short_limit" wineserver -k || fail "wineserver -k failed"
timeout "$short_limit" wineserver -w || fail "the wineserver did not stop"
start_wineserver
timeout "$short_limit" wine cmd /c exit 0 </dev/null >>"$work/wineserver.log" 2>&1 ||
  fail "Wine did not start again (see $work/wineserver.log)"
for com in "${!port_device[@]}"; do
  link="$WINEPREFIX/dosdevices/${com,,}"
  [ "$(readlink "$link")" = "${port_device[$com]}" ] ||
    fail "$com is not mapped to ${port_device[$com]} ($link -> $(readlink "$link" || true))"
done

# run_updater NAME KEYS ARGS...: one run with KEYS as standard input (a pipe); its exit status
# lands in NAME.status.
run_updater() {
  local name=$1 keys=$2 status=0
  shift 2
  timeout "$run_limit" wine "$updater" "$@" < <(printf '%s' "$keys") >"$work/$name.out" \
    2>"$work/$name.err" || status=$?
  echo "$status" >"$work/$name.status"
}

# run_interrupted NAME ARGS...: a run that gets SIGINT, which Wine hands to the program as a
# Ctrl-C console event, while it downloads the main image. A run that does not end after it is
# killed and leaves NAME.stuck.
run_interrupted() {
  local name=$1 status=0
  shift
  wine "$updater" "$@" </dev/null >"$work/$name.out" 2>"$work/$name.err" &
  local pid=$!
  for _ in $(seq 1200); do
    grep -q "Sending SW update\.\.\.\." "$work/$name.out" && break
    sleep 0.1
  done
  kill -INT "$pid" 2>/dev/null || true
  for _ in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid"
    touch "$work/$name.stuck"
  fi
  wait "$pid" || status=$?
  echo "$status" >"$work/$name.status"
}

# run_console NAME: a run on a console (a pseudo-terminal, which Wine's console host serves),
# under cmd so that the console outlives it: while the run waits at the question about an
# unknown unit, the console's input mode is read from outside (the checker joins the console);
# then SIGINT, which Wine hands to the program as a Ctrl-C console event; then the checker runs
# in the same console. The console must keep line input and echo throughout. The updater runs
# under a name of its own, so that the checker finds its console and no other run's.
run_console() {
  local name=$1 status=0 pid=""
  local dir=$work/$name.run
  mkdir -p "$dir"
  cp "$updater" "$dir/quorel-console-run.exe"
  mkfifo "$dir/keys"
  local command
  command="wine cmd /c \"$(winepath -w "$dir/quorel-console-run.exe") --port ${port[$name]} & $(winepath -w "$mode_check")\""
  script -qfec "$command" /dev/null <"$dir/keys" >"$dir/console" 2>&1 &
  local session=$!
  exec 8>"$dir/keys"
  for _ in $(seq 1200); do
    grep -q "(y/n)" "$dir/console" && break
    sleep 0.1
  done
  timeout "$short_limit" wine "$mode_check" quorel-console-run.exe </dev/null \
    >"$work/$name.waiting" 2>&1 || true
  pid=$(ps -eo pid=,args= | grep -F -- "quorel-console-run.exe --port ${port[$name]}" |
    grep -v -e script -e "cmd" -e grep | awk '{print $1; exit}')
  [ -n "$pid" ] && kill -INT "$pid" 2>/dev/null
  for _ in $(seq 300); do
    kill -0 "$session" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$session" 2>/dev/null && { kill -KILL "$session"; touch "$work/$name.stuck"; }
  exec 8>&-
  wait "$session" || status=$?
  echo "$status" >"$work/$name.status"
  # The console host draws a space as a cursor step; the rest of its drawing goes.
  sed 's/\x1b\[1C/ /g; s/\x1b\[[0-9;?]*[A-Za-z]//g' "$dir/console" | tr -d '\r' >"$work/$name.out"
}

echo "test-windows: backend and console tests, and end-to-end runs (update, fallback, refusal," \
  "decline, absent, interrupt, interrupt on a console), side by side"
QUOREL_TEST_UNIT_PORT=${port[unit_tests]} QUOREL_TEST_MISSING_PORT=COM42 \
  QUOREL_TEST_UNMAPPED_PORT=COM43 timeout "$run_limit" wine "$unit_tests" </dev/null \
  >"$work/unit_tests.out" 2>&1 &
run_pid[unit_tests]=$!
run_updater update x --port "${port[update]}" &
run_pid[update]=$!
run_updater fallback x --port "${port[fallback]}" &
run_pid[fallback]=$!
run_updater refusal x --port "${port[refusal]}" &
run_pid[refusal]=$!
run_updater decline n --port "${port[decline]}" &
run_pid[decline]=$!
run_updater absent "" --port "${port[absent]}" &
run_pid[absent]=$!
run_interrupted interrupt --port "${port[interrupt]}" &
run_pid[interrupt]=$!
run_console console &
run_pid[console]=$!

status=0
wait "${run_pid[unit_tests]}" || status=$?
unset "run_pid[unit_tests]"
cat "$work/unit_tests.out"
[ "$status" -eq 0 ] || fail "the Windows unit tests failed (status $status)"
for name in "${!run_pid[@]}"; do
  wait "${run_pid[$name]}" || fail "$name: the run could not be made"
  unset "run_pid[$name]"
done

# wait_sim NAME: the simulator ends by itself once the unit is done (--exit-when-done).
wait_sim() {
  local pid=${sim_pid[$1]}
  for _ in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && fail "$1: the simulated unit did not finish"
  wait "$pid" || fail "$1: quorel-sim failed: $(tail -n 3 "$work/$1.sim")"
  unset "sim_pid[$1]"
}
for name in update fallback refusal decline interrupt console; do wait_sim "$name"; done

# --port auto once the runs side by side are over, since it asks every COM port of the serial
# map: the unit on COM17 among the silent unit's COM15 and ports that lead nowhere (those of the
# finished runs, of the backend tests, whose unit is let go first, and COM1 to COM4).
echo "test-windows: --port auto among the mapped COM ports"
kill "${sim_pid[unit_tests]}" 2>/dev/null || true
wait "${sim_pid[unit_tests]}" 2>/dev/null || true
unset "sim_pid[unit_tests]"
for name in unit_tests update fallback refusal decline interrupt console; do
  ln -sfn "$work/no-such-device" "$work/${port[$name]}.tty"
done
run_updater found x --port auto
wait_sim found

failures=0
# problem TEXT: one failed check, told at once; the script fails at the end.
problem() {
  echo "test-windows: $*" >&2
  failures=$((failures + 1))
}

# check_run NAME STATUS: the updater's exit status and its console text, byte for byte but for
# the path of the settings copy a converting run keeps, shown as <copy>.
check_run() {
  local name=$1 want=$2 got
  got=$(cat "$work/$name.status")
  [ "$got" = "$want" ] || problem "$name: exit status $got, expected $want"
  sed -i 's/^\(Copy of the settings kept in \).*$/\1<copy>/' "$work/$name.out"
  if ! cmp -s "$expected/$name.txt" "$work/$name.out"; then
    problem "$name: console text differs from $expected/$name.txt:"
    diff <(od -c "$expected/$name.txt") <(od -c "$work/$name.out") | head -n 20 >&2 || true
  fi
}

. "$root/scripts/unit-checks.sh"

check_run update 1
check_run fallback 1
check_run refusal 1
check_run decline 1
check_run absent 0
# The run found on COM17 is the refusal's run, byte for byte, after one probe.
[ "$(cat "$work/found.status")" = 1 ] || problem "found: exit status $(cat "$work/found.status")"
cmp -s "$expected/refusal.txt" "$work/found.out" ||
  problem "found: console text differs from $expected/refusal.txt"
grep -qx "quorel-update: --port auto found the unit on COM17" "$work/found.err" ||
  problem "found: the unit was not found on COM17: $(cat "$work/found.err")"
[ "$(cut -d' ' -f3- "$work/found.transcript")" = "E
$(cut -d' ' -f3- "$work/refusal.transcript")" ] ||
  problem "found: the unit's commands are not one E and the refusal's run"
sim_says update "flashed: yes; left update mode: no"
sim_says fallback "flashed: yes; left update mode: no"
sim_says refusal "flashed: no; left update mode: yes"
sim_says decline "flashed: no; left update mode: yes"
images_flashed update
images_flashed fallback
grep -q " 14400 F5382$" "$work/fallback.transcript" ||
  problem "fallback: the unit was not flashed at 14400"
# The three converting runs kept their copies in %LOCALAPPDATA%\quorel-update, none over another.
copies=$(ls "$WINEPREFIX"/drive_c/users/*/AppData/Local/quorel-update/QuorelPro-042303-*.cfg 2>/dev/null | wc -l)
[ "$copies" -eq 3 ] || problem "$copies settings copies in %LOCALAPPDATA%\\quorel-update, expected 3"
# The block in progress completed, the unit told to leave update mode, and the run's last words.
[ ! -e "$work/interrupt.stuck" ] || problem "interrupt: the run did not end after the interrupt"
sim_says interrupt "flashed: no; left update mode: yes"
if [ "$(cat "$work/interrupt.status")" != 130 ] ||
  [ "$(tail -c 55 "$work/interrupt.out")" != "$(printf '\nInterrupted. The unit was not flashed. Update exiting\n')" ]; then
  problem "interrupt: status $(cat "$work/interrupt.status"), ending: $(tail -c 60 "$work/interrupt.out")"
fi

# On a console: the question's key wait leaves the console's modes as they were, and so does
# the interrupt; the run says why it ended and the unit was let go.
[ ! -e "$work/console.stuck" ] || problem "console: the run did not end after the interrupt"
tr -d '\r' <"$work/console.waiting" | grep -q "^console input mode 0x[0-9a-f]*: line input on, echo on$" ||
  problem "console: while the question waits: $(cat "$work/console.waiting")"
grep -q "^Interrupted. The unit was not flashed. Update exiting$" "$work/console.out" ||
  problem "console: the run did not say it was interrupted: $(tail -n 3 "$work/console.out")"
[ "$(grep -c "^console input mode 0x[0-9a-f]*: line input on, echo on$" "$work/console.out")" = 1 ] ||
  problem "console: after the interrupted run: $(grep "console input mode\|no console" "$work/console.out")"
sim_says console "flashed: no; left update mode: yes"

if [ "$failures" -ne 0 ]; then
  fail "$failures end-to-end check(s) failed; the runs are in $work"
fi
echo "test-windows: every Windows test passed"
