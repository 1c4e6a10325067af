#!/usr/bin/env bash
# The C++ suites under the sanitizers, built with clang:
#   build-asan/: AddressSanitizer + UndefinedBehaviorSanitizer (no recovery) + LeakSanitizer, every
#                C++ suite (the embedded host, the modules it loads, the tests);
#   build-tsan/: ThreadSanitizer, the suites that run threads (trigout, port libraries, reliability).
# scripts/sanitize.sh [asan|tsan]...   (default: both). The Octave flavour of the modules is not
# built here, native or MEX (Octave itself is not instrumented); the Octave tests run in the plain
# build.
set -euo pipefail
cd "$(dirname "$0")/.."
kinds=("$@")
((${#kinds[@]})) || kinds=(asan tsan)
bash scripts/deps.sh

# Every target of a configured tree except the Octave flavours of the modules.
native_targets() {
  cmake --build "$1" --target help | sed -n 's/^\.\.\. \([A-Za-z0-9_.-]*\).*/\1/p' |
    grep -v -E '^(all|clean|depend|edit_cache|rebuild_cache|test|install.*|list_install_components)$|_octave(_native)?$'
}

build_and_test() {  # dir flags ctest-args...
  local dir=$1 flags=$2
  shift 2
  CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags" -DCMAKE_MODULE_LINKER_FLAGS="$flags" \
    >/dev/null
  # shellcheck disable=SC2046
  cmake --build "$dir" -j2 --target $(native_targets "$dir") >/dev/null
  (cd "$dir" && ctest --output-on-failure -E '^(octave|packaging)_' "$@")
}

common="-g -O1 -fno-omit-frame-pointer"
# Tests that make allocation or thread creation fail by capping the address space (RLIMIT_AS)
# cannot run under a sanitizer, whose shadow memory needs terabytes of address space.
export GTEST_FILTER=${GTEST_FILTER:-"-*ThreadThatCannotStart*:*AllocationFailureIsReported*"}
for kind in "${kinds[@]}"; do
  case $kind in
    asan)
      echo "sanitize: AddressSanitizer + UndefinedBehaviorSanitizer + LeakSanitizer"
      ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
      UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        build_and_test build-asan "$common -fsanitize=address,undefined -fno-sanitize-recover=all"
      ;;
    tsan)
      echo "sanitize: ThreadSanitizer (trigout, port libraries, reliability)"
      TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
        build_and_test build-tsan "$common -fsanitize=thread" -R 'trigout|portlib|reliability'
      ;;
    *)
      echo "sanitize: unknown kind $kind (asan or tsan)" >&2
      exit 2
      ;;
  esac
done
