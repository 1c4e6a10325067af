% eegfetch end to end in Octave: random recordings of every encoding and byte order, filtered,
% decimated, selected and scaled, against Octave's own filter (which rounds in another order:
% 1e-10 relative); placement into OPT.data and the returned copy.
1;

function name = write_recording(X, format, endian)
  % X: frames x channels
  types = {'int16', 'int32', 'single'};
  name = [tempname() '.bin'];
  fid = fopen(name, 'w', ifelse_str(endian == 'b', 'ieee-be', 'ieee-le'));
  fwrite(fid, X.', types{format});
  fclose(fid);
end

function s = ifelse_str(c, a, b)
  if c, s = a; else, s = b; end
end

% The expected output: Octave's filter on every channel (normalised to a(1) = 1, which eegfetch
% never divides by), weighted block sums, selected columns times their scale.
function Y = expected(X, b, a, w, chanidx, scale)
  f = numel(w);
  nOut = floor(rows(X) / f);
  F = filter(b, [1 a(2:end)], X);
  Y = zeros(nOut, numel(chanidx));
  for k = 1:numel(chanidx)
    c = chanidx(k);
    blocks = reshape(F(1:nOut * f, c), f, nOut);
    Y(:, k) = (w(:).' * blocks).' * scale(c);
  end
end

function check_close(got, want, what)
  assert(size(got), size(want));
  tol = 1e-10 * max(1, max(abs(want(:))));
  err = max([0; abs(got(:) - want(:))]);
  if err > tol
    error('%s: off by %g (tolerance %g)', what, err, tol);
  end
end

rand('seed', 42);
randn('seed', 42);
for trial = 1:24
  format = 1 + mod(trial, 3);
  endian = ifelse_str(mod(floor(trial / 3), 2), 'b', 'l');
  nChans = randi(8);
  factor = randi(5);
  nFrames = factor * randi([10 60]) + randi([0 factor - 1]);
  switch format
    case 1, X = double(randi([-32768 32767], nFrames, nChans));
    case 2, X = double(randi([-2^31 2^31 - 1], nFrames, nChans));
    case 3, X = double(single(1000 * randn(nFrames, nChans)));
  end
  name = write_recording(X, format, endian);
  % A stable filter from real poles; a(1) is left at whatever it is.
  L = randi(4);
  a = poly(1.8 * rand(1, L - 1) - 0.9);
  b = randn(1, L);
  a(1) = 1 + (mod(trial, 4) == 0);  % eegfetch never divides by a(1)
  w = rand(1, factor);
  chanidx = randi(nChans, 1, randi(6));
  scale = randn(1, nChans);

  H = struct('fs', 100 * factor, 'nChans', nChans, 'BinaryFormat', format, 'scale', scale, 'endian', endian);
  if mod(trial, 2), H.nPoints = nFrames; end
  O = struct('chanidx', chanidx, 'fs', 100, 'filt_a', a, 'filt_b', b, 'filt_subsample', w);
  want = expected(X, b, a, w, chanidx, scale);
  got = eegfetch(name, H, O);
  check_close(got, want, sprintf('trial %d (format %d, endian %s)', trial, format, endian));

  % Default weights: the last frame of each block.
  O = rmfield(O, 'filt_subsample');
  got = eegfetch(name, H, O);
  check_close(got, expected(X, b, a, [zeros(1, factor - 1) 1], chanidx, scale), sprintf('trial %d, default weights', trial));

  % In place with a window: output samples s0..s1 go to rows d0.. up to row d1 (0-based).
  nOut = rows(want);
  R = randi([1 nOut + 5]);
  d0 = randi([-2 R]); d1 = randi([-1 R + 2]); s0 = randi([0 nOut]); s1 = randi([-1 nOut]);
  O.filt_subsample = w;
  O.data = repmat(-(1:R)', 1, numel(chanidx));
  O.dataPos = [d0 d1 s0 s1];
  D = repmat(-(1:R)', 1, numel(chanidx));  % built apart: a plain copy would share the storage
  copy = eegfetch(name, H, O);
  if s1 == -1, s1 = nOut; end
  for r = 0:R - 1
    i = r - d0 + s0;
    if r >= d0 && r <= d1 && i >= s0 && i <= s1 && i < nOut
      D(r + 1, :) = want(i + 1, :);
    end
  end
  check_close(O.data, D, sprintf('trial %d, in place [%d %d %d %d]', trial, d0, d1, s0, s1));
  check_close(copy, D, sprintf('trial %d, returned copy', trial));
  delete(name);
end

% The returned copy does not share storage with OPT.data: changing one leaves the other.
X = double(reshape(1:64, 16, 4));
name = write_recording(X, 1, 'l');
H = struct('fs', 4, 'nChans', 4, 'BinaryFormat', 1, 'scale', ones(1, 4), 'endian', 'l');
O = struct('chanidx', [4 1], 'fs', 1, 'data', zeros(4, 2));
Y = eegfetch(name, H, O);
assert(O.data, [X(4:4:16, 4) X(4:4:16, 1)]);
assert(Y, O.data);
Y(1) = 99;
assert(O.data(1), X(4, 4));

% Without OPT.data: a new matrix; the last frames of an incomplete block leave no trace.
H.nPoints = 15;
Z = eegfetch(name, H, rmfield(O, 'data'));
assert(Z, [X(4:4:12, 4) X(4:4:12, 1)]);

% More frames asked for than the file holds: a warning with the count, no invented rows.
H.nPoints = 40;
lastwarn('');
Z = eegfetch(name, H, rmfield(O, 'data'));
assert(size(Z), [10 2]);
assert(Z(1:4, :), [X(4:4:16, 4) X(4:4:16, 1)]);
assert(all(Z(5:end, :)(:) == 0));
assert(! isempty(strfind(lastwarn(), 'only 16 whole frames')), lastwarn());
delete(name);
disp('test_eegfetch_read: ok');
