#!/usr/bin/env bash
# Builds the Debian packages into build/packages/ and checks them with lintian:
#   zudivuvo_VERSION_amd64.deb (desktop and terminal client), zudivuvo-server_VERSION_amd64.deb.
set -euo pipefail
cd "$(dirname "$0")/.."
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
cmake --preset release >/dev/null
cmake --build --preset release --target ZuDivuvo zudivuvo-cli zudivuvo-server zudivuvo_package_docs
rm -f build/packages/*.deb
(cd build && cpack --config CPackConfig.cmake >/dev/null)
rm -rf build/packages/_CPack_Packages
ls build/packages/*.deb
if command -v lintian >/dev/null; then
  # Errors fail the build; warnings and notes are printed for a human to read.
  out=$(lintian --tag-display-limit 0 build/packages/*.deb 2>&1 || true)
  [ -z "$out" ] || printf '%s\n' "$out"
  if printf '%s\n' "$out" | grep -q '^E: '; then
    echo "lintian reports errors" >&2
    exit 1
  fi
  echo "lintian: no errors"
else
  echo "lintian is not installed: the packages were not checked"
fi
