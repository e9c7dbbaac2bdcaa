#!/usr/bin/env bash
# A batch upload task of many small files through zudivuvo-cli against a reference
# server of its own, next to uploading the same files one by one with "put".
#   bench/batch_upload.sh [--files N] [--kib N] [--bin FOLDER]
# Defaults: 2000 files of 16 KiB, the executables in build/bin.
set -euo pipefail
files=2000
kib=16
bin=build/bin
while [[ $# -gt 0 ]]; do
  case $1 in
    --files) files=$2; shift 2 ;;
    --kib) kib=$2; shift 2 ;;
    --bin) bin=$2; shift 2 ;;
    *) echo "usage: $0 [--files N] [--kib N] [--bin FOLDER]" >&2; exit 2 ;;
  esac
done
source "$(dirname "$0")/demo_server.sh"

src=$work/src/Batch
for ((i = 0; i < files; i++)); do
  d=$src/d$((i % 10))
  [[ -d $d ]] || mkdir -p "$d"
  head -c $((kib * 1024)) /dev/urandom >"$d/f$i.bin"
done
owner=$(cli --server "127.0.0.1#$port#0" --user demo login | sed -n 's/.*owner id \([0-9]*\).*/\1/p')
id=$(cli task add --upload --source "$src" --dest 'Batch\' --owner "$owner")

t0=$(date +%s.%N)
cli task run "$id" >"$work/run.log" 2>&1 || { tail -3 "$work/run.log"; exit 1; }
t1=$(date +%s.%N)

# The same files one by one into a folder of their own.
mkdir -p "$work/one/Single"
echo x >"$work/one/Single/first.txt"
sid=$(cli task add --upload --source "$work/one/Single" --dest 'Single\' --owner "$owner")
cli task run "$sid" >/dev/null
folder=$(sqlite3 "$work/srv/zudivuvo.db" "SELECT id FROM folders WHERE owner_id=$owner AND parent_id=0 AND name='Single'")
t2=$(date +%s.%N)
find "$src" -type f | while read -r f; do
  cli put "$f" "$owner:$folder" >/dev/null
done
t3=$(date +%s.%N)

task=$(echo "$t1 - $t0" | bc -l)
put=$(echo "$t3 - $t2" | bc -l)
printf '%d files of %d KiB\n' "$files" "$kib"
printf '%-28s %8.1f s %8.0f files/s\n' "batch task (zudivuvo-cli)" "$task" "$(echo "$files / $task" | bc -l)"
printf '%-28s %8.1f s %8.0f files/s\n' "one put per file" "$put" "$(echo "$files / $put" | bc -l)"
