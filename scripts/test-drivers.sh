#!/usr/bin/env bash
# The updater on the kernel's real serial drivers: boots Debian's kernel in QEMU (TCG, no KVM)
# with a small initramfs built here (static busybox, the updater and a settings probe linked
# statically, the USB modules of the kernel package), and runs the shipped quorel-update in the
# guest on two emulated lines at once, each with quorel-sim on the host end:
#   ttyS1    a 16550 UART (the 8250 driver), host end a pseudo-terminal QEMU holds
#   ttyUSB0  QEMU's FTDI adapter on a UHCI controller (ftdi_sio behind usbserial), host end
#            likewise a pseudo-terminal
# The guest's console goes to build-drivers/guest/console.log; the host drives the guest through
# a third UART (the control line, two FIFOs) and QEMU's monitor (two more), which pulls the
# adapter out and plugs it back. scripts/test.sh runs this after the Linux suite; every failure,
# a missing package or a QEMU that will not start included, fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-drivers
work=$build/guest
started=$SECONDS

fail() {
  echo "test-drivers: $*" >&2
  if [ -s "$work/console.log" ]; then
    echo "test-drivers: the guest console's last lines:" >&2
    tail -n 25 "$work/console.log" >&2
  fi
  exit 1
}

command -v qemu-system-x86_64 >/dev/null 2>&1 ||
  fail "qemu-system-x86_64 is missing (scripts/setup.sh --tests installs qemu-system-x86)"
busybox=/bin/busybox
[ -x "$busybox" ] && dpkg -s busybox-static >/dev/null 2>&1 ||
  fail "a static busybox is missing (scripts/setup.sh --tests installs busybox-static)"
command -v cpio >/dev/null 2>&1 || fail "cpio is missing"
kernel=$(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n 1 || true)
[ -n "$kernel" ] || fail "no kernel in /boot (scripts/setup.sh --tests installs linux-image-amd64)"
[ -r "$kernel" ] || fail "$kernel is not readable"
kversion=${kernel#/boot/vmlinuz-}
modules=/lib/modules/$kversion
[ -f "$modules/modules.dep" ] || fail "$modules/modules.dep is missing"

# The updater, the simulator and the probe, linked statically (the guest has no C library).
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUOREL_BUILD_TESTS=OFF \
  -DCMAKE_EXE_LINKER_FLAGS=-static >/dev/null
cmake --build "$build" -j"$jobs" --target quorel-update quorel-sim
c++ -std=c++17 -O1 -Wall -Wextra -Wconversion -Werror -static -o "$build/port-probe" \
  tests/drivers/port_probe.cpp
updater=$build/quorel-update
sim=$build/quorel-sim

# The initramfs: busybox, the programs, init and its helpers, the expected console texts, and
# the modules with everything they need, dependencies first (modules.dep lists them).
rm -rf "$work"
mkdir -p "$work/root/bin" "$work/root/modules" "$work/root/expected"
cp "$busybox" "$work/root/bin/busybox"
cp "$updater" "$build/port-probe" "$work/root/bin/"
cp tests/drivers/init "$work/root/init"
cp tests/drivers/guest.sh "$work/root/guest.sh"
cp tests/win32/expected/update.txt tests/drivers/expected/silent.txt "$work/root/expected/"
chmod +x "$work/root/init"
declare -A loaded=()
order=()
add_module() {
  local path
  path=$(grep -E "(^|/)$1\.ko:" "$modules/modules.dep" | head -n 1 | cut -d: -f1)
  [ -n "$path" ] || fail "module $1 is not in $modules"
  [ -n "${loaded[$path]:-}" ] && return 0
  local dep
  for dep in $(grep -E "^$path:" "$modules/modules.dep" | cut -d: -f2); do
    add_module "$(basename "$dep" .ko)"
  done
  loaded[$path]=1
  cp "$modules/$path" "$work/root/modules/"
  order+=("$(basename "$path")")
}
for module in uhci-hcd usbserial ftdi_sio; do add_module "$module"; done
printf '%s\n' "${order[@]}" >"$work/root/modules/order"
(cd "$work/root" && find . | cpio -o -H newc --quiet) >"$work/initramfs.cpio"

# The control line and the monitor: FIFO pairs QEMU opens read-write (NAME.in to QEMU,
# NAME.out from it), so neither side waits for the other to open.
mkfifo "$work/ctl.in" "$work/ctl.out" "$work/mon.in" "$work/mon.out"
qemu_pid=""
sim_pids=()
monitor_reader=""
cleanup() {
  local pid
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null || true
  [ -n "$monitor_reader" ] && kill "$monitor_reader" 2>/dev/null || true
  return 0
}
trap cleanup EXIT
trap 'fail "unexpected failure at line $LINENO"' ERR

timeout 600 qemu-system-x86_64 -M pc -accel tcg -m 256 -nodefaults -no-user-config \
  -display none -no-reboot -kernel "$kernel" -initrd "$work/initramfs.cpio" \
  -append "console=ttyS0 panic=-1 quiet" \
  -chardev file,id=console,path="$work/console.log" -device isa-serial,chardev=console \
  -chardev pty,id=uart -device isa-serial,chardev=uart \
  -chardev pipe,id=control,path="$work/ctl" -device isa-serial,chardev=control \
  -chardev pty,id=usbline -usb -device usb-serial,chardev=usbline,id=adapter \
  -chardev pipe,id=monitor,path="$work/mon" -mon chardev=monitor,mode=readline \
  -trace serial_update_parameters -trace usb_serial_set_baud -D "$work/rates.log" \
  >"$work/qemu.log" 2>&1 &
qemu_pid=$!
exec {ctl_w}<>"$work/ctl.in" {ctl_r}<>"$work/ctl.out" {mon_w}<>"$work/mon.in"
cat "$work/mon.out" >"$work/monitor.log" &
monitor_reader=$!

# pty_of LABEL: the host end QEMU made for a pseudo-terminal chardev.
pty_of() {
  local path=""
  for _ in $(seq 100); do
    path=$(sed -n "s|.*redirected to \(/dev/pts/[0-9]*\) (label $1).*|\1|p" "$work/qemu.log")
    [ -n "$path" ] && break
    kill -0 "$qemu_pid" 2>/dev/null || fail "QEMU ended: $(cat "$work/qemu.log")"
    sleep 0.1
  done
  [ -n "$path" ] || fail "QEMU made no pseudo-terminal for $1: $(cat "$work/qemu.log")"
  echo "$path"
}
uart_host=$(pty_of uart)
usb_host=$(pty_of usbline)
# Held open for the whole run: QEMU drops what the guest sends on a pseudo-terminal nobody has
# open, and its USB adapter stays unplugged (no ttyUSB0 in the guest) until the host end is open.
exec {uart_hold}<>"$uart_host" {usb_hold}<>"$usb_host"

# guest SECONDS COMMAND: runs COMMAND in the guest's shell; prints its output, returns its status
# (124 when it takes longer). Each command carries a number of its own, so what a command that
# ran out of time sends back later is told apart and dropped.
guest() {
  local limit=$1 line deadline seq=$RANDOM$RANDOM out=""
  shift
  printf '%s %s\n' "$seq" "$*" >&"$ctl_w"
  deadline=$((SECONDS + limit))
  while [ "$SECONDS" -lt "$deadline" ]; do
    IFS= read -r -t $((deadline - SECONDS + 1)) line <&"$ctl_r" || break
    case $line in
      "@@rc $seq "*)
        printf '%s' "$out"
        return "${line##* }"
        ;;
      "@@rc "*) out="" ;;
      *) out+=$line$'\n' ;;
    esac
  done
  echo "test-drivers: the guest did not answer '$*' within $limit s" >&2
  return 124
}

# monitor COMMAND: one command to QEMU's monitor.
monitor() {
  printf '%s\n' "$*" >&"$mon_w"
}

boot_start=$SECONDS
line=""
IFS= read -r -t 60 line <&"$ctl_r" || true
[ "$line" = "@@ready" ] || fail "the guest did not come up within 60 s (got '$line')"
boot_seconds=$((SECONDS - boot_start))
guest 30 appear /dev/ttyUSB0 20 || fail "no /dev/ttyUSB0 in the guest"
echo "test-drivers: guest up in ${boot_seconds} s ($kversion)"

# QUOREL_DRIVER_CASES picks some of the groups below (by hand; CI runs them all).
cases=" ${QUOREL_DRIVER_CASES:-paced fast ladder ports auto pull} "
wants() { [[ $cases == *" $1 "* ]]; }

failures=0
check() {
  echo "test-drivers: FAILED: $*" >&2
  failures=$((failures + 1))
}

# start_sim NAME HOST_END ARGS...: a simulated unit on the host end of a line.
start_sim() {
  local name=$1 device=$2
  shift 2
  "$sim" --device "$device" --transcript "$work/$name.transcript" --memory "$work/$name.memory" \
    "$@" >"$work/$name.sim" 2>&1 &
  sim_pids+=($!)
  eval "sim_pid_$name=$!"
  for _ in $(seq 50); do
    grep -q '^serving' "$work/$name.sim" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "quorel-sim for $name did not start: $(cat "$work/$name.sim")"
}

# stop_sim NAME: the simulator ends by itself once the unit is done; otherwise it is stopped.
stop_sim() {
  local pid_var="sim_pid_$1"
  local pid=${!pid_var}
  for _ in $(seq 30); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" || check "$1: quorel-sim failed: $(tail -n 3 "$work/$1.sim")"
}

problem() { check "$@"; }
. "$root/scripts/unit-checks.sh"

# status_is NAME SECONDS STATUS: the run ended with STATUS.
status_is() {
  local got
  got=$(guest $(($2 + 10)) finish "$1" "$2") || true
  [ "$got" = "status $3" ] || check "$1: $got, expected status $3"
}

# console_has NAME TEXT / console_lacks NAME TEXT
console_has() { guest 10 grep -qF -- "'$2'" "/tmp/$1.out" || check "$1: no '$2' on its console"; }
console_lacks() {
  if guest 10 grep -qF -- "'$2'" "/tmp/$1.out"; then check "$1: '$2' on its console"; fi
}

# applied NAME SPEED: the rate the driver reported for SPEED in the run's trace (empty if none).
applied() {
  guest 30 grep -m 1 "' at $2 bit/s: ok, applied '" "/tmp/$1.trace" |
    sed -n 's/.*applied \([0-9]*\).*/\1/p'
}

# The port's settings while the updater holds it, and a second updater on the same device.
settings_held() {
  local name=$1 device=$2 got
  got=$(guest 20 port-probe --pid "\$(cat /tmp/$name.pid)" "$device") ||
    check "$name: port-probe $device failed: $got"
  echo "test-drivers: $name: held: $got"
  case $got in
    *"speed=28800/28800 cs8=1 parenb=0 cstopb=0 crtscts=0 clocal=1 ixon=0 ixoff=0 icanon=0 echo=0 isig=0 opost=0"*) ;;
    *) check "$name: $device is not raw 8N1 at 28800 without flow control: $got" ;;
  esac
  case $got in
    *"dtr=0 rts=0"*) ;;
    *) check "$name: DTR and RTS are not both low on $device: $got" ;;
  esac
  guest 30 "start ${name}_second $device ''; finish ${name}_second 20" >/dev/null ||
    check "$name: the second updater did not end"
  guest 10 grep -q "'^quorel-update: cannot open $device: the port is in use'" \
    "/tmp/${name}_second.err" || check "$name: the second updater was not refused as in use"
  guest 10 grep -q "' open  $device at 9600 bit/s: failed'" "/tmp/${name}_second.trace" ||
    check "$name: the second updater's open did not fail"
  if guest 10 grep -q "' out '" "/tmp/${name}_second.trace"; then
    check "$name: the second updater sent bytes"
  fi
}

# lowlatency DEVICE [NAME]: the flag as the run NAME holds it, or after an open of its own.
lowlatency() {
  local pid=""
  [ -n "${2:-}" ] && pid="--pid \$(cat /tmp/$2.pid)"
  guest 20 port-probe $pid "$1" | sed -n 's/.*lowlatency=\([-01]\).*/\1/p'
}

# full_start SUFFIX [OPTION...]: full updates with configuration conversion on both lines at once
# (runs uart_SUFFIX and usb_SUFFIX), each up to "Connected".
full_start() {
  local suffix=$1 name
  shift
  start_sim "uart_$suffix" "$uart_host" --model pro --release 042303 --exit-when-done
  start_sim "usb_$suffix" "$usb_host" --model pro --release 042303 --exit-when-done
  guest 10 start "uart_$suffix" /dev/ttyS1 x "$@"
  guest 10 start "usb_$suffix" /dev/ttyUSB0 x "$@"
  for name in "uart_$suffix" "usb_$suffix"; do
    guest 60 waitfor "$name" Connected 50 || check "$name: never connected"
  done
}

# full_end SUFFIX: both runs flashed the unit with the payload and printed what a run on a
# pseudo-terminal prints.
full_end() {
  local name
  for name in "uart_$1" "usb_$1"; do
    status_is "$name" 240 1
    guest 10 same "$name" update.txt || check "$name: console text"
    stop_sim "$name"
    sim_says "$name" "flashed: yes; left update mode: no"
    images_flashed "$name"
  done
}

if wants paced; then
echo "test-drivers: full updates with configuration conversion, protocol's pace"
full_start full
settings_held uart_full /dev/ttyS1
settings_held usb_full /dev/ttyUSB0
full_end full
echo "test-drivers: after $((SECONDS - started)) s"
fi

if wants fast; then
echo "test-drivers: full updates with configuration conversion, --fast"
full_start fast --fast
uart_fast_latency=$(lowlatency /dev/ttyS1 uart_fast) || true
usb_fast_latency=$(lowlatency /dev/ttyUSB0 usb_fast) || true
full_end fast
uart_after_latency=$(lowlatency /dev/ttyS1) || true
usb_after_latency=$(lowlatency /dev/ttyUSB0) || true
# What --fast asks for is reported as the driver keeps it; whatever it keeps must be gone after
# the close (Linux 6.1's ftdi_sio and 8250 accept the request and keep no flag: both read 0).
echo "test-drivers: low latency under --fast: ttyS1 $uart_fast_latency, after $uart_after_latency;" \
  "ttyUSB0 $usb_fast_latency, after $usb_after_latency"
[ "$usb_after_latency" = 0 ] || check "ttyUSB0: low latency left set after the run"
[ "$uart_after_latency" = 0 ] || check "ttyS1: low latency left set after the run"
echo "test-drivers: after $((SECONDS - started)) s"

fi

if wants ladder; then
echo "test-drivers: the speed ladder down to 4800, and 1000 bit/s"
for line in uart usb; do
  host_end=$uart_host device=/dev/ttyS1
  [ "$line" = usb ] && host_end=$usb_host device=/dev/ttyUSB0
  start_sim "${line}_ladder" "$host_end" --model pro --release 020904 \
    --silent-speeds 28800,14400,9600 --silent-after-speed-commands 1 --exit-when-done
  guest 10 start "${line}_ladder" "$device" n
done
for line in uart usb; do
  status_is "${line}_ladder" 90 1
  console_has "${line}_ladder" "9600k RS232 speed not working trying 4800k"
  console_has "${line}_ladder" "Connected"
  [ "$(applied "${line}_ladder" 4800)" = 4800 ] || check "${line}_ladder: 4800 not applied"
  stop_sim "${line}_ladder"
done
for line in uart usb; do
  host_end=$uart_host device=/dev/ttyS1
  [ "$line" = usb ] && host_end=$usb_host device=/dev/ttyUSB0
  start_sim "${line}_1000" "$host_end" --model pro --release 020904 \
    --silent-speeds 2400 --silent-after-speed-commands 1 --exit-when-done
  guest 10 start "${line}_1000" "$device" "''" -s4
done
declare -A rate1000=()
for line in uart usb; do
  device=/dev/ttyS1
  [ "$line" = usb ] && device=/dev/ttyUSB0
  status_is "${line}_1000" 60 0
  rate=$(applied "${line}_1000" 1000) || true
  refused=$(guest 10 sed -n "'s/.*cannot run the line at 1000 bit\/s: it applied \([0-9]*\) bit\/s, more than 2 % off/\1/p'" "/tmp/${line}_1000.err") || true
  if [ -n "$rate" ]; then
    # Within 2 %: |rate - 1000| * 50 <= 1000.
    [ $(((rate > 1000 ? rate - 1000 : 1000 - rate) * 50 <= 1000)) = 1 ] ||
      check "${line}_1000: 1000 bit/s accepted at $rate"
    console_has "${line}_1000" "Connection cannot be made"
    rate1000[$line]="$rate (accepted)"
  elif [ -n "$refused" ]; then
    rate1000[$line]="$refused (refused)"
  else
    check "${line}_1000: neither an applied rate nor the refusal for 1000 bit/s"
  fi
  stop_sim "${line}_1000"
done
# The rates the emulated hardware was programmed with (QEMU's trace: the UART's divisor, every
# UART's; the FTDI's baud divisor), beside those the drivers reported.
rates_of() { sed -n "s/.*$1\([0-9]*\).*/\1/p" "$work/rates.log" | sort -un | tr '\n' ' '; }
echo "test-drivers: rates QEMU's hardware ran at: UARTs $(rates_of 'baudrate=');" \
  "FTDI $(rates_of 'baud rate ')"
echo "test-drivers: applied rates: ttyS1 28800 -> $(applied uart_full 28800)," \
  "14400 -> $(applied uart_full 14400), 1000 -> ${rate1000[uart]:-}; ttyUSB0 28800 ->" \
  "$(applied usb_full 28800), 14400 -> $(applied usb_full 14400), 1000 -> ${rate1000[usb]:-}"

fi

if wants ports; then
echo "test-drivers: --list-ports"
ports=$(guest 20 quorel-update --list-ports) || check "--list-ports failed"
echo "$ports" | sed 's/^/test-drivers:   /'
echo "$ports" | grep -q '^/dev/ttyS1  built-in UART' || check "--list-ports: no ttyS1 UART"
echo "$ports" | grep -q '^/dev/ttyUSB0  USB 0403:6001' || check "--list-ports: no ttyUSB0 0403:6001"

fi

if wants auto; then
# Asked in turn: the adapter, the console's UART and the idle UART (one E each, nothing back),
# and the control line, which another program holds in exclusive mode (skipped, never opened
# for use). The run then goes on with the adapter.
echo "test-drivers: --port auto: the unit on the USB adapter found among the UARTs"
start_sim usb_auto "$usb_host" --model pro --release 020904 --exit-when-done
guest 10 start usb_auto auto "''" --identify
status_is usb_auto 60 1
errors=$(guest 10 cat /tmp/usb_auto.err) || true
echo "$errors" | grep -qx "quorel-update: --port auto found the unit on /dev/ttyUSB0" ||
  check "usb_auto: the unit was not found on /dev/ttyUSB0: $errors"
echo "$errors" | grep -q "^quorel-update: cannot open /dev/ttyS2: the port is in use" ||
  check "usb_auto: the held control line was not skipped as in use: $errors"
traced=$(guest 10 grep "' open '" /tmp/usb_auto.trace) || true
echo "$traced" | head -n 5 | sed 's/^/test-drivers: usb_auto: /'
opens=$(echo "$traced" | sed 's/^ *[0-9]* open  //; s/, applied [0-9]*$//')
expected_opens="/dev/ttyUSB0 at 9600 bit/s: ok
/dev/ttyS0 at 9600 bit/s: ok
/dev/ttyS1 at 9600 bit/s: ok
/dev/ttyS2 at 9600 bit/s: failed (code 8)
/dev/ttyUSB0 at 9600 bit/s: ok"
[ "$(echo "$opens" | head -n 5)" = "$expected_opens" ] ||
  check "usb_auto: the ports were not asked in order: $opens"
console_has usb_auto "Connected"
stop_sim usb_auto
sim_says usb_auto "left update mode: yes"
[ "$(head -n 2 "$work/usb_auto.transcript" | awk '{ print $NF }' | tr '\n' ' ')" = "E E " ] ||
  check "usb_auto: the unit's first commands: $(head -n 3 "$work/usb_auto.transcript")"
guest 10 true || check "the control line did not answer after --port auto"
echo "test-drivers: after $((SECONDS - started)) s"
fi

if wants pull; then
echo "test-drivers: a unit silent mid-download on the UART; the adapter pulled out mid-download"
start_sim uart_silent "$uart_host" --model pro --release 020904 --silent-after-blocks 10
start_sim usb_pulled "$usb_host" --model pro --release 020904
guest 10 start uart_silent /dev/ttyS1 y
guest 10 start usb_pulled /dev/ttyUSB0 y --fast
guest 90 waitfor usb_pulled "'Sending SW update.....'" 80 || check "usb_pulled: no download"
pulled_at=$SECONDS
monitor device_del adapter
gone=$(guest 30 gone usb_pulled 20) || check "usb_pulled: $gone"
pulled_took=$((SECONDS - pulled_at))
echo "test-drivers: usb_pulled: $(echo "$gone" | tr "\n" " ")(host: ${pulled_took} s)"
[ "$pulled_took" -le 10 ] || check "usb_pulled: the run took ${pulled_took} s after the removal"
echo "$gone" | grep -q '^status 0$' || check "usb_pulled: not status 0"
cpu_cs=$(echo "$gone" | sed -n 's/.*cpu_cs=\([0-9]*\).*/\1/p')
ended_cs=$(echo "$gone" | sed -n 's/.*ended_cs=\([0-9]*\).*/\1/p')
[ -n "$cpu_cs" ] && [ $((cpu_cs * 2)) -le $((ended_cs + 10)) ] ||
  check "usb_pulled: busy after the removal ($gone)"
console_lacks usb_pulled "Now flashing"
console_has usb_pulled "The serial port stopped working"
console_has usb_pulled "The unit was not flashed"
stop_sim usb_pulled
status_is uart_silent 90 0
guest 10 same uart_silent silent.txt || check "uart_silent: console text"
stop_sim uart_silent

echo "test-drivers: the adapter plugged back in"
monitor device_add usb-serial,chardev=usbline,id=adapter
guest 30 appear /dev/ttyUSB0 20 || check "no /dev/ttyUSB0 after the adapter came back"
start_sim usb_back "$usb_host" --model pro --release 020904 --exit-when-done
guest 10 start usb_back /dev/ttyUSB0 y --fast
status_is usb_back 200 1
stop_sim usb_back
sim_says usb_back "flashed: yes; left update mode: no"
fi

printf 'poweroff -f\n' >&"$ctl_w"
for _ in $(seq 100); do
  kill -0 "$qemu_pid" 2>/dev/null || break
  sleep 0.1
done
total=$((SECONDS - started))
if [ "$failures" -ne 0 ]; then
  fail "$failures check(s) failed after $total s; the runs are in $work"
fi
echo "test-drivers: every check on the real drivers passed in $total s (guest boot ${boot_seconds} s)"
