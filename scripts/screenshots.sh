#!/usr/bin/env bash
# Pictures of the client's windows in English and in Chinese:
#   scripts/screenshots.sh [--scale FACTOR] OUTDIR   writes <window>-en.png and <window>-zh.png
# --scale draws everything at that scale, as a high-density screen does (1.5 for
# 150 %, 2 for 200 %; QT_SCALE_FACTOR). Each language gets its own reference
# server (demo seed, free port, temporary data), its own home folders and a
# virtual display. BUILD_DIR picks the build folder (default build/).
set -euo pipefail
scale=1
if [ $# -ge 2 ] && [ "$1" = "--scale" ]; then
  scale="$2"
  shift 2
fi
if [ $# -ne 1 ] || ! printf '%s' "$scale" | grep -Eq '^[0-9]+(\.[0-9]+)?$'; then
  echo "usage: $0 [--scale FACTOR] OUTDIR" >&2
  exit 2
fi
mkdir -p "$1"
out="$(cd "$1" && pwd)"
cd "$(dirname "$0")/.."

build="${BUILD_DIR:-build}"
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
work="$(mktemp -d)"
[ -f "$build/CMakeCache.txt" ] || cmake --preset release -B "$build" >/dev/null
if ! cmake --build "$build" --target zudivuvo-server zudivuvo-shots -j2 >"$work/build.log" 2>&1; then
  tail -n 40 "$work/build.log" >&2
  echo "Building the server and the screenshot program failed." >&2
  rm -rf "$work"
  exit 1
fi
bin="$(cd "$build/bin" && pwd)"
pids=()
cleanup() {
  trap - EXIT INT TERM
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  # LibreOffice started for the office editor's picture may outlive its window.
  pkill -KILL -f "UserInstallation=file://$work/" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

# The virtual display picks a free number itself and writes it to fd 3.
# The screen grows with the scale, so scaled windows still fit on it.
width=$(awk -v s="$scale" 'BEGIN { w = int(1280 * s); print (w < 1280 ? 1280 : w) }')
height=$(awk -v s="$scale" 'BEGIN { h = int(1024 * s); print (h < 1024 ? 1024 : h) }')
Xvfb -displayfd 3 -screen 0 "${width}x${height}x24" -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
[ -s "$work/display" ] || { echo "Xvfb did not start." >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"
export QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR="$scale"
# The property page's embedded browser: Chromium's sandbox cannot start as root.
if [ "$(id -u)" = 0 ]; then export QTWEBENGINE_DISABLE_SANDBOX=1; fi
unset WAYLAND_DISPLAY

for lang in en zh; do
  root="$work/$lang"
  mkdir -p "$root"/{home,data,config,cache,runtime,server}
  chmod 700 "$root/runtime"
  log="$root/server.log"
  "$bin/zudivuvo-server" --data "$root/server" --listen 127.0.0.1 --port 0 --seed demo >"$log" 2>&1 &
  server_pid=$!
  pids+=($server_pid)
  for _ in $(seq 300); do
    grep -q " listening on " "$log" && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  port="$(sed -n 's/.* listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$log" | head -n1)"
  if [ -z "$port" ]; then
    cat "$log" >&2
    echo "The reference server did not start." >&2
    exit 1
  fi
  HOME="$root/home" XDG_DATA_HOME="$root/data" XDG_CONFIG_HOME="$root/config" \
    XDG_CACHE_HOME="$root/cache" XDG_RUNTIME_DIR="$root/runtime" \
    "$bin/zudivuvo-shots" "$lang" "$port" "$out"
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
done
echo "Screenshots in $out"
