#!/usr/bin/env bash
# Builds the benchmarks (optimised) into build-bench/ and runs one of them. The
# first argument chooses it (the file channel one when it is left out); the rest
# go to the benchmark:
#   bench/run.sh [filechannel] [--size-mib N] [--rounds N] [--mode plain|tls] [--dir FOLDER]
#       file channel against a raw socket copy: --size-mib (default 1024), --rounds (default 6,
#       alternating which goes first; min / median / max of all runs), --dir (where the 1 GiB files go)
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
#   bench/run.sh idle [--seconds N] [--top N]
#       the client logged in with a saved login on a virtual X display beside a bare Qt Widgets
#       window: resident and proportional memory of both after N seconds (default 30). Built in
#       the normal build folder (BUILD_DIR, default build/), which has the client already;
#       --top lists the N largest resident mappings of both
#   bench/run.sh soak [--minutes N] [--sample-seconds N] [--preview-seconds N]
#       the logged-in client on a virtual X display for N minutes (default 60): message poll at
#       1 s, an upload task every minute, a preview opened and closed every 30 s (or every N s;
#       0: none); resident memory, descriptors and threads sampled, growth over the second half.
#       Built like idle
#   bench/run.sh soak-server [--minutes N] [--sample-seconds N]
#       the reference server under logins, listings, uploads and downloads, measured the same way
set -euo pipefail
cd "$(dirname "$0")/.."
bench=filechannel
if [[ $# -gt 0 && $1 != -* ]]; then
  bench=$1
  shift
fi
if [[ $bench == soak-server ]]; then
  bench=soak
  set -- --server "$@"
fi
if [[ ! -f bench/bench_$bench.cpp ]]; then
  echo "bench/run.sh: no benchmark \"$bench\" (choose filechannel, server, directory, preview, idle, soak or soak-server)" >&2
  exit 2
fi
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
if [[ $bench == idle || $bench == soak ]]; then
  # What is measured is the client as it is built for use, not a second optimised copy.
  build=${BUILD_DIR:-build}
  if [[ -f $build/CMakeCache.txt ]]; then
    cmake -S . -B "$build" -DZUDIVUVO_BUILD_BENCH=ON >/dev/null
  else
    cmake --preset release -B "$build" -DZUDIVUVO_BUILD_BENCH=ON >/dev/null
  fi
  cmake --build "$build" --target "bench_$bench"
  exec "$build/bin/bench_$bench" "$@"
fi
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZUDIVUVO_BUILD_BENCH=ON -DZUDIVUVO_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --target "bench_$bench"
exec "build-bench/bin/bench_$bench" "$@"
