#!/usr/bin/env bash
# Benchmark of the XDF reader (a command, not a test): eegfetch on W1 (64 channels int16, W1_FRAMES frames,
# 5000 -> 500 Hz, 4th-order Butterworth low-pass at 200 Hz, scale 0.1) as a plain file and as one stream
# of an XDF file in 1000-sample chunks with a marker stream among them, in turn, ROUNDS (5) times each;
# and the listing of that XDF file and of one of about 1 GB (the frames three times over). Medians.
# Environment: BUILD_DIR (build), BENCH_DATA ($BUILD_DIR/benchdata), W1_FRAMES (3000000), ROUNDS,
# KEEP_DATA=1 to keep the generated files.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
data=${BENCH_DATA:-$build/benchdata}
frames=${W1_FRAMES:-3000000}
rounds=${ROUNDS:-5}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target eegfetch_bench eegfetch_octave_native eegmex_formats_octave_native >/dev/null
mkdir -p "$data"
cleanup() { [ "${KEEP_DATA:-0}" = 1 ] || rm -f "$data"/xw1.bin "$data"/xw1.xdf "$data"/xw1_big.xdf; }
trap cleanup EXIT
"$build/bench/eegfetch_bench" generate "$data/xw1.bin" 64 1 l "$frames"
/usr/bin/python3 bench/xdf_from_bin.py "$data/xw1.bin" 64 5000 1000 "$data/xw1.xdf"
/usr/bin/python3 bench/xdf_from_bin.py "$data/xw1.bin" 64 5000 1000 "$data/xw1_big.xdf" 3
cat "$data/xw1.bin" "$data/xw1.xdf" >/dev/null  # a warm page cache for the reads
octave-cli -H --no-window-system --path bench --path "$build" \
  --eval "bench_xdf('$data/xw1.bin', '$data/xw1.xdf', '$data/xw1_big.xdf', $rounds)"
