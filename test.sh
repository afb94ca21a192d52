#!/bin/bash
# Installs what the build and the tests need, builds, runs every test through CTest,
# then builds the unit tests again with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs them. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
install_deps test

JOBS=${JOBS:-$(nproc)}

echo "== build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTABULON_WERROR=OFF >/dev/null
cmake --build build -j "$JOBS"
echo "== tests"
(cd build && ctest --output-on-failure -j "$JOBS")

echo "== sanitizer build (ASan + UBSan)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTABULON_SANITIZE=ON -DTABULON_WERROR=OFF >/dev/null
cmake --build build-asan -j "$JOBS"
echo "== sanitizer tests"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest --output-on-failure -j "$JOBS" -L unit)
echo "== all tests passed"
