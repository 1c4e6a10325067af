#!/usr/bin/env bash
# Bounded libFuzzer runs of every fuzz target: scripts/fuzz.sh [seconds per target, default 60] [target...]
# Targets: reader, eegfetch, trigout, vhdr, vmrk, edf, xdf. Builds with clang into build-fuzz/ (or $FUZZ_BUILD_DIR) with
# AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer; starts from the seed corpus in
# fuzz/corpus/<target>/ plus what earlier runs found (build-fuzz/corpus/<target>/). A crash, a
# sanitizer report, a leak or an undocumented error message fails the run and leaves the input in
# build-fuzz/artifacts/<target>/; reproduce it with build-fuzz/fuzz_<target> <that file>.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(reader eegfetch trigout vhdr vmrk edf xdf)
build=${FUZZ_BUILD_DIR:-build-fuzz}

bash scripts/deps.sh
CC=clang CXX=clang++ cmake -S fuzz -B "$build" >/dev/null
cmake --build "$build" -j2 >/dev/null

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1:max_allocation_size_mb=1024:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

status=0
for t in "${targets[@]}"; do
  exe="$build/fuzz_$t"
  if [ ! -x "$exe" ]; then
    echo "fuzz: $t: not built (its module is not in this tree)"
    continue
  fi
  corpus="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  mkdir -p "$corpus" "$artifacts"
  log="$build/fuzz_$t.log"
  # -rss_limit_mb above the sanitizer's allocation cap: a huge request becomes an "Out of memory"
  # error of the host (a documented outcome), not a libFuzzer stop.
  if "$exe" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=3072 -malloc_limit_mb=3072 \
      -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "fuzz/corpus/$t" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
    echo "fuzz: $t: ${runs:-?} executions in ${seconds}s, no finding"
  else
    status=1
    echo "fuzz: $t: FAILED (log: $log, inputs: $artifacts/)"
    grep -E "ERROR|SUMMARY|Test unit written|fuzz:|reader:|eegfetch:|trigout:" "$log" | head -n 40 || true
  fi
done
exit $status
