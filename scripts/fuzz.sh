#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, ASan + UBSan) and runs each for a
# while: scripts/fuzz.sh [SECONDS_PER_HARNESS] (default 60). New inputs that
# reach new coverage go to build/fuzz/corpus/; the committed seeds in
# fuzz/corpus/ are read, never written. A finding stops with non-zero status
# and leaves its crash-* file in build/fuzz/.
source "$(dirname "$0")/env.sh"

seconds=${1:-60}
ensure_debian_packages clang-16 libclang-rt-16-dev cmake ninja-build

CXX=clang++-16 cmake -S fuzz -B build/fuzz -G Ninja >/dev/null
cmake --build build/fuzz

for name in decode_chunk roundtrip matrix; do
  work=build/fuzz/corpus/$name
  mkdir -p "$work"
  echo "== fuzz_$name for ${seconds}s"
  log=build/fuzz/$name.log
  status=0
  (cd build/fuzz && ./fuzz_$name -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 \
     -max_len=65536 -print_final_stats=1 "../../$work" "../../fuzz/corpus/$name") >"$log" 2>&1 || status=$?
  grep -E "^(#[0-9]+\s+DONE|stat::number_of_executed_units|stat::peak_rss_mb)" "$log" || true
  if [ "$status" -ne 0 ]; then
    grep -E -A 30 "==[0-9]+==ERROR|runtime error|deadly signal" "$log" | head -n 40
    echo "fuzz_$name found a fault (log: $log)"
    exit 1
  fi
done
