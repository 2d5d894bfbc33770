# Shared set-up of the scripted benchmarks (sourced, not run): the host and client built in
# $build, a work directory and the processes started, stopped in reverse order on exit,
# and a private display with a window manager.
#
#   bench_build EXIT_STATUS TOOL...   checks the tools, builds orvo-host and orvo-client
#   start_desktop SECONDS             Xvfb (3840x2160, Composite) and openbox; sets DISPLAY
#   host_ctl ARG...                   `orvo-host ctl` of the host, run through $host_as
#                                     (a command prefix, empty by default: a script whose
#                                     host runs as another user puts setpriv and env there)

bench_build() {
  local status=$1 tool
  shift
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/setup.sh" >&2; exit "$status"; }
  done
  if [ ! -f "$build/build.ninja" ]; then
    local launcher=()
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVO_BUILD_TESTS=OFF \
      -DORVO_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
  fi
  ninja -C "$build" -j2 orvo-host orvo-client >/dev/null
  host_bin=$build/src/app/orvo-host
  client_bin=$build/src/client/orvo-client
}

work=$(mktemp -d)
pids=()
host_as=()
host_ctl() { "${host_as[@]}" "$host_bin" ctl "$@"; }
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ "${KEEP:-0}" = 1 ]; then echo "logs kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# Polls a command until it succeeds, for at most $1 seconds.
wait_for() {
  local limit=$1
  shift
  local deadline=$((SECONDS + limit))
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || { echo "timed out waiting for: $*" >&2; return 1; }
    sleep 0.05
  done
}

start_desktop() {
  local limit=$1
  Xvfb -displayfd 3 -screen 0 3840x2160x24 +extension Composite -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  pids+=($!)
  wait_for "$limit" test -s "$work/display"
  export DISPLAY=:$(head -n1 "$work/display")
  openbox >"$work/openbox.log" 2>&1 &
  pids+=($!)
  wait_for "$limit" sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"'
}

# The host, headless on loopback and advertising nowhere, its files under $work/host, its
# output in $1; further VAR=value arguments go into its environment. Sets host_pid.
start_host() {
  local log=$1
  shift
  mkdir -p "$work/host/run"
  chmod 700 "$work/host/run"
  export XDG_RUNTIME_DIR=$work/host/run
  env XDG_CONFIG_HOME="$work/host/config" XDG_DATA_HOME="$work/host/data" ORVO_BIND_ADDRESS=127.0.0.1 \
    DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-bus" "$@" "$host_bin" --headless >"$log" 2>&1 &
  host_pid=$!
  pids+=($host_pid)
  wait_for 30 host_ctl status
}

# The benchmark's client, its credentials under $work/client; pair_client pairs it by token.
client() { env XDG_CONFIG_HOME="$work/client/config" XDG_DATA_HOME="$work/client/data" "$client_bin" "$@"; }
pair_client() {
  mkdir -p "$work/client"
  client pair --token "$(host_ctl token)" >/dev/null
}
