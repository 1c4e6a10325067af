#!/usr/bin/env bash
# All tests: installs what is missing, builds, runs the C++ and Octave suites with CTest, then the
# Windows builds under wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/deps.sh
bash scripts/build.sh
(cd "${BUILD_DIR:-build}" && ctest --output-on-failure -j"$(nproc)")
bash "$root/scripts/test-windows.sh"
