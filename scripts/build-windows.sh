#!/usr/bin/env bash
# Cross-builds the Windows deliverables with mingw-w64: build-win32/{eegfetch,trigout}.mexw32 and
# build-win64/{eegfetch,trigout}.mexw64, plus (unless -DEEGMEX_TESTS=OFF is given) the embedded host
# as libmx.dll/libmex.dll, the simulated port library and the harness the wine suite runs.
# WIN_BUILD_PREFIX changes the build directories' prefix (default build-win); extra arguments go to
# cmake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=${WIN_BUILD_PREFIX:-build-win}
for arch in i686:32 x86_64:64; do
  toolchain=cmake/mingw-${arch%%:*}.cmake
  dir=$prefix${arch##*:}
  cmake --no-warn-unused-cli -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$dir" -j2
done
