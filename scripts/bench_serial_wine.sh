#!/usr/bin/env bash
# How long the Windows build of the serial port library holds a write when the device takes
# nothing, under wine (a benchmark command, not a test). COM5 of the wine prefix is mapped to a pty
# whose master is held open and never read, so the pty's buffer fills and writes stall; then
# build-win<bits>/serial_bound_bench.exe times N Out32 calls, N driver checks and N whole trigout
# pulses against the full buffer and prints median, p99 and max of each.
# Usage: scripts/bench_serial_wine.sh [N=200] [BITS="64 32"]
# Builds only the benchmark (and what it loads) in build-win64/build-win32. 32-bit runs where the
# kernel runs 32-bit programs (probed, and said when skipped). Run it under `flock -x
# /tmp/quiet.lock` when its figures are to be reported, and give the load average with them.
# The figures are wine's: its serial layer (the server's async write with its timeout, polled
# with millisecond resolution) stands where Windows has the port's driver.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/probe.sh
n=${1:-200}
bits_list=${2:-64 32}

# One wine prefix for both architectures (scripts/probe.sh).
setup_wine_prefix

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
for bits in $bits_list; do
  loader=$wine64
  arch=x86_64
  if [ "$bits" = 32 ]; then
    loader=$wine32
    arch=i686
    if ! probe_32bit_programs; then
      echo "wine32: skipped (this kernel cannot run 32-bit programs)"
      continue
    fi
  fi
  dir=$root/build-win$bits
  cmake --no-warn-unused-cli -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$dir" -j2 --target serial_bound_bench >/dev/null
  com=$WINEPREFIX/dosdevices/com5
  rm -f "$com"
  # The far end: holds the master open and never reads, until its link is removed.
  /usr/bin/python3 -c '
import os, sys, time
link = sys.argv[1]
master, slave = os.openpty()
os.symlink(os.ttyname(slave), link + ".new")
os.rename(link + ".new", link)
end = time.monotonic() + 600
while time.monotonic() < end and os.path.lexists(link):
    time.sleep(0.1)
' "$com" &
  far_pid=$!
  for _ in $(seq 100); do [ -L "$com" ] && break; sleep 0.05; done
  (cd "$dir" && WINELOADER=$loader timeout 600 "$loader" serial_bound_bench.exe "$(windows_path "$dir")" COM5 "$n" 2>"$dir/serial_bound_bench.stderr") |
    tr -d '\r' || echo "wine$bits: the benchmark failed"
  rm -f "$com"
  wait "$far_pid" 2>/dev/null || true
done
timeout 30 "$WINESERVER" -w >/dev/null 2>&1 || true
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
