#!/usr/bin/env bash
# Configures and builds the release preset into build/ (executables in build/bin).
set -euo pipefail
cd "$(dirname "$0")/.."
# The cache must hit in a fresh clone in another folder too.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
cmake --preset release >/dev/null
cmake --build --preset release
