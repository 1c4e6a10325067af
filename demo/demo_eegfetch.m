% eegfetch demo: a 32-channel recording at 1000 Hz (int16, little-endian) with a known sine per
% channel, a common 180 Hz interference and noise, written as a BrainVision recording (header,
% markers, data) and read through eegmex_vhdr at 250 Hz through a 4th-order Butterworth low-pass
% at 40 Hz. Prints the shape, the first rows and per-channel figures that show the filter
% worked, then the markers: the trigger pulses of demo_trigout, as an amplifier records them,
% and the rows of the result they fall in.
1;

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
base = [tempname() '_demo'];
[folder, stem] = fileparts(base);
name = [base '.eeg'];
fid = fopen(name, 'w', 'ieee-le');
fwrite(fid, X.', 'int16');         % frames one after another, channel 1 first
fclose(fid);
info = dir(name);

% The pulses that demo_trigout sends (value, ms from the first call, ms until the port is 0
% again), recorded as markers every 2 s from 1 s on: 'S  1' is value 1 on the trigger lines.
pulses = [1 0 10; 2 80 20; 3 150 20; 4 170 30; 255 320 5];
fid = fopen([base '.vmrk'], 'w');
fprintf(fid, 'Brain Vision Data Exchange Marker File, Version 1.0\n\n[Common Infos]\nCodepage=UTF-8\n');
fprintf(fid, 'DataFile=%s.eeg\n\n[Marker Infos]\nMk1=New Segment,,1,1,0,20240131120000000000\n', stem);
k = 1;
for start = 1:2:seconds - 1
  for p = 1:rows(pulses)
    k = k + 1;
    fprintf(fid, 'Mk%d=Stimulus,S%3d,%d,%d,0\n', k, pulses(p, 1), start * fs + pulses(p, 2) * fs / 1000 + 1, ...
            pulses(p, 3) * fs / 1000);
  end
end
fclose(fid);
fid = fopen([base '.vhdr'], 'w');
fprintf(fid, 'Brain Vision Data Exchange Header File Version 1.0\n\n[Common Infos]\nCodepage=UTF-8\n');
fprintf(fid, 'DataFile=%s.eeg\nMarkerFile=%s.vmrk\nDataFormat=BINARY\nDataOrientation=MULTIPLEXED\n', stem, stem);
fprintf(fid, 'NumberOfChannels=%d\nSamplingInterval=%d\n\n[Binary Infos]\nBinaryFormat=INT_16\n\n', ...
        nChans, 1e6 / fs);
fprintf(fid, '[Channel Infos]\n');
fprintf(fid, 'Ch%d=E%d,,%g,µV\n', [1:nChans; 1:nChans; lsb * ones(1, nChans)]);
fclose(fid);
printf('Recording: %s.vhdr, .vmrk and .eeg\n  %d channels, %d Hz, %d s, int16 little-endian, %d bytes\n', ...
       base, nChans, fs, seconds, info.bytes);
printf('  channel c: sine at %.2f + 0.75 (c-1) Hz, 300 uV; %d Hz interference, 200 uV; noise 30 uV\n', ...
       sineHz(1), humHz);
printf('  markers: the %d pulses of demo_trigout every 2 s from 1 s on\n\n', rows(pulses));

% --- the header -----------------------------------------------------------------------------
HDR = eegmex_vhdr([base '.vhdr']);
printf('HDR = eegmex_vhdr(''%s.vhdr''): fs %d, nChans %d, BinaryFormat %d, endian %s, scale %g %s, channels %s ... %s\n\n', ...
       stem, HDR.fs, HDR.nChans, HDR.BinaryFormat, HDR.endian, HDR.scale(1), HDR.unit{1}, HDR.label{1}, ...
       HDR.label{end});

% --- the read ------------------------------------------------------------------------------
[b, a] = demo_lowpass(4, 40, fs);
OPT = struct('chanidx', 1:nChans, 'fs', rate, 'filt_b', b, 'filt_a', a);
printf('eegfetch(HDR.dataFile, HDR, OPT) with OPT.fs = %d (blocks of %d frames), 4th-order Butterworth low-pass at 40 Hz\n', ...
       rate, fs / rate);
printf('  filt_b = [%s]\n  filt_a = [%s]\n', num2str(b, '%.6g '), num2str(a, '%.6g '));
tic;
Y = eegfetch(HDR.dataFile, HDR, OPT);
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
P = OPT;
P.chanidx = [3 7];
P.data = zeros(300, 2);            % a fresh zeros(...) target that no variable shares
P.dataPos = [10 299 5 * rate 6 * rate - 1];
copy = eegfetch(name, HDR, P);
printf('In place: rows 11 to %d of a 300 x 2 target hold seconds 5 to 6 of channels 3 and 7 (copy matches: %d)\n', ...
       10 + rate, isequal(copy(11:10 + rate, :), Y(5 * rate + 1:6 * rate, [3 7])));

% --- the markers: which row of the result each one falls in -----------------------------------
factor = fs / rate;
M = eegmex_vmrk(HDR.markerFile);
stim = M(strcmp({M.type}, 'Stimulus'));
at = ceil([stim.position] / factor);   % the block of factor frames that holds the marker
printf('\nM = eegmex_vmrk(HDR.markerFile): %d markers, %d of them Stimulus; the first %d:\n', numel(M), ...
       numel(stim), rows(pulses));
printf('  %-11s %-6s %8s %9s %8s %14s\n', 'type', 'desc', 'position', 'time (s)', 'row of Y', 'row time (s)');
for k = 1:rows(pulses)
  printf('  %-11s %-6s %8d %9.3f %8d %14.3f\n', stim(k).type, stim(k).description, stim(k).position, ...
         (stim(k).position - 1) / fs, at(k), (at(k) * factor - 1) / fs);
end
ok = ok && numel(stim) == rows(pulses) * numel(1:2:seconds - 1) && all(at >= 1 & at <= rows(Y));
% epochs of every channel from 100 ms before to 500 ms after each 'S  1'
one = at(strcmp({stim.description}, 'S  1'));
pre = 0.1 * rate;
post = 0.5 * rate;
one = one(one > pre & one + post <= rows(Y));
epochs = zeros(pre + post + 1, nChans, numel(one));
for k = 1:numel(one)
  epochs(:, :, k) = Y(one(k) - pre:one(k) + post, :);
end
printf('Epochs around ''S  1'' (-100 ms to +500 ms): %d x %d x %d (samples x channels x epochs)\n', size(epochs));

delete(name, [base '.vhdr'], [base '.vmrk']);
if ! ok
  error('demo: the filter did not do what it should');
end
printf('\nEvery channel keeps its sine and loses the %d Hz interference.\n', humHz);
