#!/usr/bin/env bash
# Soak run: orvo-host streams four windows to orvo-client for a given time on a private
# Xvfb, and the host's resident memory, open descriptors (/proc/PID/fd) and threads are
# sampled every few seconds. After the warm-up all three must stay flat.
#
#   bench/soak/run.sh [SECONDS]     default 600 (10 minutes); e.g. 20 for a brief check
#
# Four xterms with coloured listings that change every second are mirrored (a large one
# sent at 1600 px wide, three smaller ones), one request open per window as clients do.
#
# Verdict, over the samples after the warm-up (the first fifth of the run, at most 60 s):
#   RSS flat:     median of the last third - median of the first third <= max(2 MiB, 5%)
#   descriptors:  max - min <= 2 (a closing socket may linger for a moment)
#   threads:      max == min
# Exit status 0 when all three are flat, 1 when one grows, 2 when the run itself failed.
#
# Environment: SOAK_SECONDS (instead of the argument), SAMPLE_EVERY (seconds, default 5),
# ORVO_BENCH_BUILD (build directory; default build-bench, configured in Release when
# missing), KEEP=1 (keep the logs and print where they are).
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${ORVO_BENCH_BUILD:-$root/build-bench}
duration=${1:-${SOAK_SECONDS:-600}}
every=${SAMPLE_EVERY:-5}
[[ $duration =~ ^[0-9]+$ && $duration -ge 2 ]] || { echo "usage: $0 [SECONDS >= 2]" >&2; exit 2; }
[ "$every" -le $((duration / 2)) ] || every=$(((duration + 3) / 4))
[ "$every" -ge 1 ] || every=1

source "$root/bench/desktop.sh"
bench_build 2 Xvfb openbox xterm xwininfo xprop cmake ninja

# --- a private display with a window manager and four xterms of changing text ----------
start_desktop 30

listing="while :; do ls -la --color=always /usr/lib/x86_64-linux-gnu /usr/share/doc /usr/bin; sleep 1; done"
start_term() {
  xterm -title "orvo-soak-$1" -geometry "$2" -fa Monospace -fs 10 -e sh -c "$listing" &
  pids+=($!)
}
start_term large 400x117
start_term small 150x47+60+60
start_term extra1 100x30+400+900
start_term extra2 100x30+800+900
window_id() { xwininfo -name "$1" | awk '/Window id:/ {print $4}'; }
viewable() { xwininfo -name "$1" | grep -q 'Map State: IsViewable'; }
windows=()
for name in large small extra1 extra2; do
  wait_for 10 viewable "orvo-soak-$name"
  windows+=(--window "$(($(window_id "orvo-soak-$name")))")
done

# --- the host on loopback, advertising nowhere, and a paired client -------------------
start_host "$work/host.log"
pair_client
session_port() { "$host_bin" ctl status | sed -n 's/.*session port \([0-9]*\).*/\1/p'; }
# A first frame of each window before the clock starts (a window just mapped may not be
# capturable for a moment).
wait_for 30 client stream --host "127.0.0.1:$(session_port)" --name orvo-soak "${windows[@]}" --frames 1

sample() {
  local rss threads fds
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$host_pid/status")
  threads=$(awk '/^Threads:/ {print $2}' "/proc/$host_pid/status")
  fds=$(find "/proc/$host_pid/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)
  echo "$1 $rss $fds $threads"
}

# --- stream for the given time, sampling as it goes ----------------------------------
echo "Orvo soak on $DISPLAY: four windows for ${duration}s, a sample every ${every}s; $(nproc) cores"
# A generous frame timeout: on a loaded machine a capture can take a second, and the run is
# about resources, not latency.
client stream --host "127.0.0.1:$(session_port)" --name orvo-soak "${windows[@]}" --seconds "$duration" \
  --frame-timeout 60 >"$work/stream.out" 2>"$work/stream.err" &
client_pid=$!
pids+=($client_pid)
samples=$work/samples
start=$SECONDS
printf '%8s %10s %5s %8s\n' seconds rss.KiB fds threads
while kill -0 "$client_pid" 2>/dev/null && kill -0 "$host_pid" 2>/dev/null; do
  line=$(sample $((SECONDS - start))) || break
  echo "$line" >>"$samples"
  printf '%8s %10s %5s %8s\n' $line
  for ((i = 0; i < every * 10; i++)); do
    kill -0 "$client_pid" 2>/dev/null || break
    sleep 0.1
  done
done
status=0
wait "$client_pid" || status=$?
if [ $status -ne 0 ] || ! kill -0 "$host_pid" 2>/dev/null; then
  echo "the stream ended early (client exit $status):" >&2
  tail -n 5 "$work/stream.err" "$work/host.log" >&2
  exit 2
fi
sed 's/^/  /' "$work/stream.out"

# --- the verdict -----------------------------------------------------------------------
warmup=$((duration / 5))
[ $warmup -le 60 ] || warmup=60
awk -v warmup="$warmup" '
  $1 >= warmup { n++; t[n] = $1; rss[n] = $2; fds[n] = $3; thr[n] = $4 }
  function median(a, from, to,    i, j, k, v, m) {
    m = 0
    for (i = from; i <= to; i++) v[++m] = a[i]
    for (i = 2; i <= m; i++) { k = v[i]; for (j = i - 1; j >= 1 && v[j] > k; j--) v[j + 1] = v[j]; v[j + 1] = k }
    return m % 2 ? v[(m + 1) / 2] : (v[m / 2] + v[m / 2 + 1]) / 2
  }
  function span(a,    i, lo, hi) { lo = hi = a[1]; for (i = 2; i <= n; i++) { if (a[i] < lo) lo = a[i]; if (a[i] > hi) hi = a[i] } return hi - lo }
  END {
    if (n < 2) { print "too few samples after the warm-up of " warmup " s"; exit 2 }
    third = int(n / 3); if (third < 1) third = 1
    early = median(rss, 1, third); late = median(rss, n - third + 1, n)
    allowed = early * 0.05; if (allowed < 2048) allowed = 2048
    rss_flat = late - early <= allowed
    fds_flat = span(fds) <= 2
    thr_flat = span(thr) == 0
    printf "after the %d s warm-up (%d samples, %d s to %d s):\n", warmup, n, t[1], t[n]
    printf "  rss      start %d KiB, end %d KiB; median first third %d, last third %d (allowed growth %d): %s\n", rss[1], rss[n], early, late, allowed, rss_flat ? "flat" : "GROWING"
    printf "  fds      start %d, end %d, span %d: %s\n", fds[1], fds[n], span(fds), fds_flat ? "flat" : "GROWING"
    printf "  threads  start %d, end %d, span %d: %s\n", thr[1], thr[n], span(thr), thr_flat ? "flat" : "CHANGING"
    verdict = rss_flat && fds_flat && thr_flat
    print "verdict: " (verdict ? "flat" : "NOT flat")
    exit verdict ? 0 : 1
  }' "$samples"
