#!/usr/bin/env bash
# Sets up, builds and starts Orvo Host. In a desktop session (Wayland: $WAYLAND_DISPLAY, or
# X11: $DISPLAY) it serves that desktop and opens the control panel there; without one it
# starts a private X server (Xvfb) with openbox and two demo windows and runs the host
# headless.
# Ctrl-C stops the host and everything this script started.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target orvo-host orvo-client

started=()
started_dir=""
cleanup() {
  trap - EXIT INT TERM
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -z "$started_dir" ] || rm -rf "$started_dir"
}
trap cleanup EXIT INT TERM

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  xdir=$(mktemp -d)
  started_dir="$xdir"
  Xvfb -displayfd 3 -screen 0 1920x1080x24 +extension Composite -nolisten tcp 3>"$xdir/display" >"$xdir/xvfb.log" 2>&1 &
  started+=($!)
  for _ in $(seq 100); do [ -s "$xdir/display" ] && break; sleep 0.1; done
  [ -s "$xdir/display" ] || { echo "Xvfb did not start:" >&2; cat "$xdir/xvfb.log" >&2; exit 1; }
  export DISPLAY=":$(head -n1 "$xdir/display")"
  openbox >/dev/null 2>&1 &
  started+=($!)
  xterm -geometry 100x30+40+40 -title "Demo terminal" >/dev/null 2>&1 &
  started+=($!)
  xclock -geometry 220x220+900+60 >/dev/null 2>&1 &
  started+=($!)
  echo "Started a private X display $DISPLAY with openbox, an xterm and a clock."
fi

# Pairing by code needs the client to discover the host through Avahi; a token needs nothing.
# Print the way that works here.
system_bus=${DBUS_SYSTEM_BUS_ADDRESS:-unix:path=/run/dbus/system_bus_socket}
if pgrep -x avahi-daemon >/dev/null && [ -S "${system_bus#unix:path=}" ]; then
  discovery=yes
else
  discovery=no
fi
if [ -n "${WAYLAND_DISPLAY:-}" ]; then
  echo "Wayland: choose the windows to share with \"Choose Windows…\" in the panel"
  echo "(or build/src/app/orvo-host ctl share-windows); the desktop asks you in its own dialog."
fi
if [ "$discovery" = yes ]; then
  echo "To pair a tablet or headset: open Orvo on it, tap Pair and enter the pairing code printed below"
  echo "(build/src/app/orvo-host ctl pin shows it again; ctl help lists the other commands)."
  echo "To try it from this machine: build/src/client/orvo-client pair --pin CODE, then"
  echo "build/src/client/orvo-client windows (and stream, click, type; --help lists them)."
else
  echo "avahi-daemon is not running here, so no client can discover this host and pairing by code"
  echo "(orvo-client pair --pin) would not find it. Pair with a token instead, which needs no discovery:"
  echo "while the host runs, open a second terminal in $PWD and run"
  echo
  echo "  build/src/client/orvo-client pair --token \"\$(build/src/app/orvo-host ctl token)\""
  echo "  build/src/client/orvo-client windows --host 127.0.0.1:\$(build/src/app/orvo-host ctl status | sed -n 's/^Listening: session port \\([0-9]*\\).*/\\1/p')"
  echo
  echo "(the second command lists the windows through the session port that ctl status shows;"
  echo "stream, click and type take the same --host)."
fi
echo

# Nobody looks at a private display: the panel only opens on the user's own.
mode=()
[ -z "$started_dir" ] || mode=(--headless)
build/src/app/orvo-host "${mode[@]}" &
started+=($!)
wait "${started[-1]}"
