#!/usr/bin/env bash
# Benchmark W3 (a command, not a test): a BDF file of 72 channels (64 + 8) at 2048 Hz for W3_SECONDS
# (default 1800: 30 minutes, 800 MB), every channel read to 256 Hz through a 4th-order Butterworth
# low-pass at 100 Hz. In one run: eegfetch (native Octave module, the HDR of eegmex_edf) against its
# decode-only floor (whole records read and every sample converted) plus one first touch of the result;
# MNE-Python (read_raw_bdf(preload=True), the same IIR filter forward and backward, every 8th sample)
# with its time and peak memory; and the online loop on a growing copy: calls with OPT.resume and
# OPT.newest, 1/8 s of records appended before each. Prints each goal beside its figure.
# Environment: BUILD_DIR (build), BENCH_DATA ($BUILD_DIR/benchdata), ROUNDS (3), CALLS (300),
# W3_SECONDS, MNE=0 to leave MNE out, KEEP_DATA=1 to keep the file.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
data=${BENCH_DATA:-$build/benchdata}
rounds=${ROUNDS:-3}
calls=${CALLS:-300}
seconds=${W3_SECONDS:-1800}
python=/usr/bin/python3
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target eegfetch_bench eegfetch_octave_native eegmex_result_octave_native >/dev/null
bench=$build/bench/eegfetch_bench
mkdir -p "$data"
file=$data/w3.bdf
cleanup() { [ "${KEEP_DATA:-0}" = 1 ] || rm -f "$file"; }
trap cleanup EXIT
if [ ! -f "$file" ] || [ "$(stat -c %s "$file")" != $((256 * 73 + seconds * 72 * 2048 * 3)) ]; then
  echo "generating $file"
  "$python" bench/w3.py generate "$file" 72 2048 "$seconds"
fi
b=$("$bench" butter 4 100 2048 | sed -n 's/^b: //p')
a=$("$bench" butter 4 100 2048 | sed -n 's/^a: //p')
echo "machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "W3: $(stat -c %s "$file") bytes, 72 channels at 2048 Hz -> 256 Hz, 4th-order low-pass"
cat "$file" >/dev/null  # warm the page cache
floor=$("$bench" recfloor "$file" $((256 * 73)) 72 2048 "$rounds" | sed -E 's/.*median_s=([0-9.]+).*/\1/')
out=$(octave-cli -H --no-gui --no-window-system --quiet --eval \
  "addpath('$build'); addpath('$build/bench/native'); addpath('$(pwd)/bench'); bench_w3('$file', 256, [$b], [$a], $rounds, $calls)")
echo "$out"
t=$(sed -n 's/^eegfetch median_s=\([0-9.]*\).*/\1/p' <<<"$out")
touch=$(sed -n 's/^floor median_s=\([0-9.]*\).*/\1/p' <<<"$out")
online=$(sed -n 's/^online median_ms=\([0-9.]*\).*/\1/p' <<<"$out")
printf '  decode-only floor (whole records, every sample)  %8.3f s\n' "$floor"
awk -v t="$t" -v f="$floor" -v h="$touch" -v o="$online" 'BEGIN {
  g = 1.2 * (f + h)
  printf "Goal: eegfetch %.3f s <= 1.2 x (decode floor %.3f s + one first touch %.3f s) = %.3f s: %s\n", t, f, h, g,
    (t <= g ? "met" : sprintf("missed by %.0f%%", 100 * (t / g - 1)))
  printf "Goal: online median %.3f ms a call <= 1 ms: %s\n", o, (o <= 1 ? "met" : sprintf("missed by %.3f ms", o - 1)) }'
if [ "${MNE:-1}" != 0 ] && "$python" -c "import mne" 2>/dev/null; then
  mne=$("$python" bench/peer_mne.py "$file" 2048 256 "$(echo $b | tr ' ' ',')" "$(echo $a | tr ' ' ',')" 1)
  echo "MNE-Python (read_raw_bdf preload, filter forward and backward, every 8th sample): $mne"
else
  echo "MNE-Python: skipped (MNE=0 or python3-mne missing)"
fi
