#!/bin/sh
# Builds the whole project with AddressSanitizer and UndefinedBehaviorSanitizer in a
# second build directory and runs the whole test suite there: any memory error, leak
# or undefined behaviour fails the test that met it.
#   scripts/test-sanitized.sh [extra ctest arguments]
set -eu
cd "$(dirname "$0")/.."

build=${MKX_SANITIZE_BUILD:-build-asan}
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMKX_SANITIZE=ON
cmake --build "$build" -j "$jobs"
# The Debian package test is left to the normal run: a sanitized program depends on the
# sanitizer run-time libraries, which no package of ours should.
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1} \
  ctest --test-dir "$build" --output-on-failure -j "$jobs" -E '^packaging[.]deb_package$' "$@"
