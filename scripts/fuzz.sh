#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each for a while over its seed
# corpus; fails on the first target that crashes, hangs or breaks one of its checks.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]     (default: 20 seconds, every target)
#
# New inputs that the fuzzers find go to build-fuzz/corpus/<target>/, the input that broke a
# target to build-fuzz/artifacts/<target>/; the seed corpora in fuzz/corpus/ are only read.
# Replay a saved input with: build-fuzz/quorel-fuzz-<target> <file>
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
shift || true
if ! [[ "$seconds" =~ ^[0-9]+$ ]]; then
  echo "usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]" >&2
  exit 2
fi
if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz.sh: clang++ is needed for libFuzzer (scripts/setup.sh installs it)" >&2
  exit 1
fi

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in fuzz/*.cpp; do
    name=$(basename "$source" .cpp)
    targets+=("$name")
  done
fi

jobs=$(nproc)
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUOREL_FUZZ=ON -DQUOREL_BUILD_TESTS=OFF >/dev/null
build_targets=()
for name in "${targets[@]}"; do build_targets+=(--target "quorel-fuzz-$name"); done
cmake --build build-fuzz -j"$jobs" "${build_targets[@]}"

for name in "${targets[@]}"; do
  corpus=build-fuzz/corpus/$name
  artifacts=build-fuzz/artifacts/$name
  log=build-fuzz/fuzz-$name.log
  mkdir -p "$corpus" "$artifacts"
  echo "fuzz.sh: $name for ${seconds}s"
  # Standard error of the target itself is closed (-close_fd_mask=2): the payload generator
  # reports every bad line there. The fuzzer's own messages and crash reports still come out.
  if ! "./build-fuzz/quorel-fuzz-$name" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
      -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$artifacts/" \
      "$corpus" "fuzz/corpus/$name" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "fuzz.sh: $name FAILED; the input is in $artifacts/, the whole log in $log" >&2
    exit 1
  fi
  grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb" "$log" | sed "s/^/  /" || true
  grep -E "^#[0-9]+ +DONE" "$log" | tail -n 1 | sed "s/^/  /" || true
done
echo "fuzz.sh: every target ran ${seconds}s without a failure"
