#!/usr/bin/env bash
# Runs one fuzz target on a temporary copy of its seeds and kept findings, so nothing is
# ever written into the source tree.
#   run-fuzzer.sh PROGRAM FUZZ_DIR TARGET ARTIFACT_DIR SECONDS RSS_MB
# SECONDS 0: each input once (a regression run). Otherwise fuzzes for that long and
# prints the corpus size before and after. A crash, leak, time-out or broken invariant
# fails the run; the input that caused it is kept in ARTIFACT_DIR.
set -euo pipefail
program=$1 fuzz_dir=$2 target=$3 artifacts=$4 seconds=$5 rss_mb=$6

work=$(mktemp -d "${TMPDIR:-/tmp}/orvo-fuzz-$target.XXXXXX")
# Files the target writes go to memory where possible: no disk flushes per input.
scratch=$(mktemp -d /dev/shm/orvo-fuzz-$target.XXXXXX 2>/dev/null || mktemp -d "$work/scratch.XXXXXX")
trap 'rm -rf "$work" "$scratch"' EXIT
mkdir -p "$work/corpus" "$artifacts"
for dir in "$fuzz_dir/corpus/$target" "$fuzz_dir/regressions/$target"; do
  [ -d "$dir" ] && find "$dir" -maxdepth 1 -type f -exec cp -t "$work/corpus" {} +
done
count() { find "$work/corpus" -type f | wc -l; }
start=$(count)

options=(-rss_limit_mb="$rss_mb" -timeout=30 -artifact_prefix="$artifacts/" -print_final_stats=1)
export ORVO_FUZZ_SCRATCH=$scratch
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
if [ "$seconds" = 0 ]; then
  echo "$target: $start inputs"
  "$program" "${options[@]}" -runs=0 "$work/corpus"
else
  echo "$target: corpus $start files at start; fuzzing for ${seconds}s"
  status=0
  # New inputs stay small (kept findings may be larger) so that each run is quick.
  "$program" "${options[@]}" -max_len=4096 -max_total_time="$seconds" "$work/corpus" || status=$?
  echo "$target: corpus $(count) files at end"
  exit $status
fi
