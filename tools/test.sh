#!/usr/bin/env bash
# Sets up, builds and runs every test, then the engine and step suites shuffled;
# then does it all again under ASan+UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh

JOBS=$(nproc)
run() {
  local dir=$1; shift
  # The tests are left out where GoogleTest is missing; here that is an error, not an empty run.
  cmake -S . -B "$dir" -G Ninja -DCMAKE_REQUIRE_FIND_PACKAGE_GTest=ON "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
  (cd "$dir" && ctest --output-on-failure -j "$JOBS" --timeout 600)
  # ctest runs each test in a process of its own; here the engine and step suites
  # run in one process each, in random order and three times over, so that a test
  # whose outcome depends on what ran before it fails. KXMP_SEED replays an order.
  local suite seed=${KXMP_SEED:-$((RANDOM % 99999 + 1))}
  for suite in engine/kx_engine_tests bringup/kx_step_tests device/kx_device_tests; do
    echo "$suite shuffled, seed $seed"
    "$dir/tests/$suite" --gtest_shuffle --gtest_repeat="${REPEAT:-3}" --gtest_random_seed="$seed" --gtest_brief=1
  done
}

echo "== real-disk back end against a Linux kernel in QEMU =="
bash tools/kernel-test.sh

echo "== build and test (release) =="
run build
echo "== build and test (AddressSanitizer + UndefinedBehaviorSanitizer) =="
# Shuffled once here: the three repeats of the release run cover the orders, this one the memory.
REPEAT=1 ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run build-asan -DKXMP_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
echo "== build with clang =="
# Unoptimised: this build only checks that clang takes the code.
cmake -S . -B build-clang -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DCMAKE_BUILD_TYPE=Debug \
  -DKXMP_BENCH=OFF >/dev/null
cmake --build build-clang -j "$JOBS"
