#!/usr/bin/env bash
# valgrind memcheck of the Octave end-to-end suite (tests/octave/test_*.m).
#   scripts/valgrind-octave.sh [test_name...]   (default: every test_*.m)
#   scripts/valgrind-octave.sh --regen-suppressions
# Octave's own reports (its start-up, interpreter and exit) are suppressed by
# scripts/valgrind-octave.supp, which --regen-suppressions rebuilds from a run of Octave that never
# loads our modules, and those of its MEX layer by the hand-written scripts/valgrind-octave-mex.supp. A test fails when it fails by itself or when any remaining report (invalid
# access, uninitialised value, definite leak) has a frame in our modules, or a frame valgrind
# cannot name (code of a module that was unloaded, `clear all`, before the leak check). Other
# remaining reports have no frame of ours; they are counted and shown, not failed on.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-build}
[[ $build = /* ]] || build=$root/$build
supp=$root/scripts/valgrind-octave.supp
out=$build/valgrind
mkdir -p "$out"
vg=(valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite
  --track-origins=no --num-callers=30 --error-exitcode=99 --keep-debuginfo=yes)
octave=(octave-cli -H --no-gui --no-window-system --quiet)

if [ "${1:-}" = --regen-suppressions ]; then
  # Octave doing what the tests do (paths, files, globals, errors caught and raised, clear all),
  # without our modules.
  script="addpath('$root/tests/octave'); global G; G = 1; x = rand(20); f = [tempname() '.bin'];
    fid = fopen(f, 'wb'); fwrite(fid, int16(1:100), 'int16'); fclose(fid); delete(f);
    try, error('a:b', 'boom'); catch e, assert(numel(e.message) > 0); end
    s = struct('a', 1); c = {1, 'x'}; pause(0.01); setenv('EEGMEX_X', tempname()); unsetenv('EEGMEX_X');
    for k = 1:3, setenv('EEGMEX_Y', num2str(k)); clear all; end; disp(getenv('HOME'));"
  "${vg[@]}" --gen-suppressions=all --log-file="$out/baseline.log" "${octave[@]}" --eval "$script" || true
  # Each suppression keeps its first 8 frames, so that it matches the same report of Octave's
  # reached from elsewhere in Octave.
  awk '/^\{/{b=1; s=""; f=0} b && /^   (fun|obj):/{if (++f > 8) next} b{s=s $0 "\n"} /^\}/{b=0; if(!(s in seen)){seen[s]=1; n++; sub(/<insert_a_suppression_name_here>/, "octave-own-" n, s); printf "%s", s}}' \
    "$out/baseline.log" >"$supp"
  echo "valgrind: $(grep -c '^{' "$supp") suppressions of Octave's own reports written to $supp"
  exit 0
fi

bash scripts/build.sh >/dev/null
tests=("$@")
if ((${#tests[@]} == 0)); then
  # test_help reads the help texts and runs no code of ours: under valgrind it would check
  # Octave's help system alone.
  for f in tests/octave/test_*.m; do
    [ "$(basename "$f")" = test_help.m ] || tests+=("$(basename "$f" .m)")
  done
fi
export EEGMEX_BUILD=$build EEGMEX_SOURCE=$root
# 20 rounds of pulses and clear all, not 200: valgrind runs one thread at a time, so the later rounds
# find nothing more here (the plain suite runs all 200).
export EEGMEX_CLEAR_ROUNDS=${EEGMEX_CLEAR_ROUNDS:-20}
# 100 markers, not 1,000, in the records test: its comparisons run in the interpreter.
export EEGMEX_RECORD_MARKERS=${EEGMEX_RECORD_MARKERS:-100}

# One test under valgrind: prints its verdict, returns nonzero when it failed.
check_one() {
  local t=$1 log="$out/$1.log" start rc ours others secs
  start=$(date +%s)
  rc=0
  (cd "$out" && "${vg[@]}" --suppressions="$supp" --suppressions="$root/scripts/valgrind-octave-mex.supp" \
    --log-file="$log" "${octave[@]}" \
    --eval "addpath('$build'); addpath('$root/tests/octave'); $t" >"$out/$t.out" 2>&1) || rc=$?
  # Split the log into reports and sort them: ours when a frame lies in our code.
  read -r ours others < <(awk '
    /^==[0-9]+== [^ ]/ && /(Invalid|uninitialised|definitely lost in loss|Mismatched|overlap|Syscall param)/ {inrep=1; mine=0; next}
    inrep && /(eegfetch|trigout|portlibs|simport|mexFunction|eeg::|trig::|\?\?\?)/ {mine=1}
    inrep && /^==[0-9]+== $/ {if (mine) o++; else x++; inrep=0}
    END {print o+0, x+0}' "$log")
  secs=$(($(date +%s) - start))
  if [ "$rc" != 0 ] && [ "$rc" != 99 ]; then
    echo "valgrind: $t FAILED (the test itself, exit $rc; see $out/$t.out)"
    return 1
  elif [ "$ours" != 0 ]; then
    echo "valgrind: $t FAILED: $ours report(s) in our code (see $log)"
    return 1
  fi
  echo "valgrind: $t passed in ${secs}s: no report in our code ($others other unsuppressed report(s))"
}

# The tests side by side, one per processor (each runs one single-threaded Octave under valgrind).
jobs=$(nproc)
status=0
pids=()
for t in "${tests[@]}"; do
  if ((${#pids[@]} >= jobs)); then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
  check_one "$t" &
  pids+=($!)
done
for p in "${pids[@]}"; do wait "$p" || status=1; done
exit $status
