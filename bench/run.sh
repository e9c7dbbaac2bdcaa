#!/usr/bin/env bash
# Builds the benchmarks (optimised) into build-bench/ and runs the file channel
# benchmark. Extra arguments go to it: --size-mib N (default 1024), --rounds N
# (default 4, alternating which goes first; the best run counts), --dir FOLDER (where the 1 GiB files go).
set -euo pipefail
cd "$(dirname "$0")/.."
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZUDIVUVO_BUILD_BENCH=ON -DZUDIVUVO_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --target bench_filechannel
exec build-bench/bin/bench_filechannel "$@"
