#!/usr/bin/env bash
# What the viewers library takes from the program that loads it: the symbols
# it leaves undefined that none of its own shared libraries define. Writes a
# compiler response file that keeps them in the program (each one undefined
# from the start pulls it from our static libraries) and a dynamic list that
# exports them.
#   viewerimports.sh LIBRARY RESPONSE_FILE DYNAMIC_LIST
set -euo pipefail
lib=$1 options=$2 list=$3
defined=$(mktemp)
names=$(mktemp)
trap 'rm -f "$defined" "$names"' EXIT
ldd "$lib" | awk '$2 == "=>" && $3 ~ /^\// {print $3}' | while read -r dep; do
  nm -D --defined-only "$dep" | awk '{print $NF}'
done | sed 's/@.*//' | sort -u >"$defined"
nm -D --undefined-only "$lib" | awk '$1 == "U" {print $2}' | sed 's/@.*//' | sort -u | comm -23 - "$defined" >"$names"
if [[ ! -s $names ]]; then
  echo "viewerimports.sh: $lib takes nothing from the program; is it built right?" >&2
  exit 1
fi
sed 's/^/-Wl,--undefined=/' "$names" >"$options.tmp"
{ echo "{"; sed 's/$/;/' "$names"; echo "};"; } >"$list.tmp"
mv "$options.tmp" "$options"
mv "$list.tmp" "$list"
