#!/usr/bin/env bash
# Installs what is missing, builds, starts the reference server with demo data
# and the client connected to it. Ctrl+C stops both.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh

bin="$PWD/build/bin"
port="${ZUDIVUVO_PORT:-8088}"
data="${ZUDIVUVO_DEMO_DATA:-${XDG_DATA_HOME:-$HOME/.local/share}/zudivuvo-demo-server}"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT INT TERM

if [ -x "$bin/zudivuvo-server" ]; then
  seed=()
  [ -d "$data" ] || seed=(--seed demo)
  mkdir -p "$data"
  "$bin/zudivuvo-server" --data "$data" --listen 127.0.0.1 --port "$port" "${seed[@]}" &
  pids+=($!)
  echo "Reference server on 127.0.0.1:$port (data in $data)"
fi

client=("$bin/ZuDivuvo" "-s 127.0.0.1#$port#0")
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: running the client on a virtual display (Xvfb)."
  xvfb-run -a -s "-screen 0 1280x800x24" "${client[@]}" &
else
  "${client[@]}" &
fi
pids+=($!)
wait "${pids[@]}"
