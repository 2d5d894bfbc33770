#!/usr/bin/env bash
# Sets up, builds and runs every test: once in a normal build, once more under
# AddressSanitizer + UndefinedBehaviorSanitizer; then runs the fuzz targets.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=$(nproc)
# A few integration suites still race for shared resources when run in parallel (an Xvfb
# display number taken between a server's stop and its restart, start-up under load); a
# failed test gets one more run so such a race does not fail the whole suite, while a real
# fault fails both runs. Removing those races is tracked work; this is the stop-gap.
retry=(--repeat until-pass:2)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build
# The Debian package; a test checks its file list and Depends: line.
(cd build && cpack -G DEB)
ctest --test-dir build --output-on-failure -j "$jobs" "${retry[@]}"

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVO_SANITIZE=ON -DORVO_BUILD_BENCH=OFF
cmake --build build-asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" "${retry[@]}"

# Fuzzing (clang, libFuzzer + ASan/UBSan, own build directory): every target over its seeds and
# kept findings, then 60 s of fuzzing each, two targets at a time. No retry: a finding is a failure.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVO_FUZZ=ON
cmake --build build-fuzz
ctest --test-dir build-fuzz --output-on-failure -j "$jobs" -L '^fuzz-regression$'
ctest --test-dir build-fuzz --output-on-failure -j "$jobs" -L '^fuzz$'
