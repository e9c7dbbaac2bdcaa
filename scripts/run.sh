#!/usr/bin/env bash
# Installs what is missing, builds, starts the reference server with demo data
# and the client connected to it, logged in as the demo user. Without a display
# the client runs on a virtual one and a screenshot is saved. Ctrl+C stops both.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh

bin="$PWD/build/bin"
port="${ZUDIVUVO_PORT:-8088}"
data="${ZUDIVUVO_DEMO_DATA:-${XDG_DATA_HOME:-$HOME/.local/share}/zudivuvo-demo-server}"
pids=()
cleanup() {
  trap - EXIT INT TERM
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT INT TERM

client_arg="-s 127.0.0.1#$port#0"
if [ -x "$bin/zudivuvo-server" ]; then
  seed=()
  [ -f "$data/zudivuvo.db" ] || seed=(--seed demo)
  mkdir -p "$data"
  log=$(mktemp)
  "$bin/zudivuvo-server" --data "$data" --listen 127.0.0.1 --port "$port" "${seed[@]}" >"$log" &
  server_pid=$!
  pids+=($server_pid)
  # The server says "listening" once its data (the demo seed too) is ready.
  for _ in $(seq 300); do
    grep -q " listening on " "$log" && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -q " listening on " "$log"; then
    rm -f "$log"
    echo "The reference server did not start (its message is above)." >&2
    exit 1
  fi
  rm -f "$log"
  echo "Reference server: 127.0.0.1:$port (data in $data; demo users log in as demo/demo)"
  echo "Web portal with the client's links: http://127.0.0.1:$port/portal (log in as demo/demo)"
  # A web-session identity for the demo user, as the server's pages hand one over.
  if ! token=$("$bin/zudivuvo-server" --data "$data" web-session demo); then
    echo "Cannot log the demo user in (the server's message is above)." >&2
    exit 1
  fi
  client_arg="$client_arg -u $token"
fi

shot=""
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  display_no=$((90 + RANDOM % 100))
  Xvfb ":$display_no" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  export DISPLAY=":$display_no"
  shot="${ZUDIVUVO_SCREENSHOT:-$PWD/build/screenshot-main-window.png}"
  echo "No display: the client runs on the virtual display $DISPLAY."
  sleep 1
fi

# Scan-code login embeds a browser whose sandbox cannot run as root; a demo
# started as root on a fresh machine opts out of it (the client refuses otherwise).
if [ "$(id -u)" -eq 0 ] && [ -z "${QTWEBENGINE_DISABLE_SANDBOX:-}" ]; then
  export QTWEBENGINE_DISABLE_SANDBOX=1
fi
"$bin/ZuDivuvo" "$client_arg" &
pids+=($!)

if [ -n "$shot" ]; then
  for _ in $(seq 100); do
    xdotool search --name "Kv client tools" >/dev/null 2>&1 && break
    sleep 0.1
  done
  sleep 2
  import -window root "$shot" && echo "Screenshot of the client: $shot"
fi
echo "Running. Press Ctrl+C to stop the client and the server."
wait -n "${pids[@]}" || true
