#!/usr/bin/env bash
# Takes a PNG of the control panel in each of its states (no devices, three devices with
# one connected, an update pending, downloading and failed, each sheet, settings, about) on
# a private X server with a window manager, at scale 1 and 2 (QT_SCALE_FACTOR), and prints
# the folder that holds them: FOLDER/1x/STATE.png and FOLDER/2x/STATE.png.
# usage: scripts/screenshots.sh [FOLDER]   (default: a new folder under /tmp)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target orvo-panel-preview >/dev/null

out=${1:-$(mktemp -d /tmp/orvo-screenshots.XXXXXX)}
mkdir -p "$out"
xdir=$(mktemp -d)
started=()
cleanup() {
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$xdir"
}
trap cleanup EXIT INT TERM

# Room for the panel and a sheet beside it at scale 2.
Xvfb -displayfd 3 -screen 0 2560x2048x24 -nolisten tcp 3>"$xdir/display" >"$xdir/xvfb.log" 2>&1 &
started+=($!)
for _ in $(seq 100); do [ -s "$xdir/display" ] && break; sleep 0.1; done
[ -s "$xdir/display" ] || { echo "Xvfb did not start:" >&2; cat "$xdir/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$xdir/display")"
openbox >"$xdir/openbox.log" 2>&1 &
started+=($!)
for _ in $(seq 100); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && break; sleep 0.1; done

# A fixed locale and time zone, and private settings folders, so the pictures repeat.
export LANG=en_US.UTF-8 TZ=UTC QT_QPA_PLATFORM=xcb
export XDG_CONFIG_HOME="$xdir/config" XDG_DATA_HOME="$xdir/data" XDG_RUNTIME_DIR="$xdir/run"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

states=(empty devices token update update-progress update-failed network-sheet network-sheet-ports
        screen-recording-sheet
        accessibility-sheet accessibility-sheet-error permissions unpair settings about about-links wayland-shared
        wayland-accessibility-sheet pairing-suspended)
for scale in 1 2; do
  mkdir -p "$out/${scale}x"
  for state in "${states[@]}"; do
    QT_SCALE_FACTOR=$scale build/tests/ui/orvo-panel-preview "$state" "$out/${scale}x/$state.png" 2>>"$xdir/preview.log" ||
      { echo "orvo-panel-preview $state (scale $scale) failed:" >&2; cat "$xdir/preview.log" >&2; exit 1; }
  done
done
echo "Screenshots in $out"
