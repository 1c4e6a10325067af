#!/usr/bin/env bash
# Memory checking of the Octave end-to-end suite where valgrind cannot run Octave: the same
# tests (tests/octave/test_*.m), against both Octave flavours of the modules (native NAME.oct, then
# NAME.mex from mex/ of the build tree), on modules and port libraries built with AddressSanitizer and
# UndefinedBehaviorSanitizer (GCC, into build-asan-octave/ or $ASAN_OCTAVE_BUILD_DIR), inside the
# uninstrumented Octave with the sanitizer runtime preloaded.
#   scripts/asan-octave.sh [test_name...]   (default: every test_*.m)
#   scripts/asan-octave.sh --self-check     (must fail: a module that writes past its buffer)
# A test fails when it fails by itself, on any AddressSanitizer or UndefinedBehaviorSanitizer
# error (the instrumented code is ours: Octave itself is not instrumented, and the checks that
# only concern Octave's own allocator use are off), or on a leak with a frame in our code or in
# code that was unloaded before the leak check (`clear all`). Octave's own leaks at exit are
# counted and shown, not failed on.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${ASAN_OCTAVE_BUILD_DIR:-build-asan-octave}
[[ $build = /* ]] || build=$root/$build
out=$build/asan-logs
flags="-g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DEEGMEX_TESTS=OFF -DEEGMEX_MEMCHECK_PROBE=ON \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
targets=(eegfetch_octave_native trigout_octave_native eegfetch_octave trigout_octave simport simport_b simport_closed simport_noout simport_noinp simport_noisopen
  serialport)
if [ "${1:-}" = --self-check ]; then
  targets+=(memcheck_probe_octave_native memcheck_probe_octave)
fi
cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null
mkdir -p "$out"

runtime=$(g++ -print-file-name=libasan.so)
octave=(octave-cli -H --no-gui --no-window-system --quiet)
export EEGMEX_BUILD=$build EEGMEX_SOURCE=$root
# Octave's own allocation pairs and its exit are not what is checked here.
asan_options="detect_leaks=1:alloc_dealloc_mismatch=0:new_delete_type_mismatch=0:detect_odr_violation=0"
asan_options+=":halt_on_error=1:abort_on_error=0:exitcode=86:log_path=$out/LOG"

# run_one NAME OCTAVE-CODE [FLAVOUR]: prints the verdict; returns nonzero on a finding or a failed
# test. FLAVOUR native (default) puts the build tree first on the path, mex its mex/ folder.
run_one() {
  local t=$1 code=$2 flavour=${3:-native} rc=0 start secs paths="addpath('$build');"
  [ "$flavour" = native ] || paths+=" addpath('$build/mex');"
  rm -f "$out/$t".log*
  start=$(date +%s)
  (cd "$out" && LD_PRELOAD=$runtime ASAN_OPTIONS=${asan_options/LOG/$t.log} \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$out/$t.log EEGMEX_FLAVOUR=$flavour \
    "${octave[@]}" --eval "$paths addpath('$root/tests/octave'); $code" >"$out/$t.out" 2>&1) || rc=$?
  secs=$(($(date +%s) - start))
  cat "$out/$t".log* >"$out/$t.reports" 2>/dev/null || : >"$out/$t.reports"
  # Reports: errors are always ours. A leak is ours when a frame names our code, or when the
  # allocating caller (frame 1) lies in code no longer mapped (a module unloaded by `clear all`).
  # Stacks are taken by the fast unwinder, which reads frame pointers: exact through our code,
  # built with them, but not past Octave's frames, so deeper frames are not looked at.
  local errors ours others
  errors=$(grep -c -E 'ERROR: AddressSanitizer|runtime error:' "$out/$t.reports" || true)
  read -r ours others < <(awk '
    /^Direct leak of/ {inrep=1; mine=0; next}
    inrep && /(eegfetch|trigout|portlibs|simport|mexFunction|eeg::|trig::)/ {mine=1}
    inrep && /^ *#1 .*unknown module/ {mine=1}
    inrep && /^$/ {if (mine) o++; else x++; inrep=0}
    END {if (inrep) {if (mine) o++; else x++}; print o+0, x+0}' "$out/$t.reports")
  if [ "$errors" != 0 ]; then
    echo "asan-octave: $t FAILED: $errors sanitizer error(s) (see $out/$t.reports)"
    grep -m1 -A12 -E 'ERROR: AddressSanitizer|runtime error:' "$out/$t.reports" | sed 's/^/  /'
    return 1
  elif [ "$ours" != 0 ]; then
    echo "asan-octave: $t FAILED: $ours leak(s) in our code (see $out/$t.reports)"
    return 1
  elif [ "$rc" != 0 ] && [ "$rc" != 86 ]; then
    echo "asan-octave: $t FAILED (the test itself, exit $rc; see $out/$t.out)"
    return 1
  fi
  echo "asan-octave: $t passed in ${secs}s: no report in our code ($others leak(s) of Octave's own)"
}

if [ "${1:-}" = --self-check ]; then
  # The checker must catch a write one past the end of a heap buffer in mexFunction, in each flavour.
  for flavour in native mex; do
    if run_one "memcheck_probe_$flavour" "memcheck_probe()" "$flavour" >"$out/self-check.txt"; then
      echo "asan-octave: self-check FAILED ($flavour): a deliberate out-of-bounds write went unreported"
      exit 1
    fi
    grep -q 'heap-buffer-overflow' "$out/memcheck_probe_$flavour.reports" ||
      { echo "asan-octave: self-check FAILED ($flavour): no heap-buffer-overflow report"; exit 1; }
  done
  echo "asan-octave: self-check passed: the out-of-bounds write in mexFunction was reported in both flavours"
  exit 0
fi

tests=("$@")
if ((${#tests[@]} == 0)); then
  for f in tests/octave/test_*.m; do tests+=("$(basename "$f" .m)"); done
fi
status=0
for t in "${tests[@]}"; do
  run_one "$t" "$t" native || status=1
  run_one "mex_$t" "$t" mex || status=1
done
exit $status
