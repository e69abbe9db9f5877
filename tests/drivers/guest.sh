# Commands the tier on real drivers runs in the guest through the control line (see init).
# Every program runs under timeout; each run of the updater keeps its console text, standard
# error, trace, exit status and process id in /tmp/NAME.*.
# Its settings copies go to a folder of its own, /tmp/NAME.state/quorel-update.

# start NAME DEVICE KEYS [OPTION...]: the updater on DEVICE in the background, KEYS as its input.
start() {
  name=$1 device=$2
  printf '%s' "$3" >"/tmp/$name.keys"
  shift 3
  rm -f "/tmp/$name.status"
  (
    XDG_STATE_HOME=/tmp/$name.state \
      timeout 300 /bin/quorel-update --port "$device" --trace "/tmp/$name.trace" "$@" \
      <"/tmp/$name.keys" >"/tmp/$name.out" 2>"/tmp/$name.err" &
    echo $! >"/tmp/$name.pid"
    wait $!
    echo $? >"/tmp/$name.status"
  ) </dev/null >/dev/null 2>&1 &
}

# waitfor NAME TEXT SECONDS: until the run's console shows TEXT.
waitfor() {
  ticks=$(($3 * 10))
  while [ "$ticks" -gt 0 ]; do
    grep -qF -- "$2" "/tmp/$1.out" 2>/dev/null && return 0
    [ -f "/tmp/$1.status" ] && break
    sleep 0.1
    ticks=$((ticks - 1))
  done
  echo "$1: no '$2' on its console"
  return 1
}

# finish NAME SECONDS: waits for the run's end and prints "status N".
finish() {
  ticks=$(($2 * 10))
  while [ ! -f "/tmp/$1.status" ] && [ "$ticks" -gt 0 ]; do
    sleep 0.1
    ticks=$((ticks - 1))
  done
  [ -f "/tmp/$1.status" ] || { echo "$1: still running after $2 s"; return 1; }
  echo "status $(cat "/tmp/$1.status")"
}

# cpu PID: the process's user and system time so far, in clock ticks (1/100 s).
cpu() {
  set -- $(cat "/proc/$1/stat" 2>/dev/null)
  echo $((${14:-0} + ${15:-0}))
}

# uptime_cs: the guest's time since boot in hundredths of a second.
uptime_cs() {
  read -r up _ </proc/uptime
  echo "${up%.*}${up#*.}"
}

# gone NAME SECONDS: called right after the port went away; waits for the run's end and prints
# how long it took and how much processor time the updater used meanwhile (both in 1/100 s).
gone() {
  pid=$(cat "/tmp/$1.pid")
  t0=$(uptime_cs)
  c0=$(cpu "$pid")
  used=0
  ticks=$(($2 * 10))
  while [ ! -f "/tmp/$1.status" ] && [ "$ticks" -gt 0 ]; do
    c=$(cpu "$pid")
    [ "$c" -gt 0 ] && used=$((c - c0))
    sleep 0.1
    ticks=$((ticks - 1))
  done
  echo "ended_cs=$(($(uptime_cs) - t0)) cpu_cs=$used"
  finish "$1" 0
}

# same NAME EXPECTED: the run's console text is byte for byte /expected/EXPECTED, but for the
# path of the settings copy a converting run keeps (its name holds the time), shown as <copy>.
same() {
  sed -i 's/^\(Copy of the settings kept in \).*$/\1<copy>/' "/tmp/$1.out"
  cmp "/expected/$2" "/tmp/$1.out" && return 0
  echo "$1: console text differs from $2:"
  diff "/expected/$2" "/tmp/$1.out" | head -n 20
  return 1
}

# appear PATH SECONDS: until the device node exists.
appear() {
  ticks=$(($2 * 10))
  while [ ! -e "$1" ] && [ "$ticks" -gt 0 ]; do
    sleep 0.1
    ticks=$((ticks - 1))
  done
  [ -e "$1" ] || { echo "$1 did not appear within $2 s"; return 1; }
}
