#!/usr/bin/env bash
# Benchmark of online reading (a command, not a test): a recording shaped like W1 (64 channels int16
# at 5 kHz) read in Octave at 500 Hz through a 4th-order Butterworth low-pass at 200 Hz, 100 ms of new
# data appended before every call, at 1 minute, 10 minutes and 1 hour into the file (the last one
# 18,000,000 frames, 2.3 GB). For each: the per-call time with OPT.resume and of the same calls
# without it (a full read each), both access patterns, and an empty module call of the same run.
# Environment: BUILD_DIR (build), BENCH_DATA ($BUILD_DIR/benchdata), CALLS (300 resumed calls a
# pattern), FULL_CALLS (5 full reads a pattern), MINUTES (1 10 60), KEEP_DATA=1 keeps the files,
# BASELINE=DIR (another build directory, whose native eegfetch.oct runs each checkpoint too, after
# this build's).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
data=${BENCH_DATA:-$build/benchdata}
calls=${CALLS:-300}
fullCalls=${FULL_CALLS:-5}
minutes=(${MINUTES:-1 10 60})
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target eegfetch_bench eegfetch_octave_native eegmex_empty_octave >/dev/null
bench=$build/bench/eegfetch_bench
mkdir -p "$data"
source_file=$data/online_source.bin
grow=$data/online_grow.bin
cleanup() { [ "${KEEP_DATA:-0}" = 1 ] || rm -f "$source_file" "$grow"; }
trap cleanup EXIT

last=${minutes[${#minutes[@]}-1]}
# Room for the growth of the calls past the longest checkpoint.
frames=$((last * 60 * 5000 + (2 * calls + 2 * fullCalls + 10) * 500))
bytes=$((frames * 128))
if [ ! -f "$source_file" ] || [ "$(stat -c %s "$source_file")" != "$bytes" ]; then
  echo "generating $source_file ($bytes bytes)"
  "$bench" generate "$source_file" 64 1 l "$frames"
fi
b=$("$bench" butter 4 200 5000 | sed -n 's/^b: //p')
a=$("$bench" butter 4 200 5000 | sed -n 's/^a: //p')
echo "machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
for m in "${minutes[@]}"; do
  for dir in "$build" ${BASELINE:+"$BASELINE"}; do
    label="${m} min"
    [ "$dir" = "$build" ] || label="${m} min, BASELINE"
    head -c $((m * 60 * 5000 * 128)) "$source_file" >"$grow"  # each build grows the same file
    cat "$grow" >/dev/null  # in the page cache, as a file being written is
    octave-cli -H --no-gui --no-window-system --quiet --eval \
      "addpath('$build/bench'); addpath('$(pwd)/bench'); addpath('$(cd "$dir" && pwd)'); bench_online('$grow', '$source_file', [$b], [$a], '$label', $calls, $fullCalls)"
  done
done
