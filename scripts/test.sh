#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the test suite in a release
# build (the end-to-end tests once more with one thread, the installer's sequential decoder),
# the same suite again under AddressSanitizer and UndefinedBehaviorSanitizer (any report fails
# it), and a short run of every fuzz target. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)

echo "== release build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
echo "== end-to-end tests with ZN_THREADS=1"
ZN_THREADS=1 build/tests/test_e2e --gtest_brief=1

echo "== sanitizer build and tests"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Release -DZN_SANITIZE=ON -DZN_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs"

echo "== fuzz targets: corpus replay and a short run of each"
scripts/fuzz.sh
