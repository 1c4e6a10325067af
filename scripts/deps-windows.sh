#!/usr/bin/env bash
# Installs what the Windows builds and their wine suite need, when it is missing: the mingw-w64
# cross compilers, wine for both architectures, and the i386 architecture that wine32 comes from,
# with everything scripts/deps.sh installs. Run as root (or with sudo available). Like
# scripts/deps.sh it fetches a failing package index again a few times, installs what it can and
# notes the reasons in $EEGMEX_DEPS_LOG; exits 1 when anything is missing. The PE checks and the
# 64-bit suite need nothing of i386: wine32 missing leaves them to run.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh

extra=()
if [ -n "$(missing_packages "${wine32_packages[@]}")" ]; then
  extra=("${wine32_packages[@]}")
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    echo "deps-windows: adding the i386 architecture"
    $sudo dpkg --add-architecture i386
  fi
fi
# One call, so that a failing index is retried once for all of them.
bash scripts/deps.sh "${extra[@]}" && exit 0
if [ -n "$(missing_packages "${wine32_packages[@]}")" ]; then
  echo "deps-windows: ${wine32_packages[*]} is not installed; the PE checks and the 64-bit suite need nothing of it" >&2
fi
exit 1
