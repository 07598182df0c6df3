#!/usr/bin/env bash
# Runs each libFuzzer harness of fuzz/ for a while: scripts/fuzz.sh
# [SECONDS_PER_HARNESS] (default 60). The harnesses come from the sanitizer
# build (build/sanitize, preset "sanitize": clang, AddressSanitizer and
# UndefinedBehaviorSanitizer), which the test command also uses for the unit
# tests. New inputs that reach new coverage go to build/fuzz-corpus/; the
# committed seeds in fuzz/corpus/ are read, never written. A finding stops
# with non-zero status and leaves its crash-* file in build/sanitize/fuzz/.
source "$(dirname "$0")/env.sh"

seconds=${1:-60}
ensure_debian_packages clang-16 libclang-rt-16-dev libgtest-dev libzstd-dev zlib1g-dev python3-venv
[ -n "${PY:-}" ] || ensure_venv

cmake --preset sanitize >/dev/null
HARNESSES=(decode_chunk roundtrip matrix matrix_blob matrix_encoder frame_reader frame_round_trip sample_block wavelet
           error_feedback)
cmake --build --preset sanitize --target "${HARNESSES[@]/#/fuzz_}"

for name in "${HARNESSES[@]}"; do
  work=$ZELK_ROOT/build/fuzz-corpus/$name
  mkdir -p "$work"
  echo "== fuzz_$name for ${seconds}s"
  log=$ZELK_ROOT/build/sanitize/fuzz/$name.log
  status=0
  (cd build/sanitize/fuzz && ./fuzz_$name -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 \
     -max_len=65536 -print_final_stats=1 "$work" "$ZELK_ROOT/fuzz/corpus/$name") >"$log" 2>&1 || status=$?
  grep -E "^(#[0-9]+\s+DONE|stat::number_of_executed_units|stat::peak_rss_mb)" "$log" || true
  if [ "$status" -ne 0 ]; then
    grep -E -A 30 "==[0-9]+==ERROR|runtime error|deadly signal" "$log" | head -n 40
    echo "fuzz_$name found a fault (log: $log)"
    exit 1
  fi
done
