#!/usr/bin/env bash
# The C++ suites under the sanitizers, built with clang:
#   build-asan/: AddressSanitizer + UndefinedBehaviorSanitizer (no recovery) + LeakSanitizer, every
#                C++ suite (the embedded host, the modules it loads, the tests). It is the fuzz
#                tree (fuzz/CMakeLists.txt with the suites on): scripts/fuzz.sh builds its targets
#                in the same tree and reuses every object, so the project is instrumented once.
#   build-tsan/: ThreadSanitizer, the suites that run threads (trigout, port libraries, reliability),
#                and only what they need.
# scripts/sanitize.sh [asan|tsan]...   (default: both). Only the test executables and what they load
# are built, with the wide filter kernels this processor runs; not the benchmarks, not the Octave
# flavour of the modules (Octave itself is not instrumented; the Octave tests run in the plain build
# and under scripts/valgrind-octave.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
kinds=("$@")
((${#kinds[@]})) || kinds=(asan tsan)
[ -n "${EEGMEX_DEPS_DONE:-}" ] || bash scripts/deps.sh  # the test command has done it once for all

# The C++ test executables of a configured tree whose tests (in ctest-dir) match test-regex: the tests named
# as a target of that tree (the Octave, packaging and docs tests are scripts, not targets).
test_targets() {  # build-dir ctest-dir test-regex
  local targets tests
  targets=$(cmake --build "$1" --target help | sed -n 's/^\.\.\. \([A-Za-z0-9_.-]*\).*/\1/p')
  tests=$(ctest --test-dir "$2" -N | sed -n 's/^ *Test *#[0-9]*: *//p' | grep -E "$3")
  grep -Fx -f <(echo "$tests") <<<"$targets"
}

# The wide filter kernels this processor runs (and the tests therefore reach): the only ones worth
# instrumenting, each taking minutes to compile so.
kernels=()
grep -qw avx2 /proc/cpuinfo 2>/dev/null && kernels+=(avx2)
grep -qw avx512f /proc/cpuinfo 2>/dev/null && kernels+=(avx512)
kernel_list=$(IFS=';'; echo "${kernels[*]:-none}")

common="-gline-tables-only -O1 -fno-omit-frame-pointer"  # line tables: reports name file and line
# Tests that make allocation or thread creation fail by capping the address space (RLIMIT_AS)
# cannot run under a sanitizer, whose shadow memory needs terabytes of address space. The XDF
# oracle, Debian's libxdf, reads past one of its own buffers (a strlen of an unterminated copy) on
# every file it loads: AddressSanitizer stops it there, in its code, before it gives a sample. Our
# reader's comparison with it runs in the plain suite; here our reader runs in the other XDF tests.
export GTEST_FILTER=${GTEST_FILTER:-"-*ThreadThatCannotStart*:*AllocationFailureIsReported*:XdfOracle.*"}
for kind in "${kinds[@]}"; do
  case $kind in
    asan)
      echo "sanitize: AddressSanitizer + UndefinedBehaviorSanitizer + LeakSanitizer"
      dir=${ASAN_BUILD_DIR:-build-asan}
      CC=clang CXX=clang++ cmake -S fuzz -B "$dir" -DEEGMEX_TESTS=ON -DEEGMEX_WIDE_KERNELS="$kernel_list" >/dev/null
      # shellcheck disable=SC2046
      cmake --build "$dir" -j"$(nproc)" --target $(test_targets "$dir" "$dir/eegmex" .) >/dev/null
      (cd "$dir/eegmex" && ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
        UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        ctest --output-on-failure -j"$(nproc)" -E '^(octave|packaging|docs)_')
      ;;
    tsan)
      echo "sanitize: ThreadSanitizer (trigout, port libraries, reliability)"
      dir=${TSAN_BUILD_DIR:-build-tsan}
      flags="$common -fsanitize=thread"
      CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DEEGMEX_WIDE_KERNELS="$kernel_list" \
        -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -DNDEBUG" \
        -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
        -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags" -DCMAKE_MODULE_LINKER_FLAGS="$flags" \
        >/dev/null
      # shellcheck disable=SC2046
      cmake --build "$dir" -j"$(nproc)" --target $(test_targets "$dir" "$dir" 'trigout|portlib|reliability') >/dev/null
      (cd "$dir" && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
        ctest --output-on-failure -j"$(nproc)" -R 'trigout|portlib|reliability' -E '^(octave|packaging|docs)_')
      ;;
    *)
      echo "sanitize: unknown kind $kind (asan or tsan)" >&2
      exit 2
      ;;
  esac
done
