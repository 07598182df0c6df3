#!/usr/bin/env bash
# Runs every test: the C++ unit tests (CTest) with the release compiler,
# under AddressSanitizer and UndefinedBehaviorSanitizer, and the threaded
# code under ThreadSanitizer; a short fuzz run; the Python suite (pytest)
# against the module as `pip install .` builds it; and the command's tests.
# Each build configuration is a preset of CMakePresets.json, built once in
# build/PRESET; the sanitizer build serves the unit tests and the fuzzers.
source "$(dirname "$0")/env.sh"

ensure_debian_packages g++ clang-16 libclang-rt-16-dev libgtest-dev libzstd-dev zlib1g-dev python3-venv ccache
step "set-up: .venv" ensure_venv
step "pip install ." install_module

native_timing_loop() {
  # The native timing loop still builds and round-trips, on one thread and on two.
  "$PY" -c 'import math, sys; sys.stdout.buffer.write(bytes(int(128 + 90 * math.sin(i / 40) + i % 5) for i in range(400000)))' \
    > build/tests/signal.bin
  build/tests/zelk_loop build/tests/signal.bin 400000 2 1
  build/tests/zelk_loop build/tests/signal.bin 400000 2 2
}

# Run from the tests folder so that the installed module, not the source tree, is imported.
python_tests() { (cd tests/python && "$PY" -m pytest -q -p no:cacheprovider); }
command_tests() { ZELK_BIN="$ZELK_ROOT/.venv/bin/zelk" "$PY" -m pytest -q -p no:cacheprovider tests/cli; }

step "C++ unit tests" ctest_preset tests
step "native timing loop" native_timing_loop
step "Python tests" python_tests
step "command-line tests" command_tests
step "C++ unit tests under AddressSanitizer and UndefinedBehaviorSanitizer" ctest_preset sanitize
step "the threaded code under ThreadSanitizer" ctest_preset threads
step "fuzzing, briefly" bash scripts/fuzz.sh "${ZELK_FUZZ_SECONDS:-15}"
timing_summary
