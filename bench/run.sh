#!/usr/bin/env bash
# Builds the benchmarks (optimised) into build-bench/ and runs one of them. The
# first argument chooses it (the file channel one when it is left out); the rest
# go to the benchmark:
#   bench/run.sh [filechannel] [--size-mib N] [--rounds N] [--dir FOLDER]
#       file channel against a raw socket copy: --size-mib (default 1024), --rounds (default 4,
#       alternating which goes first; the best run counts), --dir (where the 1 GiB files go)
#   bench/run.sh server [--clients N] [--small N] [--large-mib N] [--dir FOLDER] [--hostile N]
#       the reference server under concurrent clients: defaults 20 clients, each 50 files of
#       1 MiB and one of 256 MiB; --dir is where the sources, the server's data and the downloads go.
#       First N (default 500, 0 skips) hostile connections of each kind against a fresh server:
#       a normal client's login time and the server's memory beside the idle figures
#   bench/run.sh preview
#       first page of a 50-page PDF against a bare QtPdf load and render; a 20-page docx from the
#       click to its first page against a bare LibreOffice conversion, and again from the cache
#   bench/run.sh directory [TEXT]
#       parsing of large organisation and folder replies against a bare pass and a pass into
#       strings, and a sorted 100 000-row view; TEXT runs only the cases whose name holds it
set -euo pipefail
cd "$(dirname "$0")/.."
bench=filechannel
if [[ $# -gt 0 && $1 != -* ]]; then
  bench=$1
  shift
fi
if [[ ! -f bench/bench_$bench.cpp ]]; then
  echo "bench/run.sh: no benchmark \"$bench\" (choose filechannel, server, directory or preview)" >&2
  exit 2
fi
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZUDIVUVO_BUILD_BENCH=ON -DZUDIVUVO_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --target "bench_$bench"
exec "build-bench/bin/bench_$bench" "$@"
