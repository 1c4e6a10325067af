function s = demo_stream()
%DEMO_STREAM  Online demo with a live source: chunks of random sizes with jittered timestamps, and
%a marker stream, through eegmex_decimate; the epochs around the markers averaged (a P300 paradigm).
%
%   s = demo_stream() simulates what a stream inlet hands a program: 30 s of 8 channels at 1000 Hz
%   (int16 counts of 0.1 uV) in chunks of 0 to 60 frames, each frame stamped with the source's
%   clock plus a jitter of up to 0.2 ms, and once a stall of the source's clock (a jump of 60 ms in
%   the times, no frames lost); and a marker stream: a stimulus every 0.5 to 0.7 s, code 2 (target)
%   one time in four, 1 (standard) otherwise, each with its own time, arriving 0 to 3 chunks after
%   the frames it marks. Targets are followed by a P300 at Pz (channel 5).
%
%   The loop pushes each chunk into eegmex_decimate (a 20 Hz low-pass, 1000 -> 250 Hz) with its
%   times, places the markers into the output rows with eegmex_place_markers as they come (keeping
%   those that lie past the newest row for the next chunks), and cuts the epoch from -100 to
%   700 ms around each marker once its rows are in. At the end it checks every row of every push
%   against one eegfetch read of all frames written to a file, bit for bit, and prints how many it
%   checked; and it returns a summary s: rows checked, the gaps reported, the epochs per kind and
%   the mean difference of targets and standards at Pz from 250 to 450 ms (p300, in uV).
  fs = 1000; rate = 250; nChans = 8; seconds = 30; pz = 5;
  rand('seed', 11); randn('seed', 11);

  % The source: the frames, their times, the stimuli.
  n = seconds * fs;
  onsets = 1 + cumsum(0.5 + 0.2 * rand(1, 60));
  onsets = onsets(onsets < seconds - 1);
  codes = 1 + (rand(1, numel(onsets)) < 0.25);
  X = 200 * randn(n, nChans);  % 20 uV of noise
  p300 = 100 * exp(-((0:699) - 350) .^ 2 / (2 * 60 ^ 2));  % 10 uV at 350 ms
  for k = find(codes == 2)
    at = round(onsets(k) * fs);
    X(at + (1:700), pz) = X(at + (1:700), pz) + p300.';
  end
  X = int16(X);
  stall = round(seconds / 2 * fs);
  t = 1000 + (0:n - 1).' / fs + 0.0002 * rand(n, 1);  % the source's clock, jittered
  t = sort(t);
  t(stall:end) = t(stall:end) + 0.06;               % the stall
  markerTimes = interp1((0:n - 1).' / fs, t, onsets(:), 'nearest').';

  HDR = struct('fs', fs, 'nChans', nChans, 'scale', repmat(0.1, 1, nChans));
  [b, a] = butter_lowpass(20, fs);
  OPT = struct('chanidx', 1:nChans, 'fs', rate, 'filt_b', b, 'filt_a', a);
  S = eegmex_decimate(HDR, OPT);

  % The online loop.
  Y = zeros(0, nChans); T = zeros(0, 1); gaps = zeros(0, 2);
  pending = [];      % markers received, not yet in an epoch: [time; code]
  epochs = {[], []}; % per code: epochs x rows at Pz
  before = round(0.1 * rate); after = round(0.7 * rate);
  next = 1; nextMarker = 1; pushes = 0;
  lastwarn('');
  while next <= n
    k = min(n - next + 1, floor(rand() * 61));
    chunk = X(next:next + k - 1, :);
    stamps = t(next:next + k - 1);
    warning('off', 'eegmex_decimate:gap');
    [y, S, tY, G] = eegmex_decimate(S, chunk, stamps);
    warning('on', 'eegmex_decimate:gap');
    next = next + k;
    pushes = pushes + 1;
    Y = [Y; y]; T = [T; tY]; gaps = [gaps; G];
    % Markers whose frames came some chunks ago arrive now.
    while nextMarker <= numel(markerTimes) && markerTimes(nextMarker) <= t(max(1, next - 1 - floor(rand() * 120)))
      pending(:, end + 1) = [markerTimes(nextMarker); codes(nextMarker)];
      nextMarker = nextMarker + 1;
    end
    if isempty(pending), continue; end
    at = eegmex_place_markers(T, pending(1, :));
    ready = at > 0 & at + after <= numel(T);
    for i = find(ready)
      r = at(i);
      if r - before >= 1
        epochs{pending(2, i)}(end + 1, :) = Y(r - before:r + after, pz).';
      end
    end
    pending = pending(:, ~ready);
  end

  % Every row against one read of the same frames from a file.
  file = [tempname() '.bin'];
  fid = fopen(file, 'w', 'ieee-le');
  fwrite(fid, X.', 'int16');
  fclose(fid);
  R = eegfetch(file, setfield(setfield(HDR, 'BinaryFormat', 1), 'endian', 'l'), OPT);
  delete(file);
  if ~isequal(size(R), size(Y)) || any(R(:) ~= Y(:))
    error('demo_stream: the rows of the pushes differ from the read');
  end
  window = round(0.25 * rate):round(0.45 * rate);
  window = window + before + 1;
  s = struct('rowsChecked', size(Y, 1), 'gaps', gaps, 'targets', rows_of(epochs{2}), ...
             'standards', rows_of(epochs{1}), ...
             'p300', mean(mean(epochs{2}(:, window))) - mean(mean(epochs{1}(:, window))));
  printf(['demo_stream: %d rows x %d channels of %d pushes checked against eegfetch: equal bit for bit\n' ...
          '  gaps reported: %d (frame %d, %.0f ms); epochs: %d targets, %d standards; ' ...
          'P300 at Pz (250-450 ms): %.1f uV\n'], rows(Y), nChans, pushes, rows(gaps), gaps(1, 1), ...
         1000 * gaps(1, 2), s.targets, s.standards, s.p300);
end

function n = rows_of(a)
  n = size(a, 1);
end

% A 2nd-order Butterworth low-pass (bilinear transform), so that the demo needs no signal package.
function [b, a] = butter_lowpass(fc, fs)
  w = tan(pi * fc / fs);
  k = 1 / (1 + sqrt(2) * w + w ^ 2);
  b = [w ^ 2, 2 * w ^ 2, w ^ 2] * k;
  a = [1, 2 * (w ^ 2 - 1) * k, (1 - sqrt(2) * w + w ^ 2) * k];
end
