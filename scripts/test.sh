#!/usr/bin/env bash
# Sets up the machine, builds and runs every test: once in the normal build and
# once with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)

scripts/build.sh build
(cd build && ctest -j"$jobs" --output-on-failure --timeout 600)

scripts/build.sh build-asan -DPLC_SANITIZE=ON -DPLC_BENCHMARKS=OFF
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest -j"$jobs" --output-on-failure --timeout 900)
