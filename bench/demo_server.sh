# Sourced by the batch scripts after they read their options ($bin set): a
# temporary work folder removed at exit, the command-line client's environment,
# and a reference server with the demo data on a free port ($port).
bin=$(cd "$bin" && pwd)
work=$(mktemp -d)
srvpid=
cleanup() {
  [[ -n $srvpid ]] && kill "$srvpid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_DATA_HOME=$work/data HOME=$work/home ZUDIVUVO_PASSWORD=demo
mkdir -p "$HOME"
cli() { "$bin/zudivuvo-cli" "$@"; }

"$bin/zudivuvo-server" --data "$work/srv" --port 0 --seed demo >"$work/srv.log" 2>&1 &
srvpid=$!
for _ in $(seq 100); do
  grep -q "listening on" "$work/srv.log" && break
  sleep 0.1
done
port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/srv.log")
[[ -n $port ]] || { echo "server did not start"; cat "$work/srv.log"; exit 1; }
