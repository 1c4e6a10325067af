#!/usr/bin/env bash
# Bounded libFuzzer runs of the fuzz targets, within one total budget:
#   scripts/fuzz.sh [total seconds, default 360] [target...]
# Targets (default: every fuzz_* target fuzz/CMakeLists.txt defines): reader, eegfetch, trigout,
# vhdr, vmrk, edf and the like. The budget is processor time shared equally
# among the targets, run side by side on every processor (nproc), so on two processors the default
# takes about 180 s of wall time: as much fuzzing as 60 s a target one after another, in half the
# time. A target's share is at least 10 s. Builds with clang into the AddressSanitizer tree (build-asan/, or $FUZZ_BUILD_DIR; the tree scripts/sanitize.sh also runs
# the C++ suites in, so nothing is instrumented twice) with AddressSanitizer,
# UndefinedBehaviorSanitizer and LeakSanitizer; starts from the seed corpus in fuzz/corpus/<target>/
# plus what earlier runs found (<tree>/corpus/<target>/). A crash, a sanitizer report, a leak or an
# undocumented error message fails the run and leaves the input in <tree>/artifacts/<target>/;
# reproduce it with <tree>/fuzz_<target> <that file>.
set -euo pipefail
cd "$(dirname "$0")/.."
total=${1:-360}
shift || true
targets=("$@")
build=${FUZZ_BUILD_DIR:-build-asan}
jobs=$(nproc)

[ -n "${EEGMEX_DEPS_DONE:-}" ] || bash scripts/deps.sh  # the test command has done it once for all
CC=clang CXX=clang++ cmake -S fuzz -B "$build" >/dev/null
# Only the fuzz targets (and what they load), not the Octave flavour of the modules.
known=$(cmake --build "$build" --target help | sed -n 's/^\.\.\. \(fuzz_[a-z0-9_]*\).*/\1/p')
((${#targets[@]})) || mapfile -t targets < <(sed 's/^fuzz_//' <<<"$known")
share=$((total / ${#targets[@]}))
((share >= 10)) || share=10
wanted=()
for t in "${targets[@]}"; do grep -qx "fuzz_$t" <<<"$known" && wanted+=("fuzz_$t"); done
((${#wanted[@]} == 0)) || cmake --build "$build" -j"$jobs" --target "${wanted[@]}" >/dev/null

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1:max_allocation_size_mb=1024:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

run_one() {  # target: runs it for its share, prints its verdict, returns nonzero on a finding
  local t=$1 exe="$build/fuzz_$1" corpus="$build/corpus/$1" artifacts="$build/artifacts/$1" log="$build/fuzz_$1.log"
  if [ ! -x "$exe" ]; then
    echo "fuzz: $t: not built (its module is not in this tree)"
    return 0
  fi
  mkdir -p "$corpus" "$artifacts"
  # -rss_limit_mb above the sanitizer's allocation cap: a huge request becomes an "Out of memory"
  # error of the host (a documented outcome), not a libFuzzer stop.
  if "$exe" -max_total_time="$share" -timeout=20 -rss_limit_mb=3072 -malloc_limit_mb=3072 \
      -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "fuzz/corpus/$t" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n1 || true)
    echo "fuzz: $t: ${runs:-?} executions in ${share}s (${cov:-cov: ?} edges), no finding"
  else
    echo "fuzz: $t: FAILED (log: $log, inputs: $artifacts/)"
    grep -E "ERROR|SUMMARY|Test unit written|fuzz:|reader:|eegfetch:|trigout:" "$log" | head -n 40 || true
    return 1
  fi
}

echo "fuzz: ${#targets[@]} target(s), ${share}s each, $jobs at a time"
status=0
pids=()
for t in "${targets[@]}"; do
  # At most $jobs at a time: wait for the oldest before starting another.
  if ((${#pids[@]} >= jobs)); then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
  run_one "$t" &
  pids+=($!)
done
for p in "${pids[@]}"; do wait "$p" || status=1; done
exit $status
