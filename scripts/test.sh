#!/usr/bin/env bash
# scripts/test.sh [--sanitize]
# Installs what is missing, builds from scratch-safe build folders and runs
# every test. With --sanitize the build uses AddressSanitizer and
# UndefinedBehaviorSanitizer (folder build-asan).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
dir=build
opts=()
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-asan
  opts=(-DKX_SANITIZE=ON -DKX_BENCH=OFF)
fi
cmake -S . -B "$dir" "${opts[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)"
