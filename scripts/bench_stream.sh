#!/usr/bin/env bash
# Benchmark of the chunk decimator (a command, not a test): pushes of an inlet's chunk, 32 frames x 64
# channels (int16 and float32), 4th-order Butterworth low-pass at 200 Hz, 5000 -> 500 Hz, and prints in
# one run:
#   - the median push in Python (eegmex.Decimator; goal <= 5 us) and in Octave (eegmex_decimate,
#     native function; goal <= 20 us);
#   - scipy's lfilter with zi plus slicing on the same chunks, and how many times faster the push is
#     (goal >= 3 x);
#   - a push of 1 s of frames per sample against the engine's own arithmetic on W1's settings (the
#     filter loop alone, in cache, one thread: eegfetch_bench kernel); goal <= 1.2 x.
# Environment: BUILD_DIR (build), ROUNDS (15), INSTALL=0 uses the package already installed in
# $BUILD_DIR/python-venv (as scripts/bench_python.sh installs it).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-build}
rounds=${ROUNDS:-15}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target eegfetch_bench eegmex_decimate_octave_native >/dev/null
bench=$build/bench/eegfetch_bench
venv=$(realpath -m "$build")/python-venv
[ -x "$venv/bin/python" ] || /usr/bin/python3 -m venv --system-site-packages "$venv"
[ "${INSTALL:-1}" = 0 ] ||
  "$venv/bin/pip" install --quiet --no-build-isolation --no-deps --disable-pip-version-check --no-index "$root"

data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT
"$bench" generate "$data/w1.bin" 64 1 l 5000 >/dev/null
csv() { tr -s ' ' '\n' | sed '/^$/d' | paste -sd, -; }
b=$("$bench" butter 4 200 5000 | sed -n 's/^b: //p' | csv)
a=$("$bench" butter 4 200 5000 | sed -n 's/^a: //p' | csv)
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
arith=$("$bench" kernel "$data/w1.bin" 64 1 l 4 200 5000 500 "$rounds" | sed -E -n 's/.*ns_per_sample=([0-9.]+).*/\1/p')
py=$(cd "$build" && "$venv/bin/python" "$root/bench/bench_stream.py" "$b" "$a" "$rounds")
oct=$(octave-cli -H --no-gui --quiet --eval "addpath('$(realpath "$build")'); addpath('$root/bench'); bench_stream([$b], [$a], $rounds)")
val() { printf '%s\n%s\n' "$py" "$oct" | sed -n "s/^$1 //p"; }
awk -v pi="$(val PUSH_int16)" -v pf="$(val PUSH_float32)" -v si="$(val SCIPY_int16)" -v sf="$(val SCIPY_float32)" \
  -v oi="$(val OCTAVE_int16)" -v of="$(val OCTAVE_single)" -v s="$(val SECOND_NS_PER_SAMPLE)" -v ar="$arith" \
  -v d="$(val SCIPY_MAX_DIFF)" -v fi="$(val FASTEST_int16)" -v ff="$(val FASTEST_float32)" \
  -v ofi="$(val OCTAVE_FASTEST_int16)" -v off="$(val OCTAVE_FASTEST_single)" 'BEGIN {
  printf "push of 32 x 64, Python:  int16 %.2f us, float32 %.2f us (goal <= 5 us: %s); the fastest single push: %.2f and %.2f us\n", pi, pf, (pi <= 5 && pf <= 5) ? "met" : "NOT met", fi, ff
  printf "push of 32 x 64, Octave:  int16 %.2f us, single %.2f us (goal <= 20 us: %s); the fastest single push: %.2f and %.2f us\n", oi, of, (oi <= 20 && of <= 20) ? "met" : "NOT met", ofi, off
  printf "scipy lfilter with zi and slicing on the same chunks: int16 %.2f us, float32 %.2f us (largest difference %s)\n", si, sf, d
  printf "  the push is %.1f x (int16) and %.1f x (float32) faster (goal >= 3 x: %s)\n", si / pi, sf / pf, (si / pi >= 3 && sf / pf >= 3) ? "met" : "NOT met"
  printf "push of 1 s (5000 x 64 int16): %.3f ns a sample; the engine'"'"'s arithmetic on W1: %.3f ns: %.2f x (goal <= 1.2 x: %s)\n", s, ar, s / ar, (s <= 1.2 * ar) ? "met" : "NOT met"
}'
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
