#!/usr/bin/env bash
# End-to-end streaming benchmark: orvo-host and orvo-client on a private Xvfb, next to
# ffmpeg capturing the same windows at the same size in the same run.
#
#   bench/e2e/run.sh            installs and builds what it needs (Release, in build-bench/) and runs
#
# Two xterms with dense coloured text are mirrored: a large one (~3200x2000, sent at
# 1600 px wide by the interactive profile) and a small one (~1200x800, sent as it is).
# For each window the client pulls frames the way a client does (a new request as soon as
# a frame arrives) and reports frames per second, request-to-frame latency and bytes per
# frame; the host's CPU per frame comes from /proc/PID/stat (utime + stime) around the run.
# A second row per window keeps two requests open, to show what pipelining adds.
# ffmpeg's CPU per frame is measured the same way (user + system time of the process).
#
# Goals, each against its baseline in the same run: R2 = orvo fps / ffmpeg fps (one request
# open per window), R3 = host CPU per frame / ffmpeg CPU per frame; latency p50/p95 of the
# interactive frames (those with subsampled chroma; refine frames are interleaved, about
# every 0.4 s) and of all frames; PSNR of one interactive frame of each window, and of
# ffmpeg's frame, against the exactly box-downscaled window (the text held still for it),
# with the frames kept as samples; the host's resident memory while it streams four windows.
# Between two listings the windows are still and the host sends their kept frames again, so
# the same two rows follow with the host started again with ORVO_CAPTURE_WHOLE=1: the
# frame path itself, every frame captured, scaled and encoded whole.
#
# Change tracking: three more xterms of the large size, one at a time, each next to ffmpeg on
# the same window: still (a finished listing), typing (one line rewritten every 10 ms below a
# finished listing) and scrolling (a listing running without pause). Each is streamed by the
# host as it is and by the host started again with ORVO_CAPTURE_WHOLE=1 (every frame
# captured, scaled and encoded whole), in the same run. Goals: still host CPU per frame
# <= 0.5 ms and fps >= 5 x ffmpeg's; typing CPU per frame <= 0.3 x the whole path's;
# scrolling no worse than the whole path.
#
# Environment: FRAMES (default 300), WARMUP (default 30), LISTING_PAUSE (seconds between
# two listings in the xterms, default 1), SCENARIO_FRAMES (frames per change-tracking
# scenario, default 1000; SCENARIO_FRAMES=0 leaves them out), SCENARIOS_ONLY=1 (only those),
# ORVO_BENCH_BUILD (build directory), KEEP=1 (keep the logs of the run and print where they
# are), FRAME_TIMEOUT (seconds the client waits for a frame, default the client's; a quick
# check on a busy machine gives more).
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${ORVO_BENCH_BUILD:-$root/build-bench}
frames=${FRAMES:-300}
warmup=${WARMUP:-30}
pause=${LISTING_PAUSE:-1}

bash "$root/scripts/setup.sh"
source "$root/bench/desktop.sh"
bench_build 1 Xvfb openbox xterm xwininfo xprop ffmpeg ss cmake ninja

# --- a private display with a window manager and two xterms of coloured text -----------
start_desktop 30

listing="while :; do ls -la --color=always /usr/lib/x86_64-linux-gnu /usr/share/doc /usr/bin; sleep $pause; done"
xterm -title orvo-bench-large -geometry 400x117 -fa Monospace -fs 10 -e sh -c "$listing" &
pids+=($!)
terms=$!
xterm -title orvo-bench-small -geometry 150x47+60+60 -fa Monospace -fs 10 -e sh -c "$listing" &
pids+=($!)
terms="$terms,$!"
# Two more windows for the memory run of four windows.
for extra in 1 2; do
  xterm -title "orvo-bench-extra$extra" -geometry 100x30+$((400 * extra))+900 -fa Monospace -fs 10 -e sh -c "$listing" &
  pids+=($!)
done
window_id() { xwininfo -name "$1" | awk '/Window id:/ {print $4}'; }
window_size() { xwininfo -name "$1" | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w "x" h}'; }
# Mapped, not only named: a window not yet viewable gives no picture, and the client would
# wait in vain for its first frame.
viewable() { xwininfo -name "$1" | grep -q "Map State: IsViewable"; }
wait_for 30 viewable orvo-bench-large
wait_for 30 viewable orvo-bench-small
large=$(window_id orvo-bench-large)
small=$(window_id orvo-bench-small)

# --- the host, listening on loopback only, advertising nowhere ------------------------
host_log=$work/host.log
start_host "$host_log"
pair_client

# The session port moves whenever the paired list changes (a pairing, each hello), and
# nothing advertises it here: the client is told the one `ctl status` shows. (Trying the
# pairing port with the session key would count as a wrong pairing code.)
session_port() { host_ctl status | sed -n 's/.*session port \([0-9]*\).*/\1/p'; }
stream() {
  client stream --host "127.0.0.1:$(session_port)" --name orvo-bench ${FRAME_TIMEOUT:+--frame-timeout "$FRAME_TIMEOUT"} \
    "$@" >"$work/stream.out" 2>"$work/stream.err" || { cat "$work/stream.err" >&2; return 1; }
}

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
ticks_per_second=$(getconf CLK_TCK)
field() { sed -n "s/.*window=$2 .*$1=\([^ ]*\).*/\1/p" "$work/stream.out"; }

# One window through host and client: $3 requests kept open (1 as a client does).
# Sets fps, latency, p95, int_p50, int_p95, bytes, size and host_ms.
orvo_run() {
  local decimal=$(($1)) depth=$2 before after
  stream --window "$decimal" --frames "$warmup" --depth "$depth"
  before=$(cpu_ticks "$host_pid")
  stream --window "$decimal" --frames "$frames" --depth "$depth"
  after=$(cpu_ticks "$host_pid")
  fps=$(field fps "$decimal")
  latency=$(field latencyMedianMs "$decimal")
  p95=$(field latencyP95Ms "$decimal")
  int_p50=$(field subsampledMedianMs "$decimal")
  int_p95=$(field subsampledP95Ms "$decimal")
  bytes=$(field bytesPerFrame "$decimal")
  size=$(field size "$decimal")
  host_ms=$(awk -v t=$((after - before)) -v hz="$ticks_per_second" -v n="$frames" 'BEGIN {printf "%.2f", t * 1000 / hz / n}')
}

# ffmpeg capturing the window at width $2. Sets ffmpeg_fps, ffmpeg_own_fps and ffmpeg_ms.
ffmpeg_run() {
  local id=$1 width=$2 start end ticks ffmpeg_ticks=0
  start=$(date +%s.%N)
  ffmpeg -nostdin -f x11grab -framerate 1000 -draw_mouse 0 -window_id "$id" -i "$DISPLAY" -frames:v "$frames" \
    -fps_mode passthrough -vf "scale=$width:-2,format=yuvj420p" -c:v mjpeg -q:v 4 -f mjpeg -y /dev/null \
    >"$work/ffmpeg.log" 2>&1 &
  local ffmpeg_pid=$!
  # The last reading before the process is reaped is its total CPU time.
  while kill -0 "$ffmpeg_pid" 2>/dev/null; do
    ticks=$(cpu_ticks "$ffmpeg_pid" 2>/dev/null) && ffmpeg_ticks=$ticks
    sleep 0.02
  done
  wait "$ffmpeg_pid" || { tail -5 "$work/ffmpeg.log" >&2; return 1; }
  end=$(date +%s.%N)
  ffmpeg_ms=$(awk -v t="$ffmpeg_ticks" -v hz="$ticks_per_second" -v n="$frames" 'BEGIN {printf "%.1f", t * 1000 / hz / n}')
  ffmpeg_fps=$(awk -v s="$start" -v e="$end" -v n="$frames" 'BEGIN {printf "%.1f", n / (e - s)}')
  ffmpeg_own_fps=$(tr '\r' '\n' <"$work/ffmpeg.log" | sed -n 's/.*fps= *\([0-9.]*\).*/\1/p' | tail -n1)
}

row() {
  printf '%-8s %-10s %-10s %7s %8s %8s %8s %8s %6s %10s %9s   %7s %7s %9s   %5s %5s\n' "$@"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

measure() {
  local name=$1 id=$2 decimal=$(($2)) captured
  captured=$(window_size "orvo-bench-$name")
  orvo_run "$id" 1
  # The host's own timing lines (every 60th frame) of this window during the measured run.
  grep "^HOST win=$decimal " "$host_log" | tail -n "$((frames / 60))" >"$work/host-$name.timing" || true
  ffmpeg_run "$id" "${size%x*}"
  row "$name" "$captured" "$size" "$fps" "$latency" "$p95" "$int_p50" "$int_p95" "$(ratio "$int_p95" "$int_p50")" \
    "$bytes" "$host_ms" "$ffmpeg_fps" "$ffmpeg_own_fps" "$ffmpeg_ms" "$(ratio "$fps" "$ffmpeg_fps")" \
    "$(ratio "$host_ms" "$ffmpeg_ms")"
  if [ "${DEPTH2:-1}" = 1 ]; then
    orvo_run "$id" 2
    row "$name/2" "$captured" "$size" "$fps" "$latency" "$p95" "$int_p50" "$int_p95" "$(ratio "$int_p95" "$int_p50")" \
      "$bytes" "$host_ms" "" "" "" "$(ratio "$fps" "$ffmpeg_fps")" "$(ratio "$host_ms" "$ffmpeg_ms")"
  fi
}

# The host started again, capturing every frame whole; the client stays paired.
whole_host=0
restart_host_whole() {
  [ "$whole_host" = 1 ] && return 0
  kill "$host_pid"
  wait "$host_pid" 2>/dev/null || true
  host_log=$work/host-whole.log
  start_host "$host_log" ORVO_CAPTURE_WHOLE=1
  whole_host=1
}

if [ "${SCENARIOS_ONLY:-0}" != 1 ]; then
echo "Orvo end to end on $DISPLAY (3840x2160), $frames frames per window after $warmup warm-up frames; $(nproc) cores"
row window captured sent fps p50.ms p95.ms int.p50 int.p95 p95/50 bytes/frame cpu.ms ff.fps "(own)" ff.cpu.ms "R2" "R3"
measure large "$large"
measure small "$small"
echo "fps, p50/p95: orvo-host to orvo-client over TLS on loopback, all frames; int.*: interactive frames only;"
echo "cpu.ms: host CPU per frame; ff.fps: ffmpeg frames over wall time (own: ffmpeg's report);"
echo "R2 = fps / ff.fps (goal >= 2.0); R3 = cpu.ms / ff.cpu.ms (goal <= 0.25);"
echo "NAME/2: two requests kept open per window instead of one (the host pipelines capture and send)."

# --- fidelity: the text held still, one frame of each window against the exact box downscale
samples=${SAMPLES:-$work/samples}
mkdir -p "$samples"
listers=$(pgrep -P "$terms" || true)  # the listing shells of this run's two xterms
[ -n "$listers" ] && kill -STOP $listers
sleep 1.5  # the listing that was under way ends in its sleep, or is stopped; either way the text stays
psnr_of() { compare -metric PSNR "$1" "$2" null: 2>&1 | awk '{print $1}'; }
echo "PSNR (dB) against the exact box downscale of the window (frames kept in $samples):"
for name in large small; do
  id=$(window_id "orvo-bench-$name")
  decimal=$((id))
  # Input just now keeps the frames interactive: none is sent here, so ask for three frames
  # and keep the one with subsampled chroma (the first of a quiet window is a refine frame).
  stream --window "$decimal" --frames 3 --out "$samples/$name"
  frame=$(for f in "$samples/$name"/window-*.jpg; do
    identify -format '%[jpeg:sampling-factor] %i\n' "$f"; done | awk '$1 ~ /^2x2/ {print $2; exit}')
  [ -n "$frame" ] || { echo "  $name: no interactive frame"; continue; }
  geometry=$(identify -format '%wx%h' "$frame")
  import -silent -window "$id" "$samples/$name-window.png"
  convert "$samples/$name-window.png" -filter box -resize "$geometry!" "$samples/$name-exact.png"
  ffmpeg -nostdin -loglevel error -f x11grab -draw_mouse 0 -window_id "$id" -i "$DISPLAY" -frames:v 1 \
    -vf "scale=${geometry%x*}:-2,format=yuvj420p" -q:v 4 -y "$samples/$name-ffmpeg.jpg"
  ffmpeg_geometry=$(identify -format '%wx%h' "$samples/$name-ffmpeg.jpg")
  convert "$samples/$name-ffmpeg.jpg" -resize "$geometry!" "$samples/$name-ffmpeg-sized.png"
  printf '  %-6s %s  orvo %s dB (%s)  ffmpeg %s dB (%s)\n' "$name" "$geometry" \
    "$(psnr_of "$samples/$name-exact.png" "$frame")" "$(basename "$frame")" \
    "$(psnr_of "$samples/$name-exact.png" "$samples/$name-ffmpeg-sized.png")" "$ffmpeg_geometry"
done
[ -n "$listers" ] && kill -CONT $listers

# --- memory: the host streaming four windows at once ---------------------------------
rss() { awk '/^VmRSS:/ {print $2}' "/proc/$host_pid/status"; }
four=()
for name in large small extra1 extra2; do four+=(--window "$(($(window_id "orvo-bench-$name")))"); done
# Paced at 10 frames per second per window, as clients showing them would ask: unpaced, the
# most recent request always wins a free slot and the two earliest windows would wait.
rss_before=$(rss)
stream "${four[@]}" --frames "$warmup" --fps 10
rss_early=$(rss)
stream "${four[@]}" --frames "$frames" --fps 10
rss_late=$(rss)
echo "Host resident memory (kB): $rss_before before streaming four windows, $rss_early after $warmup frames each," \
  "$rss_late after $frames more (goal <= 32768 and flat)"
echo "  of which (kB): $(awk '/^Rss(Anon|File|Shmem):/ {printf "%s %s ", $1, $2}' "/proc/$host_pid/status")"
echo "Host timing of sampled frames (ms, mean): capture, scale, encode, total"
for name in large small; do
  awk -v name="$name" '{for (i = 1; i <= NF; i++) {split($i, kv, "="); v[kv[1]] += kv[2] + 0}; n++}
    END {if (n) printf "  %-6s cap=%.1f scale=%.1f enc=%.1f total=%.1f (%d samples)\n", name, v["cap"]/n, v["scale"]/n, v["enc"]/n, v["total"]/n, n}' \
    "$work/host-$name.timing"
done

# --- the same two windows with every frame captured, scaled and encoded whole -------------
# Between listings a window is still and its kept frame is sent again; the frame path
# itself is measured by the host started again with ORVO_CAPTURE_WHOLE=1.
restart_host_whole
echo "The same, every frame captured, scaled and encoded whole (ORVO_CAPTURE_WHOLE=1):"
row window captured sent fps p50.ms p95.ms int.p50 int.p95 p95/50 bytes/frame cpu.ms ff.fps "(own)" ff.cpu.ms "R2" "R3"
DEPTH2=0 measure large "$large"
DEPTH2=0 measure small "$small"

fi  # SCENARIOS_ONLY

# --- change tracking: still, typing, scrolling; then the same with every frame whole ----
scenario_frames=${SCENARIO_FRAMES:-1000}
[ "$scenario_frames" -gt 0 ] || exit 0
frames=$scenario_frames
declare -A result
scenario_command() {
  local listing_once="ls -la --color=always /usr/lib/x86_64-linux-gnu | head -n 114"
  case $1 in
    still) echo "$listing_once; exec sleep 100000" ;;
    typing) echo "$listing_once; i=0; while :; do i=\$((i + 1)); printf '\\rtyping line %d' \$i; sleep 0.01; done" ;;
    scrolling) echo "while :; do ls -la --color=always /usr/lib/x86_64-linux-gnu /usr/share/doc /usr/bin; done" ;;
  esac
}
# One scenario's window, streamed by the host running now; ffmpeg on it too when $2 is 1.
scenario() {
  local name=$1 with_ffmpeg=$2 term id
  xterm -title "orvo-bench-$name" -geometry 400x117+0+0 -fa Monospace -fs 10 -e sh -c "$(scenario_command "$name")" &
  term=$!
  pids+=($term)
  wait_for 10 viewable "orvo-bench-$name"
  sleep 1  # the listing has been drawn
  id=$(window_id "orvo-bench-$name")
  orvo_run "$id" 1
  result[$name.$mode.fps]=$fps
  result[$name.$mode.ms]=$host_ms
  result[$name.size]=$size
  if [ "$with_ffmpeg" = 1 ]; then
    ffmpeg_run "$id" "${size%x*}"
    result[$name.ff.fps]=$ffmpeg_fps
    result[$name.ff.ms]=$ffmpeg_ms
  fi
  kill "$term" 2>/dev/null || true
  wait "$term" 2>/dev/null || true
}
if [ "$whole_host" = 1 ]; then
  # The host runs whole since the main rows: the tracked one again for the scenarios.
  kill "$host_pid"
  wait "$host_pid" 2>/dev/null || true
  host_log=$work/host-scenarios.log
  start_host "$host_log"
  whole_host=0
fi
mode=tracked
for name in still typing scrolling; do scenario "$name" 1; done
restart_host_whole
mode=whole
for name in still typing scrolling; do scenario "$name" 0; done

echo "Change tracking, $frames frames per scenario, one request open (cpu.ms: host CPU per frame):"
printf '%-10s %-10s %8s %7s   %8s %7s   %8s %7s   %7s %7s %9s\n' scenario sent fps cpu.ms whole.fps whole.ms \
  ff.fps ff.ms fps/ff cpu/ff cpu/whole
for name in still typing scrolling; do
  printf '%-10s %-10s %8s %7s   %8s %7s   %8s %7s   %7s %7s %9s\n' "$name" "${result[$name.size]}" \
    "${result[$name.tracked.fps]}" "${result[$name.tracked.ms]}" "${result[$name.whole.fps]}" \
    "${result[$name.whole.ms]}" "${result[$name.ff.fps]}" "${result[$name.ff.ms]}" \
    "$(ratio "${result[$name.tracked.fps]}" "${result[$name.ff.fps]}")" \
    "$(ratio "${result[$name.tracked.ms]}" "${result[$name.ff.ms]}")" \
    "$(ratio "${result[$name.tracked.ms]}" "${result[$name.whole.ms]}")"
done
echo "Goals: still cpu.ms <= 0.5 and fps/ff >= 5; typing cpu/whole <= 0.30; scrolling cpu/whole <= 1.0."
