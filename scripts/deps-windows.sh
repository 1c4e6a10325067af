#!/usr/bin/env bash
# Installs what the Windows builds and their wine suite need, when it is missing: the mingw-w64
# cross compilers, wine for both architectures, and the i386 architecture that wine32 comes from.
# Run as root (or with sudo available).
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
if [ "$(id -u)" != 0 ]; then
  command -v sudo >/dev/null || { echo "deps-windows: need root" >&2; exit 1; }
  sudo=sudo
fi
export DEBIAN_FRONTEND=noninteractive

# The plain packages first, through the common script.
bash scripts/deps.sh

# 32-bit programs under wine need wine32, which is built for i386 only.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "deps-windows: adding the i386 architecture"
  $sudo dpkg --add-architecture i386
  $sudo apt-get update -qq
fi
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  echo "deps-windows: installing wine32:i386"
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends wine32:i386 >/dev/null
fi
