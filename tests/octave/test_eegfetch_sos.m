% eegfetch with OPT.sos in Octave: each channel is Debian's scipy.signal.sosfilt on the decoded samples
% bit for bit (then the block weights and the scale), multiplexed and in records, read whole and
% resumed; the refusals; and OPT.newRows over a recording that grows by random steps returns every
% output once, while the newest window counts the outputs it missed.
1;

% sosfilt of each column of X, by /usr/bin/python3 with scipy.
function Y = sosfilt_ref(sos, X)
  base = tempname();
  f = fopen([base '.in'], 'w'); fwrite(f, [size(X) size(sos, 1)], 'double'); fwrite(f, X, 'double');
  fwrite(f, sos, 'double'); fclose(f);
  code = ['import numpy as np, scipy.signal as s, sys; b = sys.argv[1]; ' ...
          'd = np.fromfile(b + ".in"); m, n, k = map(int, d[:3]); ' ...
          'x = d[3:3 + m * n].reshape(n, m).T; q = np.ascontiguousarray(d[3 + m * n:].reshape(6, k).T); ' ...
          's.sosfilt(q, x, axis=0).T.tofile(b + ".out")'];
  [status, out] = system(sprintf('env -u LD_PRELOAD /usr/bin/python3 -c ''%s'' %s', code, base));
  assert(status == 0, out);
  f = fopen([base '.out'], 'r'); Y = reshape(fread(f, Inf, 'double'), size(X)); fclose(f);
  delete([base '.in']); delete([base '.out']);
end

% The blocks' weighted sums in frame order, then the scale: what eegfetch does after the filter.
function out = blocks(Y, factor, w, scale)
  n = floor(rows(Y) / factor);
  out = zeros(n, columns(Y));
  for i = 1:factor
    out = out + Y(i:factor:n * factor, :) * w(i);
  end
  out = out .* scale;
end

function expect_error(f, text)
  try
    f();
  catch err
    assert(~isempty(strfind(err.message, text)), 'got "%s", wanted "%s"', err.message, text);
    return;
  end
  error('no error, wanted "%s"', text);
end

bits = @(x) typecast(x(:), 'uint64');
rand('seed', 11);
% 8th-order 0.1-30 Hz band-pass at 5 kHz as 4 sections (scipy.signal.butter(4, [0.1, 30], 'bandpass', fs=5000,
% output='sos')), and a random stable pair.
band = [1.1865518756701985e-07 2.373103751340397e-07 1.1865518756701985e-07 1 -1.9317774739116351 0.9331354257633706
        1 2 1 1 -1.9703514746619912 0.9717497535115659
        1 -2 1 1 -1.999766716936024 0.9997667329069294
        1 -2 1 1 -1.9999042647521321 0.9999042805732823];
pair = [0.3 -0.2 0.7 1 -1.1 0.45; 0.5 0.5 0 1 0.3 0.2];

% Multiplexed int32, big-endian.
nChans = 6; frames = 5003; factor = 5;
X = round((rand(frames, nChans) - 0.5) * 2e6);
name = [tempname() '.bin'];
f = fopen(name, 'w', 'ieee-be'); fwrite(f, X.', 'int32'); fclose(f);
HDR = struct('fs', 5000, 'nChans', nChans, 'BinaryFormat', 2, 'scale', [1 -2 0.5 3 1e-3 7], 'endian', 'b');
w = [0.25 0.5 0.25 -0.125 1];
chan = [6 1 3 3];
for sos = {band, pair}
  OPT = struct('chanidx', chan, 'fs', 1000, 'sos', sos{1}, 'filt_subsample', w);
  want = blocks(sosfilt_ref(sos{1}, X(:, chan)), factor, w, HDR.scale(chan));
  got = eegfetch(name, HDR, OPT);
  assert(isequal(bits(got), bits(want)), 'sections against sosfilt');
  % Resumed: half the file, then all of it, into the same window.
  OPT.data = zeros(rows(want), numel(chan));
  OPT.resume = true;
  part = HDR; part.nPoints = 2001;
  eegfetch(name, part, OPT);
  [~, info] = eegfetch(name, HDR, OPT);
  assert(info.resumedFrames == 2001 && isequal(bits(OPT.data), bits(want)), 'resumed sections');
end

% Records (EDF's layout): 3 channels of 8 samples a record, one of 2 that is not read.
records = 300; per = 8;
X = round((rand(records * per, 3) - 0.5) * 6e4);
name2 = [tempname() '.bin'];
f = fopen(name2, 'w', 'ieee-le');
for r = 1:records
  fwrite(f, X((r - 1) * per + (1:per), :), 'int16');
  fwrite(f, [r r], 'int16');
end
fclose(f);
HDR2 = struct('fs', 800, 'nChans', 4, 'BinaryFormat', 1, 'scale', [0.5 1 2 9], 'endian', 'l', ...
              'recordSamples', [per per per 2]);
OPT2 = struct('chanidx', [3 1], 'fs', 200, 'sos', pair);
want = blocks(sosfilt_ref(pair, X(:, [3 1])), 4, [0 0 0 1], [2 0.5]);
assert(isequal(bits(eegfetch(name2, HDR2, OPT2)), bits(want)), 'sections in records');

% Refusals, in check order.
OPT = struct('chanidx', 1, 'fs', 1000);
expect_error(@() eegfetch(name, HDR, setfield(setfield(setfield(OPT, 'filt_b', 1), 'filt_a', 1), 'sos', pair)), ...
             'Give OPT.sos or OPT.filt_a and OPT.filt_b, not both.');
expect_error(@() eegfetch(name, HDR, setfield(OPT, 'sos', pair(:, 1:5))), 'OPT.sos must be a real matrix');
expect_error(@() eegfetch(name, HDR, setfield(OPT, 'sos', 2 * pair)), 'Every row of OPT.sos must have a0 = 1');
expect_error(@() eegfetch(name, HDR, setfield(OPT, 'newRows', true)), 'OPT.newRows needs OPT.resume.');
R = setfield(setfield(OPT, 'newRows', true), 'resume', true);
expect_error(@() eegfetch(name, HDR, setfield(R, 'data', zeros(2, 1))), 'give OPT.newRows or OPT.data, not both.');

% New rows only over a growing file; the newest window beside it counts what it missed.
grow = [tempname() '.bin'];
fclose(fopen(grow, 'w'));
X = round((rand(30000, nChans) - 0.5) * 2e6);
NR = struct('chanidx', [2 5], 'fs', 1000, 'sos', band, 'resume', true, 'newRows', true);
WIN = struct('chanidx', [2 5], 'fs', 1000, 'sos', band, 'resume', true, 'newest', true, 'data', zeros(10, 2));
got = zeros(0, 2); written = 0; placedEnd = 0; missed = 0;
steps = [0 1 4 60 700 3000];  % now and then far more than the window
lastwarn('');
while written < rows(X)
  step = min(rows(X) - written, steps(randi(numel(steps))));
  f = fopen(grow, 'a', 'ieee-be'); fwrite(f, X(written + (1:step), :).', 'int32'); fclose(f);
  written = written + step;
  [Y, info] = eegfetch(grow, HDR, NR);
  assert(info.firstOutput == rows(got) && rows(Y) == floor(written / factor) - rows(got), 'new rows');
  got = [got; Y];
  [~, info] = eegfetch(grow, HDR, WIN);
  n = floor(written / factor);
  if n > 0 && placedEnd > 0
    assert(info.missed == max(0, n - 10 - placedEnd), 'missed %d', info.missed);
    missed = missed + info.missed;
  end
  placedEnd = max(placedEnd, n);
end
whole = eegfetch(grow, HDR, struct('chanidx', [2 5], 'fs', 1000, 'sos', band));
assert(isequal(bits(got), bits(whole)), 'the new rows together are the whole read');
assert(missed > 0);
assert(isempty(lastwarn()), 'warned: %s', lastwarn());
delete(name); delete(name2); delete(grow);
