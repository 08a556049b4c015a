#!/usr/bin/env bash
# Sets up, builds and runs every test; then does it again under ASan+UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh

JOBS=$(nproc)
run() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
  (cd "$dir" && ctest --output-on-failure -j "$JOBS" --timeout 600)
}

echo "== real-disk back end against a Linux kernel in QEMU =="
bash tools/kernel-test.sh

echo "== build and test (release) =="
run build
echo "== build and test (AddressSanitizer + UndefinedBehaviorSanitizer) =="
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run build-asan -DKXMP_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
