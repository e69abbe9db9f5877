# Checks of a simulated unit after a run of quorel-sim, shared by the Windows tests and the tier
# on real drivers. Sourced; the caller sets $work (where NAME.sim and NAME.memory are), $root
# (the source tree) and defines problem TEXT (one failed check).

# sim_says NAME TEXT: the simulator's closing line holds TEXT.
sim_says() {
  grep -q "^stopped.*$2" "$work/$1.sim" ||
    problem "$1: the simulated unit did not end with '$2': $(tail -n 1 "$work/$1.sim")"
}

# same_bytes NAME FILE UNIT_ADDRESS FILE_OFFSET COUNT: the unit's memory holds the image's bytes.
same_bytes() {
  cmp -s -n "$5" <(tail -c +$(($3 + 1)) "$work/$1.memory") <(tail -c +$(($4 + 1)) "$2") ||
    problem "$1: unit memory from $(printf '%06x' "$3") differs from $2"
}

# images_flashed NAME: the unit's memory holds both images of the sample payload where they go.
images_flashed() {
  local sw=$root/data/payload/sw_image.bin hw=$root/data/payload/hw_image.bin
  same_bytes "$1" "$sw" 0 0 $((0x4000))
  same_bytes "$1" "$sw" $((0x8000)) $((0x8000)) $((0x20732 - 0x8000))
  same_bytes "$1" "$hw" $((0x40000)) 0 $((0x2C01E))
}
