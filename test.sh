#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test (the window ones offscreen).
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh

quorvel_install_missing
# The benchmarks are built too, so that they keep compiling; ./bench.sh runs them.
quorvel_build build/asan -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=ON -DBUILD_TESTING=ON -DQUORVEL_BENCH=ON
cd build/asan
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --output-on-failure
