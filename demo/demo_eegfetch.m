% eegfetch demo: a 32-channel recording at 1000 Hz (int16, little-endian) with a known sine per
% channel, a common 180 Hz interference and noise, read at 250 Hz through a 4th-order
% Butterworth low-pass at 40 Hz. Prints the shape, the first rows and per-channel figures that
% show the filter worked.
1;

% Butterworth low-pass of order n and cutoff fc (Hz) at rate fs, by the bilinear transform.
function [b, a] = butter_lowpass(n, fc, fs)
  wc = 2 * fs * tan(pi * fc / fs);                      % prewarped analog cutoff
  p = wc * exp(1i * pi * (2 * (1:n) + n - 1) / (2 * n));  % analog poles, left half plane
  z = (2 * fs + p) ./ (2 * fs - p);                     % digital poles
  a = real(poly(z));
  b = poly(-ones(1, n));                                % all zeros at Nyquist
  b = b * sum(a) / sum(b);                              % unit gain at 0 Hz
end

% Amplitude of the sine of frequency f (Hz) in x sampled at fs.
function A = amplitude(x, f, fs)
  t = (0:numel(x) - 1)' / fs;
  A = 2 * abs(sum(x(:) .* exp(-2i * pi * f * t))) / numel(x);
end

fs = 1000; rate = 250; nChans = 32; seconds = 20;
lsb = 0.1;                         % microvolts per bit: HDR.scale
sineHz = 3 + 0.75 * (0:nChans - 1);  % channel c carries a sine at sineHz(c)
humHz = 180;                       % above the cutoff; at 250 Hz it would alias to 70 Hz

% --- the recording -------------------------------------------------------------------------
t = (0:fs * seconds - 1)' / fs;
randn('seed', 1);
X = 3000 * sin(2 * pi * t * sineHz) + 2000 * sin(2 * pi * humHz * t) + 300 * randn(numel(t), nChans);
X = round(X);
name = [tempname() '_demo.eeg'];
fid = fopen(name, 'w', 'ieee-le');
fwrite(fid, X.', 'int16');         % frames one after another, channel 1 first
fclose(fid);
info = dir(name);
printf('Recording: %s\n  %d channels, %d Hz, %d s, int16 little-endian, %d bytes\n', name, nChans, fs, ...
       seconds, info.bytes);
printf('  channel c: sine at %.2f + 0.75 (c-1) Hz, 300 uV; %d Hz interference, 200 uV; noise 30 uV\n\n', ...
       sineHz(1), humHz);

% --- the read ------------------------------------------------------------------------------
[b, a] = butter_lowpass(4, 40, fs);
HDR = struct('fs', fs, 'nChans', nChans, 'BinaryFormat', 1, 'scale', lsb * ones(1, nChans), 'endian', 'l');
OPT = struct('chanidx', 1:nChans, 'fs', rate, 'filt_b', b, 'filt_a', a);
printf('eegfetch(name, HDR, OPT) with OPT.fs = %d (blocks of %d frames), 4th-order Butterworth low-pass at 40 Hz\n', ...
       rate, fs / rate);
printf('  filt_b = [%s]\n  filt_a = [%s]\n', num2str(b, '%.6g '), num2str(a, '%.6g '));
tic;
Y = eegfetch(name, HDR, OPT);
elapsed = toc;
printf('  result: %d x %d (samples x channels) in %.3f s\n\n', rows(Y), columns(Y), elapsed);
printf('First rows (uV), channels 1 to 6:\n');
disp(Y(1:5, 1:6));

% The same read without the filter, for comparison: the interference aliases into the band.
raw = eegfetch(name, HDR, rmfield(OPT, {'filt_a', 'filt_b'}));

% --- per-channel figures over the last 16 s (the filter settles first; 16 s puts every sine
% on a frequency bin of 1/16 Hz) --------------------------------------------------------------
keep = rows(Y) - 16 * rate + 1:rows(Y);
aliasHz = abs(humHz - rate);
printf('Per channel: dominant frequency of the result, the known sine kept, the interference removed\n');
printf('  ch  sine Hz  dominant Hz  sine uV  at %d Hz: unfiltered uV  filtered uV  attenuation dB\n', aliasHz);
ok = true;
freqs = (0:numel(keep) - 1) * rate / numel(keep);
for c = 1:nChans
  y = Y(keep, c) - mean(Y(keep, c));
  power = abs(fft(y));
  [~, k] = max(power(1:floor(end / 2)));
  dominant = freqs(k);
  kept = amplitude(y, sineHz(c), rate);
  before = amplitude(raw(keep, c), aliasHz, rate);
  after = amplitude(y, aliasHz, rate);
  dB = 20 * log10(before / after);
  printf('  %2d  %7.2f  %11.2f  %7.1f  %22.1f  %11.2f  %14.1f\n', c, sineHz(c), dominant, kept, before, after, dB);
  ok = ok && abs(dominant - sineHz(c)) < 0.01 && dB > 40 && abs(kept - 300) < 30;
end

% --- the same numbers from Octave's own filter ----------------------------------------------
F = filter(b, a, X) * lsb;
ref = F(fs / rate:fs / rate:end, :);
printf('\nLargest difference to Octave''s own filter and decimation: %.3g uV\n', max(abs(Y(:) - ref(:))));

% --- in place: seconds 5 to 6 of channels 3 and 7 into rows 11 onward of a fresh matrix -----
target = zeros(300, 2);            % a fresh zeros(...) target, shared with nothing
P = OPT;
P.chanidx = [3 7];
P.data = target;
P.dataPos = [10 299 5 * rate 6 * rate - 1];
copy = eegfetch(name, HDR, P);
printf('In place: rows 11 to %d of a 300 x 2 target hold seconds 5 to 6 of channels 3 and 7 (copy matches: %d)\n', ...
       10 + rate, isequal(copy(11:10 + rate, :), Y(5 * rate + 1:6 * rate, [3 7])));

delete(name);
if ! ok
  error('demo: the filter did not do what it should');
end
printf('\nEvery channel keeps its sine and loses the %d Hz interference.\n', humHz);
