#!/usr/bin/env bash
# All tests: installs what is missing, builds, then runs
#   1. the C++ and Octave suites with CTest;
#   2. the sanitizer builds (AddressSanitizer + UndefinedBehaviorSanitizer + LeakSanitizer, and
#      ThreadSanitizer);
#   3. a bounded fuzz run per target (FUZZ_SECONDS, default 60);
#   4. memory checking of the Octave suite: valgrind where it can run Octave, otherwise the same
#      tests on modules built with AddressSanitizer inside Octave (EEGMEX_MEMCHECK=valgrind|asan
#      forces one);
#   5. the Windows builds under wine: 64-bit always, 32-bit where this kernel runs 32-bit programs;
#   6. the Python package: built and installed into a virtual environment under the build tree, and
#      its pytest suite (scripts/test_python.sh).
# Every part runs even after another has failed. The last line says what ran, what failed and
# what was skipped, and why; the exit status is nonzero when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/probe.sh
ran=() failed=() skipped=()
part() {  # part NAME COMMAND...
  local name=$1
  shift
  echo "=== $name"
  if "$@"; then ran+=("$name"); else failed+=("$name"); fi
}

bash scripts/deps.sh || { echo "test: FAILED: installing the packages"; exit 1; }
bash scripts/build.sh || { echo "test: FAILED: the build"; exit 1; }

part ctest bash -c "cd '${BUILD_DIR:-build}' && ctest --output-on-failure -j$(nproc)"
part asan bash "$root/scripts/sanitize.sh" asan
part tsan bash "$root/scripts/sanitize.sh" tsan
part fuzz bash "$root/scripts/fuzz.sh" "${FUZZ_SECONDS:-60}"

memcheck=${EEGMEX_MEMCHECK:-}
if [ -z "$memcheck" ]; then
  if probe_valgrind_octave; then
    memcheck=valgrind
  else
    memcheck=asan
    skipped+=("valgrind (it cannot start Octave on this machine, so the Octave suite ran under AddressSanitizer instead)")
  fi
fi
if [ "$memcheck" = valgrind ]; then
  part "octave memcheck (valgrind)" bash "$root/scripts/valgrind-octave.sh"
else
  part "octave memcheck (AddressSanitizer self-check)" bash "$root/scripts/asan-octave.sh" --self-check
  part "octave memcheck (AddressSanitizer)" bash "$root/scripts/asan-octave.sh"
fi

part "windows (pe checks, wine64$(probe_32bit_programs && echo ', wine32'))" bash "$root/scripts/test-windows.sh"
probe_32bit_programs || skipped+=("wine32 (this kernel cannot run 32-bit programs)")

part python bash "$root/scripts/test_python.sh"

join() {
  local out="" x
  for x in "$@"; do out+="${out:+, }$x"; done
  echo "${out:-nothing}"
}
line="test: ran ${#ran[@]} part(s): $(join "${ran[@]}")"
((${#failed[@]})) && line="test: FAILED: $(join "${failed[@]}"); ran ${#ran[@]} other part(s): $(join "${ran[@]}")"
if ((${#skipped[@]})); then line+="; skipped: $(join "${skipped[@]}")"; else line+="; skipped: nothing"; fi
echo "$line"
((${#failed[@]} == 0))
