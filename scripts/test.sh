#!/usr/bin/env bash
# Runs every test: the C++ unit tests (CTest) and the Python suite (pytest)
# against the module as `pip install .` builds it.
source "$(dirname "$0")/env.sh"

ensure_debian_packages g++ cmake ninja-build libgtest-dev python3-venv
ensure_venv
install_module

echo "== C++ unit tests"
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZELK_BUILD_TESTS=ON -DZELK_BUILD_BENCH=ON -DZELK_BUILD_EXTENSION=OFF >/dev/null
cmake --build build/tests
# The native timing loop still builds and round-trips, on one thread and on two.
"$PY" -c 'import math, sys; sys.stdout.buffer.write(bytes(int(128 + 90 * math.sin(i / 40) + i % 5) for i in range(400000)))' \
  > build/tests/signal.bin
build/tests/zelk_loop build/tests/signal.bin 400000 2 1
build/tests/zelk_loop build/tests/signal.bin 400000 2 2
ctest --test-dir build/tests --output-on-failure --no-tests=error -j2

echo "== Python tests"
# Run from the tests folder so that the installed module, not the source tree, is imported.
(cd tests/python && "$PY" -m pytest -q -p no:cacheprovider)

echo "== C++ unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/tests-sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZELK_BUILD_TESTS=ON -DZELK_BUILD_EXTENSION=OFF -DZELK_SANITIZE=ON >/dev/null
cmake --build build/tests-sanitize
ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/tests-sanitize --output-on-failure --no-tests=error -j2

echo "== the multi-threaded code under ThreadSanitizer"
cmake -S . -B build/tests-threads -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZELK_BUILD_TESTS=ON -DZELK_BUILD_EXTENSION=OFF -DZELK_SANITIZE_THREADS=ON >/dev/null
cmake --build build/tests-threads
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tests-threads --output-on-failure --no-tests=error -j2 \
  -R 'PredictionPipeline|TwoThreads|ThreadPool|Frame'

echo "== fuzzing, briefly"
bash scripts/fuzz.sh "${ZELK_FUZZ_SECONDS:-30}"

# ---- the zelk command: its tests drive the program pip installed ----------
echo "== command-line tests"
ZELK_BIN="$ZELK_ROOT/.venv/bin/zelk" "$PY" -m pytest -q -p no:cacheprovider tests/cli
