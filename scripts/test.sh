#!/usr/bin/env bash
# Sets up, builds and runs every test: once in a normal build, once more under
# AddressSanitizer + UndefinedBehaviorSanitizer, once under ThreadSanitizer; then runs the
# fuzz targets.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=$(nproc)
# A test that lacks a component (a program, a daemon, root) fails instead of skipping, so
# the suite cannot pass by skipping (tests/support/Unavailable.h).
export ORVO_REQUIRE_ALL=${ORVO_REQUIRE_ALL:-1}
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build
# The Debian package; a test checks its file list and Depends: line.
(cd build && cpack -G DEB)
ctest --test-dir build --output-on-failure -j "$jobs" -LE bench-smoke
# Every benchmark once, with the least work and one at a time, so that none rots unnoticed.
ctest --test-dir build --output-on-failure -L bench-smoke

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVO_SANITIZE=ON -DORVO_BUILD_BENCH=OFF
cmake --build build-asan
# The abuse runs bound the host's memory, which ASan's quarantine of freed blocks (256 MB)
# inflates; they run in the normal build above, as does the private GNOME desktop (gnome:
# a whole desktop, none of whose code is ours; the host's side of it is the portal backend,
# which the wayland suite checks in every build).
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE '^(abuse|gnome)$'

# ThreadSanitizer: every test but the Qt panel's (Qt is not instrumented, so its threads
# only add noise) and the abuse runs (load, not threads; they run in the normal build). That is the queues, snapshot pump, strip workers, network and host
# in-process (unit), and the host crossing its main queue, five serial queues and send
# queue for real (integration suites, child orvo-host and orvo-client included). Reports
# go to files, checked after the run, so a race inside a child orvo-host fails the run even
# when its test passed.
# Newer kernels randomise mmap addresses more than this TSan's memory layout allows
# ("unexpected memory mapping"): the tests run with ASLR off (setarch -R) where the
# system permits it (a container's seccomp may not); otherwise root lowers vm.mmap_rnd_bits to 28.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVO_SANITIZE_THREAD=ON -DORVO_BUILD_BENCH=OFF
cmake --build build-tsan
no_aslr=()
if setarch "$(uname -m)" -R true 2>/dev/null; then
  no_aslr=(setarch "$(uname -m)" -R)
elif [ "$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 0)" -gt 28 ] && [ -w /proc/sys/vm/mmap_rnd_bits ]; then
  echo 28 > /proc/sys/vm/mmap_rnd_bits
fi
tsan_reports="$PWD/build-tsan/tsan-reports"
rm -rf "$tsan_reports" && mkdir -p "$tsan_reports"
tsan_status=0
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp log_path=$tsan_reports/race" \
  "${no_aslr[@]}" ctest --test-dir build-tsan --output-on-failure -j "$jobs" -LE '^(ui|abuse|gnome)$' \
  || tsan_status=$?
if compgen -G "$tsan_reports/race*" > /dev/null; then
  cat "$tsan_reports"/race*
  echo "ThreadSanitizer found the races above" >&2
  exit 1
fi
[ "$tsan_status" -eq 0 ] || exit "$tsan_status"

# Fuzzing (clang, libFuzzer + ASan/UBSan, own build directory): every target over its seeds and
# kept findings, then 30 s of fuzzing each, two targets at a time (longer runs: ORVO_FUZZ_SECONDS).
# A finding is a failure.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVO_FUZZ=ON \
  -DORVO_FUZZ_SECONDS="${ORVO_FUZZ_SECONDS:-30}"
cmake --build build-fuzz
ctest --test-dir build-fuzz --output-on-failure -j "$jobs" -L '^fuzz-regression$'
ctest --test-dir build-fuzz --output-on-failure -j "$jobs" -L '^fuzz$'
