#!/usr/bin/env bash
# Kills zudivuvo-cli with SIGKILL at random points of an upload task of many files,
# against a reference server of its own. After every kill the task's index files
# must load; after the last one the task must finish, every file must be stored
# on the server exactly once, and a download of the tree must equal the source.
#   bench/crash_safety.sh [--files N] [--kills N] [--bin FOLDER]
# Defaults: 2000 files, 30 kills, the executables in build/bin.
set -euo pipefail
files=2000
kills=30
bin=build/bin
while [[ $# -gt 0 ]]; do
  case $1 in
    --files) files=$2; shift 2 ;;
    --kills) kills=$2; shift 2 ;;
    --bin) bin=$2; shift 2 ;;
    *) echo "usage: $0 [--files N] [--kills N] [--bin FOLDER]" >&2; exit 2 ;;
  esac
done
source "$(dirname "$0")/demo_server.sh"

echo "creating $files files ..."
src=$work/src/Crash
for ((i = 0; i < files; i++)); do
  d=$src/d$((i % 13))/e$((i % 5))
  [[ -d $d ]] || mkdir -p "$d"
  head -c $(((i * 7919) % 60000 + 1)) /dev/urandom >"$d/f$i.bin"
done
owner=$(cli --server "127.0.0.1#$port#0" --user demo login | sed -n 's/.*owner id \([0-9]*\).*/\1/p')
id=$(cli task add --upload --source "$src" --dest 'Crash\' --owner "$owner")

start=$(date +%s.%N)
killed=0
for ((k = 1; k <= kills; k++)); do
  # The program itself in the background (a shell function would fork a subshell that SIGKILL misses).
  "$bin/zudivuvo-cli" task run "$id" >>"$work/run.log" 2>&1 &
  pid=$!
  sleep "$(awk -v s="$RANDOM" 'BEGIN { srand(s); printf "%.2f", 0.2 + rand() * 1.3 }')"
  if kill -KILL "$pid" 2>/dev/null; then
    killed=$((killed + 1))
  fi
  wait "$pid" 2>/dev/null || true
  cli task status "$id" --json >"$work/status.json" || { echo "index of task $id does not load after kill $k"; exit 1; }
done
echo "killed $killed times; finishing the run ..."
cli task run "$id" >"$work/run.log" 2>&1 || { echo "final run failed:"; tail -5 "$work/run.log"; exit 1; }
end=$(date +%s.%N)
cli task status "$id" --json | grep -q '"done": true' || { echo "task not done"; exit 1; }

db=$work/srv/zudivuvo.db
folder=$(sqlite3 "$db" "SELECT id FROM folders WHERE owner_id=$owner AND parent_id=0 AND name='Crash'")
tree="WITH RECURSIVE t(id) AS (SELECT $folder UNION SELECT f.id FROM folders f JOIN t ON f.parent_id=t.id)"
stored=$(sqlite3 "$db" "$tree SELECT COUNT(*) FROM files WHERE deleted=0 AND folder_id IN (SELECT id FROM t)")
versions=$(sqlite3 "$db" "$tree SELECT COUNT(*) FROM versions v JOIN files f ON f.key=v.file_key WHERE f.folder_id IN (SELECT id FROM t)")
did=$(cli task add --download --source 'Crash\' --dest "$work/back" --owner "$owner" --folder-id "$folder")
cli task run "$did" >"$work/down.log" 2>&1 || { echo "download failed:"; tail -5 "$work/down.log"; exit 1; }
same=yes
diff -r "$src" "$work/back/Crash" >/dev/null || same=no

printf 'files %d, kills %d, files stored %d, versions stored %d, download equals source: %s, %.1f s in all\n' \
  "$files" "$killed" "$stored" "$versions" "$same" "$(echo "$end - $start" | bc)"
[[ $stored == "$files" && $versions == "$files" && $same == yes ]]
