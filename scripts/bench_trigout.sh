#!/usr/bin/env bash
# Benchmark of trigout in Octave with the simulated port library (a command, not a test).
# In one Octave session, in turn, N times each (one pulse at a time, DURATION + 3 ms apart):
#  - trigout as a native function (build/trigout.oct, port 888) and, just before or just after it
#    (in turn), an empty native function called with the same arguments: the host's own cost;
#  - trigout as a MEX file (build/mex/trigout.mex, port 889) and an empty MEX function likewise;
#  - in batches between the pulses, a bare thread sleeping DURATION ms to an absolute time on the
#    monotonic clock without timer slack: how late this machine wakes a thread at all.
# Prints call latency (median, p99) beside the empty call's, the pulse width error (actual minus
# requested, from the port log's timestamps) beside the wake-up lateness, and the goals.
# Then the same through the serial port library to a pseudo-terminal, in a second session, with
# the library's benchmark build that stamps each of its write(2)s and poll(2)s: the native call
# beside the empty one, and beside it, each after a pause as the pulse is, the system calls under
# the call made bare from Octave (bench/pty_mex.cpp: a one-byte write(2), the check's poll(2), an
# ioctl(TIOCINQ)) and the library's check and Out32 alone (to a second device), each timed inside
# the call; so the call's excess over the empty call splits into the library's check (its poll),
# the pulse's write(2) and trigout's own work. The width error on the far end's clock (build/bench/
# serial_bench timestamps each byte as it arrives) beside the width between the library's two
# writes (the timer's part), each byte's delivery from its write to the far end, and the bare
# thread's wake-up; and, outside Octave, how long a byte takes from the library's write to the far
# end.
# Usage: scripts/bench_trigout.sh [N=1000] [DURATION_ms=10]   (SERIAL=0 leaves the serial part out,
# SIMPORT=0 the simulated port's)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target trigout_octave_native trigout_octave simport serialport serial_bench \
  serialport_stamped eegmex_empty_octave eegmex_empty_octave_native eegmex_wakeup_octave_native \
  eegmex_pty_octave_native >/dev/null
n=${1:-1000}
duration=${2:-10}
log=$(mktemp /tmp/bench_trigout.XXXXXX.log)
tmp=$(mktemp -d /tmp/bench_trigout.XXXXXX)
trap 'rm -f "$tmp/box" "$tmp/bare" "$tmp/lib"; rm -rf "$log" "$tmp"' EXIT
# The MEX flavour under a name of its own, so that both flavours load in one session.
cp "$build/mex/trigout.mex" "$tmp/trigout_mex.mex"
cp "$build/bench/eegmex_empty.mex" "$tmp/empty_mex.mex"
[ "${SIMPORT:-1}" = 0 ] || SIMPORT_LOG=$log octave-cli -H --no-gui --quiet --eval "
addpath('$tmp'); addpath(fullfile('$build', 'bench', 'native')); addpath('$build');
global IO_LIB
IO_LIB = fullfile('$build', 'portlibs', 'simport.so');
n = $n; d = $duration; gap = (d + 3) / 1000; batch = min(n, 100);
trigout(999, 1, 1); trigout_mex(999, 1, 1); eegmex_empty(); empty_mex(); pause(0.05);
native = zeros(n, 1); nativeEmpty = native; mex = native; mexEmpty = native; wake = [];
for i = 1:n
  v = 1 + mod(i, 255);
  % Each pair in turn first and second after the pause, so that neither finds the caches the
  % other warmed more often.
  if mod(i, 2)
    t = tic; eegmex_empty(888, v, d); nativeEmpty(i) = toc(t);
    t = tic; trigout(888, v, d); native(i) = toc(t);
  else
    t = tic; trigout(888, v, d); native(i) = toc(t);
    t = tic; eegmex_empty(888, v, d); nativeEmpty(i) = toc(t);
  end
  pause(gap);
  if mod(i, 2)
    t = tic; empty_mex(889, v, d); mexEmpty(i) = toc(t);
    t = tic; trigout_mex(889, v, d); mex(i) = toc(t);
  else
    t = tic; trigout_mex(889, v, d); mex(i) = toc(t);
    t = tic; empty_mex(889, v, d); mexEmpty(i) = toc(t);
  end
  pause(gap);
  if mod(i, batch) == 0
    wake = [wake; eegmex_wakeup(batch, d, 3)];
  end
end
clear trigout trigout_mex                      % waits for the last pulses; the log is written out
c = textscan(fopen(getenv('SIMPORT_LOG')), '%f %f %f %s');
ns = c{1}; port = c{2}; val = c{3};
function w = widths(ns, port, val, p, d)
  k = find(port == p);
  w = [];
  for j = 1:numel(k) - 1
    a = k(j); b = k(j + 1);
    if val(a) ~= 0 && val(b) == 0
      w(end + 1) = (ns(b) - ns(a)) / 1e6 - d;
    end
  end
end
q = @(x, p) subsref(sort(x), struct('type', '()', 'subs', {{max(1, ceil(p * numel(x)))}}));
us = @(x) 1e6 * x;
wn = widths(ns, port, val, 888, d); wm = widths(ns, port, val, 889, d);
printf('trigout, %d pulses of %d ms in each flavour, simulated port library\n', n, d);
printf('  call latency   native  median %6.1f us  p99 %6.1f us   empty native call median %6.1f us  p99 %6.1f us\n', ...
       us(median(native)), us(q(native, 0.99)), us(median(nativeEmpty)), us(q(nativeEmpty, 0.99)));
printf('                 MEX     median %6.1f us  p99 %6.1f us   empty MEX call    median %6.1f us  p99 %6.1f us\n', ...
       us(median(mex)), us(q(mex, 0.99)), us(median(mexEmpty)), us(q(mexEmpty, 0.99)));
printf('  width error    native  median %6.3f ms  p99 %6.3f ms   (%d pulses)\n', median(wn), q(wn, 0.99), numel(wn));
printf('                 MEX     median %6.3f ms  p99 %6.3f ms   (%d pulses)\n', median(wm), q(wm, 0.99), numel(wm));
printf('  wake-up lateness of a bare thread (absolute %d ms sleeps, no timer slack): median %6.3f ms  p99 %6.3f ms   (%d sleeps)\n', ...
       d, median(wake), q(wake, 0.99), numel(wake));
verdict = {'missed', 'met'};
% Judged at the precision printed (tic/toc counts whole microseconds).
share = round(10 * us(median(native) - median(nativeEmpty))) / 10;
printf('  goal: native call median <= empty native call + 10 us: %+.1f us, %s\n', share, verdict{1 + (share <= 10)});
width = round(1000 * median(wn)) / 1000;
printf('  goal: width error median <= 0.1 ms: %.3f ms, %s (the bare wake-up median: %.3f ms)\n', width, ...
       verdict{1 + (width <= 0.1)}, median(wake));
excess = round(1000 * (q(wn, 0.99) - q(wake, 0.99))) / 1000;
printf('  goal: width error p99 <= wake-up p99 + 0.1 ms: %+.3f ms over the wake-up p99, %s\n', excess, ...
       verdict{1 + (excess <= 0.1)});
"

[ "${SERIAL:-1}" = 0 ] && exit 0

# The serial port library, to a pty whose far end timestamps what arrives. The library is its
# benchmark build that stamps each of its write(2)s (two clock reads a write), so that the pulse's
# and the reset's writes are known on its side as well as on the far end's.
far=$tmp/far.txt
stamps=$tmp/stamps.txt
"$build/bench/serial_bench" far "$tmp/box" "$far" 3600 &
# Two more ptys, read likewise: one for bare system calls from Octave itself, outside the library,
# and one for the library's own part of a pulse (port 887), without trigout.
"$build/bench/serial_bench" far "$tmp/bare" "$tmp/bare.txt" 3600 &
"$build/bench/serial_bench" far "$tmp/lib" "$tmp/lib.txt" 3600 &
for _ in $(seq 100); do [ -L "$tmp/box" ] && [ -L "$tmp/bare" ] && [ -L "$tmp/lib" ] && break; sleep 0.05; done
latency=$("$build/bench/serial_bench" latency "$build/portlibs/serialport.so" "$n")
EEGMEX_SERIALPORT= SERIALPORT_STAMPS=$stamps octave-cli -H --no-gui --quiet --eval "
addpath(fullfile('$build', 'bench', 'native')); addpath('$build');
global IO_LIB
eegmex_serialport('$tmp/box', 'Port', 888); eegmex_serialport('$tmp/lib', 'Port', 887);
IO_LIB = fullfile('$build', 'bench', 'serialport_stamped.so');
n = $n; d = $duration; gap = (d + 3) / 1000; batch = min(n, 100);
trigout(888, 0, 0); eegmex_empty(); pause(0.05);   % the open comes with the first call
eegmex_pty('$tmp/bare', IO_LIB); eegmex_pty(3, 0, 0); eegmex_pty(1, 0, 0); eegmex_pty(2, 0, 0); eegmex_pty(4, 0, 0); eegmex_pty();
calls = zeros(n, 1); empty = calls; wake = []; writeCall = calls; pollCall = calls; inqCall = calls; libCall = calls;
for i = 1:n
  v = 1 + mod(i, 255);
  if mod(i, 2)
    t = tic; eegmex_empty(888, v, d); empty(i) = toc(t);
    t = tic; trigout(888, v, d); calls(i) = toc(t);
  else
    t = tic; trigout(888, v, d); calls(i) = toc(t);
    t = tic; eegmex_empty(888, v, d); empty(i) = toc(t);
  end
  pause(gap);
  t = tic; eegmex_pty(1, v, d); writeCall(i) = toc(t);
  pause(gap);
  t = tic; eegmex_pty(2, v, d); pollCall(i) = toc(t);
  pause(gap);
  t = tic; eegmex_pty(4, v, d); inqCall(i) = toc(t);
  pause(gap);
  t = tic; eegmex_pty(3, v, d); libCall(i) = toc(t);
  pause(gap);
  if mod(i, batch) == 0
    wake = [wake; eegmex_wakeup(batch, d, 3)];
  end
end
inside = eegmex_pty();
clear trigout eegmex_pty                      % the library is unloaded: its stamps are written
pause(0.2);
unlink('$tmp/bare'); unlink('$tmp/lib');
unlink('$tmp/box');                           % the far end writes what arrived and ends
for k = 1:200
  if exist('$far', 'file') && exist('$stamps', 'file')
    break;
  end
  pause(0.05);
end
q = @(x, p) subsref(sort(x), struct('type', '()', 'subs', {{max(1, ceil(p * numel(x)))}}));
us = @(x) 1e6 * x;
function out = ifelse_(ok, a, b)
  if ok
    out = a;
  else
    out = b;
  end
end
a = reshape(sscanf(fileread('$far'), '%f'), 2, [])';
s = reshape(sscanf(fileread('$stamps'), '%f'), 5, [])';   % start end fd what result
% The box's descriptor: the one the resets went to (port 887 is never sent a 0); the other one
% with writes is port 887's, which eegmex_pty(3, ...) drives.
boxFd = mode(s(s(:, 4) == 0, 3));
libFd = mode(s(s(:, 4) >= 0 & s(:, 3) ~= boxFd, 3));
took = @(rows) (rows(:, 2) - rows(:, 1)) / 1e3;        % us
boxPolls = took(s(s(:, 3) == boxFd & s(:, 4) == -1, :));
libPolls = took(s(s(:, 3) == libFd & s(:, 4) == -1, :));
libWrites = took(s(s(:, 3) == libFd & s(:, 4) >= 0, :));
s = s(s(:, 3) == boxFd & s(:, 4) >= 0, :);
valueWrites = took(s(s(:, 4) > 0, :)); resetWrites = took(s(s(:, 4) == 0, :));
% Each write's bytes arrive in order: the k-th arrival is the k-th byte written.
m = min(rows(a), rows(s));
delay = (a(1:m, 1) - s(1:m, 1)) / 1e3;        % us from the write's start to the arrival
w = []; wl = []; dv = []; dr = [];
for j = 1:m - 1
  if a(j, 2) ~= 0 && a(j + 1, 2) == 0 && s(j, 4) == a(j, 2) && s(j + 1, 4) == 0
    w(end + 1) = (a(j + 1, 1) - a(j, 1)) / 1e6 - d;     % on the far end's clock
    wl(end + 1) = (s(j + 1, 1) - s(j, 1)) / 1e6 - d;    % between the library's two writes
    dv(end + 1) = delay(j); dr(end + 1) = delay(j + 1);
  end
end
lat = sscanf('$latency', 'latency median %f p99 %f (%d bytes) driver check median %f write median %f');
k = @(op, col) inside(inside(:, 1) == op, col) / 1e3;   % us
wr = k(1, 2); pl = k(2, 2); inq = k(4, 2); chk = k(3, 2); o32 = k(3, 3);
line = @(what, x) printf('  %-66s median %7.1f us  p99 %7.1f us\n', what, median(x), q(x, 0.99));
printf('trigout through the serial port library to a pty, %d pulses of %d ms, native\n', n, d);
line('trigout call', us(calls));
line('empty native call, same arguments', us(empty));
line('  its check''s poll(2) (stamped in the library)', boxPolls);
line('  its pulse''s write(2) (stamped in the library)', valueWrites);
line('bare one-byte write(2) to a pty from Octave: the call', us(writeCall));
line('  the write(2) inside it', wr);
line('bare poll(2) of a pty from Octave (as the check makes it): the call', us(pollCall));
line('  the poll(2) inside it', pl);
line('bare ioctl(TIOCINQ) of a pty from Octave: the call', us(inqCall));
line('  the ioctl(2) inside it', inq);
line('the library''s driver check for one port, inside Octave', chk);
line('  its poll(2)', libPolls);
line('the library''s Out32 (one write(2)), inside Octave', o32);
line('  its write(2)', libWrites);
line('the reset''s write(2) on the timer thread', resetWrites);
excess = us(median(calls) - median(empty));
own = excess - median(chk) - median(o32);
printf('  the call''s excess over the empty call %+.1f us (medians): the library''s check %.1f us (its poll %.1f us), Out32 %.1f us (its write %.1f us), trigout''s own %+.1f us\n', ...
       excess, median(chk), median(libPolls), median(o32), median(libWrites), own);
printf('  width error on the far end''s clock  median %6.3f ms  p99 %6.3f ms   (%d pulses)\n', median(w), q(w, 0.99), numel(w));
printf('  width error between the library''s writes (the timer)  median %6.3f ms  p99 %6.3f ms\n', median(wl), q(wl, 0.99));
printf('  from the library''s write to the far end: value median %6.1f us  p99 %6.1f us;  reset median %6.1f us  p99 %6.1f us\n', ...
       median(dv), q(dv, 0.99), median(dr), q(dr, 0.99));
printf('  the reset''s delivery minus the value''s  median %+6.1f us  p99 %+6.1f us\n', median(dr - dv), q(dr - dv, 0.99));
printf('  wake-up lateness of a bare thread: median %6.3f ms  p99 %6.3f ms   (%d sleeps)\n', median(wake), q(wake, 0.99), numel(wake));
[~, worst] = sort(w, 'descend');
printf('  the widest pulses on the far end''s clock (ms of error: far end = library''s writes + reset''s delivery - value''s):\n');
for j = worst(1:min(5, numel(w)))
  printf('    %6.3f = %6.3f + %6.3f - %6.3f\n', w(j), wl(j), dr(j) / 1e3, dv(j) / 1e3);
end
printf('  write to far end (library alone, %d bytes): median %6.1f us  p99 %6.1f us   (in the library: driver check %.1f us, write %.1f us, medians)\n', ...
       lat(3), lat(1), lat(2), lat(4), lat(5));
verdict = {'missed', 'met'};
share = round(10 * us(median(calls) - median(empty))) / 10;
by = @(x, goal, unit) sprintf('missed by %.*f %s', 1 + 2 * strcmp(unit, 'ms'), x - goal, unit);
said = @(ok, x, goal, unit) ifelse_(ok, 'met', by(x, goal, unit));
printf('  goal: call median <= empty native call + 15 us: %+.1f us, %s\n', share, said(share <= 15, share, 15, 'us'));
excess = round(1000 * (q(w, 0.99) - q(wake, 0.99))) / 1000;
printf('  goal: width error p99 <= wake-up p99 + 0.1 ms: %+.3f ms over the wake-up p99, %s\n', excess, ...
       said(excess <= 0.1, excess, 0.1, 'ms'));
arrive = round(10 * lat(1)) / 10;
printf('  goal: bytes reach the far end <= 0.1 ms after the write, median: %.1f us, %s\n', arrive, ...
       said(arrive <= 100, arrive, 100, 'us'));
"
rm -f "$tmp/box" "$tmp/bare" "$tmp/lib"
wait
