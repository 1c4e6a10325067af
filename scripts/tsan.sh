#!/usr/bin/env bash
# ThreadSanitizer run of the trigout tests (many concurrent pulses, unload with pulses pending)
# in a build tree of its own (build-tsan/, or $TSAN_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${TSAN_BUILD_DIR:-build-tsan}
flags="-fsanitize=thread -g -O1"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread \
  -DCMAKE_MODULE_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build "$build" -j2 --target trigout_tests
# The concurrency test several times over, then the whole trigout suite once.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
"$build/tests/trigout/trigout_tests" --gtest_filter='*Concurrent*' --gtest_repeat=20 --gtest_brief=1
"$build/tests/trigout/trigout_tests" --gtest_brief=1
echo "tsan: no data race reported"
