#!/usr/bin/env bash
# Configures and builds every module this machine can build, and the test suites, into build/ (or
# $BUILD_DIR). With --modules it builds the modules alone (the CMake option EEGMEX_TESTS=OFF): all
# that the demo and a user need, in a fraction of the time. Other arguments go to cmake's
# configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
tests=ON
args=()
for arg in "$@"; do
  if [ "$arg" = --modules ]; then
    tests=OFF
  else
    args+=("$arg")
  fi
done
# EEGMEX_TESTS is given every time: a build dir once built with --modules builds the tests again
# without it.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DEEGMEX_TESTS=$tests "${args[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
