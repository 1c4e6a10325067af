#!/usr/bin/env bash
# All tests: installs what is missing, builds, then runs
#   1. ctest: the C++ and Octave suites with CTest, in the plain build;
#   2. asan: the C++ suites under AddressSanitizer + UndefinedBehaviorSanitizer + LeakSanitizer, in
#      the instrumented tree the fuzz targets are built in too (build-asan/);
#   3. tsan: the suites that run threads (trigout, port libraries, reliability) under ThreadSanitizer;
#   4. fuzz: every fuzz target within one total budget of processor time (FUZZ_SECONDS, default
#      360: 60 s a target), two targets at a time on two processors, in the tree of part 2;
#   5. octave memcheck: the Octave suite under valgrind where it can run Octave, otherwise the same
#      tests on modules built with AddressSanitizer inside Octave (EEGMEX_MEMCHECK=valgrind|asan
#      forces one);
#   6. windows: the PE checks of the cross-built modules and the harness under wine: 64-bit
#      always, 32-bit where wine32 is installed and this kernel runs 32-bit programs;
#   7. python: the package built into a virtual environment under the build tree (linking the
#      build's host-free libraries, EEGMEX_PREBUILT), and its pytest suite (scripts/test_python.sh).
# `bash scripts/test.sh PART...` runs only those parts (ctest, asan, tsan, fuzz, memcheck, windows,
# python), after the packages and the build; the others are named as skipped, not asked for.
# Every part runs even after another has failed, and prints its time. A part whose packages could
# not be installed (scripts/deps.sh and scripts/deps-windows.sh retry the package index, then install
# what they can) does not run and is named, with the reason, among the skipped ones; so is a part
# this machine cannot run. The last line says what ran, what failed and what was skipped, and why;
# the exit status is nonzero when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-build}
source scripts/probe.sh
source scripts/packages.sh
ran=() failed=() skipped=() times=()
t0=$SECONDS

asked=" $* "
# want NAME: whether the part NAME is to run (every part when none was named); records it otherwise.
want() {
  [ "$asked" = "  " ] || [[ $asked == *" $1 "* ]] && return 0
  skipped+=("$1 (not asked for)")
  return 1
}
load() { cut -d' ' -f1 /proc/loadavg; }
part() {  # part NAME COMMAND...: runs it, records its verdict and its time
  local name=$1 start=$SECONDS load0 secs
  shift
  load0=$(load)
  echo "=== $name (load average $load0)"
  if "$@"; then ran+=("$name"); else failed+=("$name"); fi
  secs=$((SECONDS - start))
  times+=("$(printf '%5d s  %-48s load average %s -> %s' "$secs" "$name" "$load0" "$(load)")")
  echo "=== $name: ${secs} s"
}
# skip_for_packages NAME PKG...: true (and NAME is recorded as skipped, with the reason) when one
# of the packages is not installed.
skip_for_packages() {
  local name=$1 missing
  shift
  missing=$(missing_packages "$@")
  [ -n "$missing" ] || return 1
  skipped+=("$name (not installed: $(echo $missing)$(deps_problem))")
}

echo "=== packages"
start=$SECONDS
# The Windows part's packages too, so that what could not be installed is known before any part.
mkdir -p "$build"
export EEGMEX_DEPS_LOG=$(realpath "$build")/deps.log
: >"$EEGMEX_DEPS_LOG"
bash scripts/deps-windows.sh
missing_core=$(missing_packages "${core_packages[@]}")
if [ -n "$missing_core" ]; then
  echo "test: FAILED: installing the packages (not installed: $(echo $missing_core)$(deps_problem))"
  exit 1
fi
times+=("$(printf '%5d s  %-48s load average %s' $((SECONDS - start)) packages "$(load)")")
export EEGMEX_DEPS_DONE=1  # scripts/test-windows.sh installs nothing again

echo "=== build"
start=$SECONDS
bash scripts/build.sh || { echo "test: FAILED: the build"; exit 1; }
times+=("$(printf '%5d s  %-48s load average %s' $((SECONDS - start)) build "$(load)")")

want ctest && part ctest bash -c "cd '$build' && ctest --output-on-failure -j$(nproc)"

if ! skip_for_packages "asan, tsan, fuzz" "${sanitizer_packages[@]}"; then
  want asan && part asan bash "$root/scripts/sanitize.sh" asan
  want tsan && part tsan bash "$root/scripts/sanitize.sh" tsan
  want fuzz && part fuzz bash "$root/scripts/fuzz.sh" "${FUZZ_SECONDS:-360}"
fi

memcheck=${EEGMEX_MEMCHECK:-}
want memcheck || memcheck=none
if [ -z "$memcheck" ]; then
  if probe_valgrind_octave; then
    memcheck=valgrind
  else
    memcheck=asan
    if [ -n "$(missing_packages "${memcheck_packages[@]}")" ]; then
      skipped+=("valgrind (not installed$(deps_problem), so the Octave suite ran under AddressSanitizer instead)")
    else
      skipped+=("valgrind (it cannot start Octave on this machine, so the Octave suite ran under AddressSanitizer instead)")
    fi
  fi
fi
if [ "$memcheck" = valgrind ]; then
  part "octave memcheck (valgrind)" bash "$root/scripts/valgrind-octave.sh"
elif [ "$memcheck" = asan ]; then
  part "octave memcheck (AddressSanitizer self-check)" bash "$root/scripts/asan-octave.sh" --self-check
  part "octave memcheck (AddressSanitizer)" bash "$root/scripts/asan-octave.sh"
fi

# The Windows part: what of it can run here (scripts/test-windows.sh makes the same choices).
if want windows && ! skip_for_packages "windows (pe checks, wine64, wine32)" "${windows_cross_packages[@]}"; then
  what="pe checks"
  if ! skip_for_packages "wine64" "${wine_packages[@]}"; then what+=", wine64"; fi
  if [ -n "$(missing_packages "${wine32_packages[@]}")" ]; then
    reason="not installed: ${wine32_packages[*]}$(deps_problem)"
    probe_32bit_programs || reason+=", and this kernel cannot run 32-bit programs either"
    skipped+=("wine32 ($reason)")
  elif ! probe_32bit_programs; then
    skipped+=("wine32 (this kernel cannot run 32-bit programs)")
  else
    what+=", wine32"
  fi
  part "windows ($what)" bash "$root/scripts/test-windows.sh"
fi

if want python && ! skip_for_packages python "${python_packages[@]}"; then
  # The package links the host-free libraries of the build above instead of compiling them again.
  part python env EEGMEX_PREBUILT="$(realpath "$build")" bash "$root/scripts/test_python.sh"
fi

echo "=== times ($(nproc) processors)"
printf '%s\n' "${times[@]}"
printf '%5d s  total\n' $((SECONDS - t0))

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
