#!/usr/bin/env bash
# The host on a Wayland desktop against the host on X11, in one run: the same GTK 4 window
# (tests/wayland/test_window.py, 1024x640, undecorated) mirrored by orvo-host on a private
# headless GNOME (tests/wayland/gnome_desktop.py: the window shared in the desktop portal's
# picker, captured from PipeWire) and by orvo-host on a private Xvfb with openbox (the same
# program with GDK_BACKEND=x11, captured through X11).
#
#   bench/wayland/run.sh        builds what it needs (Release, in build-bench/) and runs
#
# Two windows on each desktop, one at a time:
#   moving   --animate: coloured bars moving at every tick of the window's frame clock, so
#            every row changes in every frame
#   still    the quadrants, drawn once; GNOME sends no PipeWire buffer after the first, so
#            the host answers with its kept frame, as it does on X11 for a window whose
#            content did not change
# For each, the client pulls frames with one request open (as a client does) and reports
# frames per second and request-to-frame latency. The client keeps the frames, and "new"
# counts those that show a changed picture; the rest are the host's kept frame sent again
# (see new_pictures).
# The host's CPU per frame is utime + stime of the orvo-host process (/proc/PID/stat)
# around the run, divided by the frames. The display server's CPU per frame is measured the
# same way, apart from the host's: gnome-shell (composites the monitor and paints the
# window into the screen-cast buffer, all in software here) and Xvfb (draws the window and
# serves the host's X11 captures). The moving window's own rate is read from its log.
#
# With one request open the host answers as soon as it can, with its kept frame when the
# window has not changed since, so most frames are repeats; 3000 frames give the moving
# window a few seconds.
#
# Environment: FRAMES (measured frames per window, default 3000), WARMUP (default 30),
# ORVO_BENCH_BUILD (build directory), KEEP=1 (keep the logs and print where they are),
# FRAME_TIMEOUT (seconds the client waits for a frame, default the client's).
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${ORVO_BENCH_BUILD:-$root/build-bench}
frames=${FRAMES:-3000}
warmup=${WARMUP:-30}
width=1024
height=640

bash "$root/scripts/setup.sh"
source "$root/bench/desktop.sh"
bench_build 1 Xvfb openbox xwininfo xprop gnome-shell pipewire setpriv python3 ffmpeg cmake ninja

ticks_per_second=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
per_frame_ms() { awk -v t="$1" -v hz="$ticks_per_second" -v n="$frames" 'BEGIN {printf "%.2f", t * 1000 / hz / n}'; }
busy() { awk -v t="$1" -v hz="$ticks_per_second" -v s="$2" 'BEGIN {if (s > 0) printf "%.0f", t * 100 / hz / s; else print "-"}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (a !~ /^[0-9.]+$/ || b !~ /^[0-9.]+$/ || b == 0) print "-"; else printf "%.2f", a / b}'; }

# Nothing advertises the host here: the client is told its session port (which moves when
# the paired list changes) at each call.
session_port() { host_ctl status | sed -n 's/.*session port \([0-9]*\).*/\1/p'; }
to_host() { client "$1" --host "127.0.0.1:$(session_port)" --name orvo-bench "${@:2}"; }
stream() {
  to_host stream ${FRAME_TIMEOUT:+--frame-timeout "$FRAME_TIMEOUT"} "$@" >"$work/stream.out" 2>"$work/stream.err" ||
    { cat "$work/stream.err" >&2; return 1; }
}
newest_window() { to_host windows | awk -F '\t' '{print $1}' | sort -n | tail -n1; }
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" "$work/stream.out"; }
# How many of the frames in directory $1 (window-ID-N.jpg, in the order received) show a
# new picture: among the interactive frames (subsampled chroma), those that differ visibly
# from the one before (ffmpeg's mpdecimate: a block of 8x8 pixels changed by more than
# noise), the first left out. The host steps its quality up and down around the refine
# frames (full chroma, interleaved while a window is streamed): the same picture at another
# quality has other bytes, so equal bytes would not do; the refine frames are left out.
new_pictures() {
  python3 - "$1" "$work/interactive" <<'EOF'
import os, re, subprocess, sys

def subsampled(jpeg):
    i = 2
    while i + 4 <= len(jpeg) and jpeg[i] == 0xFF:
        marker, length = jpeg[i + 1], jpeg[i + 2] << 8 | jpeg[i + 3]
        if marker in (0xC0, 0xC1, 0xC2):
            return jpeg[i + 11] != jpeg[i + 14]  # luma and first chroma sampling factors
        i += 2 + length
    return False

folder, interactive = sys.argv[1:3]
os.makedirs(interactive)
names = sorted(os.listdir(folder), key=lambda n: int(re.search(r"-([0-9]+)[.]jpg$", n).group(1)))
count = 0
for name in names:
    path = os.path.abspath(os.path.join(folder, name))
    with open(path, "rb") as f:
        if subsampled(f.read()):
            count += 1
            os.symlink(path, os.path.join(interactive, "%d.jpg" % count))
kept = subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "image2", "-i",
                       os.path.join(interactive, "%d.jpg"), "-vf", "mpdecimate", "-f", "framemd5", "-"],
                      stdout=subprocess.PIPE, text=True, check=True).stdout
print(max(0, sum(1 for line in kept.splitlines() if line and not line.startswith("#")) - 1) if count else 0)
EOF
  rm -rf "$work/interactive"
}
# The window's own drawing: the last "drawn N SECONDS" line of its log.
drawn() { grep '^drawn ' "$1" | tail -n1 || true; }

declare -A result
# Streams window $2 of the host running now as result column $1; $3 is the display server's
# PID, $4 the window's log. The client keeps the frames, to count those that changed.
measure() {
  local column=$1 id=$2 server=$3 log=$4 host_before host_ticks server_before server_ticks drawn_before drawn_after
  local seconds new start wall
  sleep 1  # the desktop's own work for a new window (GNOME's opening animation) is over
  stream --window "$id" --frames "$warmup"
  drawn_before=$(drawn "$log")
  host_before=$(cpu_ticks "$host_pid")
  server_before=$(cpu_ticks "$server")
  start=$(date +%s.%N)
  stream --window "$id" --frames "$frames" --out "$work/frames-$column"
  wall=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN {print b - a}')
  host_ticks=$(($(cpu_ticks "$host_pid") - host_before))
  server_ticks=$(($(cpu_ticks "$server") - server_before))
  result[$column.server]=$(per_frame_ms "$server_ticks")
  result[$column.host]=$(per_frame_ms "$host_ticks")
  drawn_after=$(drawn "$log")
  seconds=$(field seconds)
  result[$column.fps]=$(field fps)
  result[$column.p50]=$(field latencyMedianMs)
  result[$column.p95]=$(field latencyP95Ms)
  result[$column.size]=$(field size)
  new=$(new_pictures "$work/frames-$column")
  rm -rf "$work/frames-$column"
  result[$column.new]=$new
  result[$column.new_rate]=$(awk -v n="$new" -v s="$seconds" 'BEGIN {if (s > 0) printf "%.1f", n / s; else print "-"}')
  result[$column.host_new]=$(awk -v t="$host_ticks" -v hz="$ticks_per_second" -v n="$new" \
    'BEGIN {if (n > 0) printf "%.2f", t * 1000 / hz / n; else print "-"}')
  # Over the client's whole run, connection included, as the CPU figures are.
  result[$column.host_load]=$(busy "$host_ticks" "$wall")
  result[$column.server_load]=$(busy "$server_ticks" "$wall")
  result[$column.drawn]=$(awk -v a="$drawn_before" -v b="$drawn_after" 'BEGIN {
    split(a, x, " "); split(b, y, " "); if (y[3] > x[3]) printf "%.1f", (y[2] - x[2]) / (y[3] - x[3]); else print "-"}')
}

# --- Wayland: the private GNOME desktop, the host as its user, windows shared in the picker --
coproc RIG { exec python3 "$root/tests/wayland/gnome_desktop.py" start 2>"$work/rig.log"; }
rig_pid=$RIG_PID
pids+=($rig_pid)
rig_in=${RIG[1]}
rig_out=${RIG[0]}
rig_env=()
ready=0
while read -r -t 120 line <&"$rig_out"; do
  case $line in
    ready) ready=1 && break ;;
    error:*) break ;;
    *=*) rig_env+=("$line") ;;
  esac
done
[ "$ready" = 1 ] || { echo "the GNOME desktop did not start: ${line:-}" >&2; tail -n 20 "$work/rig.log" >&2; exit 1; }
env_value() { printf '%s\n' "${rig_env[@]}" | sed -n "s/^$1=//p"; }
desktop_user=$(env_value ORVO_DESKTOP_USER)
desktop_dir=$(env_value ORVO_DESKTOP_DIR)
# One command to the desktop; its answer in $answer.
rig() {
  echo "$1" >&"$rig_in"
  read -r -t "${2:-60}" answer <&"$rig_out" || answer="error: no answer to $1"
}
expect() { [ "$answer" = "$1" ] || { echo "the GNOME desktop answered '$answer' (expected $1)" >&2; exit 1; }; }

host_as=(env)
build_host_bin=$host_bin
if [ "$(id -un)" != "$desktop_user" ]; then
  host_as=(setpriv --reuid="$desktop_user" --regid="$desktop_user" --init-groups -- env)
  # The desktop's user runs the host from the desktop's directory: the build tree may sit
  # under a directory only its owner can enter.
  cp "$host_bin" "$desktop_dir/orvo-host"
  host_bin=$desktop_dir/orvo-host
fi
host_as+=("${rig_env[@]}")
"${host_as[@]}" ORVO_BIND_ADDRESS=127.0.0.1 "$host_bin" --headless >"$work/host-wayland.log" 2>&1 &
host_pid=$!  # setpriv and env exec the host: the same process
pids+=($host_pid)
wait_for 30 host_ctl status
pair_client
shell_pid=$(pgrep -P "$rig_pid" -x gnome-shell)

# Shares the window titled $1 in the picker; sets window to its id at the host.
share() {
  local sharing before
  before=$(newest_window)
  host_ctl share-windows >"$work/share.out" 2>&1 &
  sharing=$!
  rig "pick $1"
  expect picked
  wait "$sharing" || { cat "$work/share.out" >&2; exit 1; }
  listed() { window=$(newest_window) && [ -n "$window" ] && [ "$window" != "$before" ]; }
  wait_for 20 listed
}

rig "window OrvoBenchMoving $desktop_dir/moving.log $width $height animate"
expect mapped
share OrvoBenchMoving
measure wayland.moving "$window" "$shell_pid" "$desktop_dir/moving.log"
# Only the still window on the desktop while it is measured.
rig "close OrvoBenchMoving"
expect closed
rig "window OrvoBenchStill $desktop_dir/still.log $width $height"
expect mapped
share OrvoBenchStill
measure wayland.still "$window" "$shell_pid" "$desktop_dir/still.log"

kill "$host_pid"
wait "$host_pid" 2>/dev/null || true
rig quit
wait "$rig_pid" 2>/dev/null || true
host_bin=$build_host_bin

# --- X11: private Xvfb and openbox, the same program through GDK's X11 backend -----------
host_as=()
rm -rf "$work/client"
start_desktop 30
server_pid=$(pgrep -P $$ -x Xvfb)
x11_window() {
  DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus" GDK_BACKEND=x11 GSK_RENDERER=cairo GTK_A11Y=none \
    /usr/bin/python3 "$root/tests/wayland/test_window.py" --title "$1" --log "$work/$2.log" --width $width --height $height \
    "${@:3}" >"$work/$2.out" 2>&1 &
  pids+=($!)
  window_pid=$!
  wait_for 20 grep -qx mapped "$work/$2.out"
  window=$(($(xwininfo -name "$1" | awk '/Window id:/ {print $4}')))
}
start_host "$work/host-x11.log"
pair_client
x11_window OrvoBenchMoving moving --animate
measure x11.moving "$window" "$server_pid" "$work/moving.log"
kill "$window_pid"
wait "$window_pid" 2>/dev/null || true
x11_window OrvoBenchStill still
measure x11.still "$window" "$server_pid" "$work/still.log"

# --- the table ------------------------------------------------------------------------------
echo "Orvo host: Wayland (GNOME $(gnome-shell --version | awk '{print $3}'), portal + PipeWire) against X11 (Xvfb + openbox)," \
  "$frames frames per window after $warmup, one request open; $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
line() { printf '  %-32s %9s %9s %12s\n' "$@"; }
for name in moving still; do
  w=wayland.$name x=x11.$name
  echo "$name window (sent ${result[$w.size]} on Wayland, ${result[$x.size]} on X11):"
  line "" Wayland X11 Wayland/X11
  for metric in "fps:frames/s received" "new:new pictures (of $frames)" "new_rate:new pictures/s" "p50:latency p50 ms" \
    "p95:latency p95 ms" "host:host CPU ms/frame" "host_new:host CPU ms/new picture" "host_load:host CPU % of a core" \
    "server:display server CPU ms/frame" "server_load:display server CPU % of a core" \
    "drawn:window drew pictures/s"; do
    key=${metric%%:*}
    [ "$name" = still ] && [[ $key =~ ^(drawn|new_rate|host_new)$ ]] && continue
    line "${metric#*:}" "${result[$w.$key]}" "${result[$x.$key]}" "$(ratio "${result[$w.$key]}" "${result[$x.$key]}")"
  done
done
echo "new pictures: interactive frames that differ visibly from the one before; the others are the host's kept frame"
echo "sent again (or refine frames). Display server: gnome-shell on Wayland, Xvfb on X11 (apart from the host's CPU)."
