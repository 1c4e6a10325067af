function summary = demo_figure(outfile)
%DEMO_FIGURE  Draws the demo figure: a recording read by eegfetch, and pulses from trigout.
%
%   demo_figure(outfile)
%   summary = demo_figure(outfile)
%
%   Writes a short 8-channel int16 recording at 1000 Hz (a 10 Hz rhythm, 50 Hz mains hum and
%   a 120 Hz artefact over noise), reads three channels with eegfetch through a 4th-order
%   30 Hz low-pass, decimated by 4 to 250 Hz with block-mean weights, and sends a few pulses
%   through the simulated port library with its write log on. The PNG outfile shows:
%     1. one second of three raw channels overlaid with eegfetch's output;
%     2. the spectrum of channel 1 before and after, with the stop band marked;
%     3. the port's timeline from the simulated port's log.
%   Needs eegfetch, trigout and eegmex_simport on the path, and gnuplot (headless).
%   summary holds the figures printed at the end.

  if nargin < 1
    error('demo_figure: give the PNG file to write');
  end
  work = tempname();
  mkdir(work);
  cleanup = onCleanup(@() remove_dir(work));

  %% The recording: frames of nChans int16 samples, little-endian, no header.
  fs = 1000;
  nChans = 8;
  seconds = 8;
  n = fs * seconds;
  t = (0:n - 1) / fs;
  scale = 0.1 * ones(1, nChans);  % microvolts per count
  randn('state', 7);
  uv = zeros(nChans, n);
  for c = 1:nChans
    uv(c, :) = (20 + 5 * c) * sin(2 * pi * 10 * t + c) ...       % 10 Hz rhythm
               + 15 * sin(2 * pi * 50 * t) ...                     % mains hum
               + 10 * sin(2 * pi * 120 * t + 0.3 * c) ...          % artefact
               + 5 * randn(1, n);
  end
  counts = round(uv ./ scale');
  file = fullfile(work, 'demo.eeg');
  fid = fopen(file, 'w', 'ieee-le');
  fwrite(fid, counts, 'int16');
  fclose(fid);

  %% eegfetch: 30 Hz Butterworth low-pass (two biquads), 1000 Hz -> 250 Hz by block means.
  fc = 30;
  [b1, a1] = lowpass_biquad(fc, fs, 0.5412);
  [b2, a2] = lowpass_biquad(fc, fs, 1.3066);
  b = conv(b1, b2);
  a = conv(a1, a2);
  factor = 4;
  HDR = struct('fs', fs, 'nChans', nChans, 'BinaryFormat', 1, 'scale', scale, 'endian', 'l');
  OPT = struct('chanidx', [1 2 3], 'fs', fs / factor, 'filt_b', b, 'filt_a', a, ...
               'filt_subsample', ones(1, factor) / factor);
  X = eegfetch(file, HDR, OPT);
  tOut = ((0:rows(X) - 1) * factor + factor - 1) / fs;  % each row: the last frame of its block
  raw = counts(1:3, :)' .* scale(1:3);

  %% Spectra of channel 1 (Hann window), before at 1000 Hz and after at 250 Hz.
  [fBefore, pBefore] = spectrum_db(raw(:, 1), fs);
  [fAfter, pAfter] = spectrum_db(X(:, 1), fs / factor);
  at = @(f, p, hz) max(p(abs(f - hz) <= 1));
  gain = @(hz) at(fAfter, pAfter, hz) - at(fBefore, pBefore, hz);
  summary = struct('rows', rows(X), 'gain10', gain(10), 'gain50', gain(50), 'gain120', gain(120));

  %% trigout through the simulated port, with its write log.
  log = fullfile(work, 'ports.log');
  oldLog = getenv('SIMPORT_LOG');
  setenv('SIMPORT_LOG', log);
  global IO_LIB
  IO_LIB = eegmex_simport();
  trigout(888, 20, 20);         % 20 now, 0 after 20 ms
  pause(0.06);
  trigout(888, 40, 30, 15);     % 40 after 15 ms, 0 30 ms later
  pause(0.09);
  trigout(888, 60, 30);         % 60 now ...
  pause(0.01);
  trigout(888, 80, 20);         % ... 80 within its pulse: the reset of 60 is skipped
  pause(0.08);
  trigout(888, 100);            % default duration, 10 ms
  clear trigout                 % lets the pulse end; the port library writes out its log
  setenv('SIMPORT_LOG', oldLog);
  writes = read_log(log);
  summary.writes = rows(writes);

  %% The figure.
  draw(outfile, t, raw, tOut, X, fBefore, pBefore, fAfter, pAfter, fc, writes);
  summary.file = outfile;
  printf('demo figure: %s\n', outfile);
  printf('  eegfetch: %d rows x %d channels at %d Hz\n', rows(X), columns(X), fs / factor);
  printf('  channel 1, after minus before: 10 Hz %+.1f dB, 50 Hz %+.1f dB, 120 Hz %+.1f dB\n', ...
         summary.gain10, summary.gain50, summary.gain120);
  printf('  trigout: %d port writes logged by the simulated port\n', summary.writes);
end

function remove_dir(d)
  confirm_recursive_rmdir(false);
  rmdir(d, 's');
end

% Low-pass biquad by the bilinear transform with prewarping; Q 0.5412 and 1.3066 together
% make a 4th-order Butterworth filter.
function [b, a] = lowpass_biquad(fc, fs, q)
  k = tan(pi * fc / fs);
  norm = 1 / (1 + k / q + k * k);
  b = [1 2 1] * k * k * norm;
  a = [1, 2 * (k * k - 1) * norm, (1 - k / q + k * k) * norm];
end

function [f, p] = spectrum_db(x, fs)
  x = x(:) - mean(x);
  n = numel(x);
  w = 0.5 - 0.5 * cos(2 * pi * (0:n - 1)' / (n - 1));
  s = abs(fft(x .* w)) / sum(w) * 2;
  half = floor(n / 2) + 1;
  f = (0:half - 1)' * fs / n;
  p = 20 * log10(s(1:half) + 1e-6);
end

% Lines "<ns> <port> <value> <tag>" -> [ms since the first write, port, value].
function writes = read_log(file)
  fid = fopen(file, 'r');
  if fid < 0
    error('demo_figure: the simulated port wrote no log (%s)', file);
  end
  c = textscan(fid, '%f %f %f %s');
  fclose(fid);
  writes = [(c{1} - c{1}(1)) / 1e6, c{2}, c{3}];
end

function draw(outfile, t, raw, tOut, X, fBefore, pBefore, fAfter, pAfter, fc, writes)
  warning('off', 'Octave:gnuplot-graphics');
  graphics_toolkit('gnuplot');
  fig = figure('visible', 'off');
  colors = [0.12 0.47 0.71; 0.84 0.15 0.16; 0.17 0.63 0.17];

  axes('position', [0.11 0.74 0.85 0.21]);
  hold on;
  window = t >= 2 & t < 3;
  windowOut = tOut >= 2 & tOut < 3;
  offsets = [0 -150 -300];
  for k = 1:3
    plot(t(window), raw(window, k) + offsets(k), 'color', 0.55 + 0.45 * colors(k, :), 'linewidth', 0.5);
    plot(tOut(windowOut), X(windowOut, k) + offsets(k), 'color', colors(k, :), 'linewidth', 1.5);
  end
  hold off;
  xlim([2 3]);
  xlabel('time (s)');
  ylabel('\muV (channels offset)');
  title('Channels 1-3: raw at 1000 Hz (light) and eegfetch output at 250 Hz (dark)');

  axes('position', [0.11 0.41 0.85 0.21]);
  hold on;
  top = 40;
  bottom = -60;
  fill([2 * fc 125 125 2 * fc], [bottom bottom top top], [0.93 0.93 0.93], 'edgecolor', 'none');
  plot(fBefore, pBefore, 'color', [0.6 0.6 0.6], 'linewidth', 1);
  plot(fAfter, pAfter, 'color', colors(1, :), 'linewidth', 1.5);
  text(2 * fc + 3, top - 8, sprintf('stop band (above %d Hz)', 2 * fc));
  hold off;
  xlim([0 125]);
  ylim([bottom top]);
  xlabel('frequency (Hz)');
  ylabel('amplitude (dB \muV)');
  title(sprintf('Spectrum of channel 1: raw (grey), %d Hz low-pass and decimated (blue)', fc));

  axes('position', [0.11 0.07 0.85 0.21]);
  ms = writes(:, 1);
  v = writes(:, 3);
  stairs([ms; ms(end) + 20], [v; v(end)], 'color', colors(2, :), 'linewidth', 2);
  hold on;
  plot(ms, v, 'o', 'color', colors(2, :));
  hold off;
  xlim([-10, ms(end) + 20]);
  ylim([-5 115]);
  labels = {'20', '40 (15 ms delay)', '60, then 80: reset of 60 skipped', '100'};
  starts = find(v > 0 & [true; v(1:end - 1) == 0]);
  for k = 1:min(numel(starts), numel(labels))
    text(ms(starts(k)), v(starts(k)) + 8, labels{k});
  end
  xlabel('time since the first write (ms)');
  ylabel('port 888 value');
  title('trigout pulses on the simulated port, from its write log');

  set(findall(fig, 'type', 'axes'), 'fontsize', 9);
  set(findall(fig, 'type', 'text'), 'fontsize', 9);
  print(fig, outfile, '-dpng', '-S1000,1100');
  close(fig);
end
