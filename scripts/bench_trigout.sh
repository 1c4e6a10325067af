#!/usr/bin/env bash
# Benchmark of trigout in Octave with the simulated port library (a command, not a test).
# Prints the call latency (median, p99) over N pulses and the pulse width error, actual minus
# requested, from the port log's timestamps (median, p99).
# Usage: scripts/bench_trigout.sh [N=1000] [duration_ms=10]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
[ -f "$build/trigout.oct" ] && [ -f "$build/portlibs/simport.so" ] || bash scripts/build.sh >/dev/null
n=${1:-1000}
duration=${2:-10}
log=$(mktemp /tmp/bench_trigout.XXXXXX.log)
tmp=$(mktemp -d /tmp/bench_trigout.XXXXXX)
trap 'rm -rf "$log" "$tmp"' EXIT
# For reference: an empty MEX function, called the same way, shows what the host's call costs.
printf '#include "mex.h"\nvoid mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {}\n' >"$tmp/nop.c"
(cd "$tmp" && mkoctfile --mex nop.c -o bench_nop.mex >/dev/null)
SIMPORT_LOG=$log octave-cli -H --no-gui --quiet --eval "
addpath('$build'); addpath('$tmp');
global IO_LIB
IO_LIB = fullfile('$build', 'portlibs', 'simport.so');
n = $n; d = $duration;
trigout(999, 1, 1); pause(0.05);            % load the module once
base = zeros(n, 1);
for i = 1:n, t = tic; base(i) = toc(t); end     % tic/toc cost, for reference
lat = zeros(n, 1); nop = zeros(n, 1);
bench_nop(1, 2);
for i = 1:min(n, 300)
  t = tic; bench_nop(888, 1, d); nop(i) = toc(t);
  pause((d + 3) / 1000);
end
nop = nop(1:min(n, 300));
for i = 1:n
  v = 1 + mod(i, 255);
  t = tic; trigout(888, v, d); lat(i) = toc(t);
  pause((d + 3) / 1000);                       % one pulse at a time: every reset is written
end
clear trigout                                  % waits for the last pulse
c = textscan(fopen(getenv('SIMPORT_LOG')), '%f %f %f %s');
ns = c{1}; port = c{2}; val = c{3};
k = find(port == 888);
w = [];
for j = 1:numel(k) - 1
  a = k(j); b = k(j + 1);
  if val(a) ~= 0 && val(b) == 0
    w(end + 1) = (ns(b) - ns(a)) / 1e6 - d;
  end
end
q = @(x, p) subsref(sort(x), struct('type', '()', 'subs', {{max(1, ceil(p * numel(x)))}}));
printf('trigout, %d pulses of %d ms, simulated port library\n', n, d);
printf('  call latency      median %7.1f us   p99 %7.1f us   (tic/toc alone: median %.1f us)\n', ...
       1e6 * median(lat), 1e6 * q(lat, 0.99), 1e6 * median(base));
printf('  empty MEX call    median %7.1f us   p99 %7.1f us   (the host alone, same spacing)\n', ...
       1e6 * median(nop), 1e6 * q(nop, 0.99));
printf('  pulse width error median %7.3f ms   p99 %7.3f ms   (%d pulses measured)\n', ...
       median(w), q(w, 0.99), numel(w));
"
