#!/usr/bin/env bash
# All tests: installs what is missing, builds, runs the C++ and Octave suites with CTest, the
# sanitizer builds, a bounded fuzz run per target (FUZZ_SECONDS, default 60), valgrind over the
# Octave suite, then the Windows builds under wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/deps.sh
bash scripts/build.sh
(cd "${BUILD_DIR:-build}" && ctest --output-on-failure -j"$(nproc)")
bash "$root/scripts/sanitize.sh"
bash "$root/scripts/fuzz.sh" "${FUZZ_SECONDS:-60}"
bash "$root/scripts/valgrind-octave.sh"
bash "$root/scripts/test-windows.sh"
