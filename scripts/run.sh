#!/usr/bin/env bash
# Sets up, builds and starts Orvo Host. With a display ($DISPLAY) it serves that desktop;
# without one it starts a private X server (Xvfb) with openbox and two demo windows.
# Ctrl-C stops the host and everything this script started.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target orvo-host orvo-client

started=()
cleanup() {
  trap - EXIT INT TERM
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT INT TERM

if [ -z "${DISPLAY:-}" ]; then
  exec {fd}<> <(:)
  Xvfb -displayfd "$fd" -screen 0 1920x1080x24 +extension Composite -nolisten tcp >/tmp/orvo-xvfb.log 2>&1 &
  started+=($!)
  read -r -t 10 -u "$fd" number || { echo "Xvfb did not start; see /tmp/orvo-xvfb.log" >&2; exit 1; }
  export DISPLAY=":$number"
  openbox >/dev/null 2>&1 &
  started+=($!)
  xterm -geometry 100x30+40+40 -title "Demo terminal" >/dev/null 2>&1 &
  started+=($!)
  xclock -geometry 220x220+900+60 >/dev/null 2>&1 &
  started+=($!)
  echo "Started a private X display $DISPLAY with openbox, an xterm and a clock."
fi

if ! pgrep -x avahi-daemon >/dev/null; then
  echo "Note: avahi-daemon is not running, so clients cannot discover this host by name."
  echo "      They can still pair by address: build/src/client/orvo-client pair --pin CODE --host 127.0.0.1:PORT"
fi
echo "To pair a client: read the code below (or run: build/src/app/orvo-host ctl pin)"
echo "and enter it on the tablet or headset, or use: build/src/client/orvo-client pair --pin CODE"
echo

build/src/app/orvo-host --headless &
started+=($!)
wait "${started[-1]}"
