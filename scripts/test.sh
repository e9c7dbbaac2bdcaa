#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test, including the install
# test of the Debian packages (which installs and removes them on this machine).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
# The soak benchmark's short forms run among the tests.
cmake -S . -B build -DZUDIVUVO_BUILD_BENCH=ON >/dev/null
cmake --build build --target bench_soak
scripts/package.sh
ZUDIVUVO_INSTALL_TEST=1 ctest --preset release
