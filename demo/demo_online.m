% Online reading demo: a simulated amplifier (demo_amplifier, in a process of its own) writes a
% 16-channel recording at real speed for 10 s; meanwhile this loop reads the newest 2 s at 250 Hz
% through a 4th-order 30 Hz low-pass every 50 ms with OPT.resume, as a neurofeedback loop would.
% Each call reads only the frames new since the last one, and gives exactly what a full read of
% the file gives; the demo checks that on the last window. Prints the per-call times and draws
% the latest window and the per-call time over the session (demo_online.png beside the modules,
% or the file given as outfile).
1;

seconds = 10; rate = 250; window = 2 * rate; every = 0.05;
if ~exist('outfile', 'var')
  outfile = fullfile(fileparts(which('eegfetch')), 'demo_online.png');
end
base = [tempname() '_online'];
here = fileparts(mfilename('fullpath'));
system(sprintf('octave-cli -H --no-gui --no-window-system --quiet --eval "addpath(''%s''); demo_amplifier(''%s'', %d)" &', ...
               here, base, seconds));
while ~exist([base '.eeg'], 'file')
  pause(0.01);
end

HDR = eegmex_vhdr([base '.vhdr']);
[b, a] = demo_lowpass(4, 30, HDR.fs);
OPT = struct('chanidx', 1:HDR.nChans, 'fs', rate, 'filt_b', b, 'filt_a', a, 'resume', true, 'newest', true);
OPT.data = zeros(window, numel(OPT.chanidx));  % a fresh matrix no variable shares: each read writes into it
times = [];
at = [];
outputs = [];
start = tic();
while true
  finished = exist([base '.done'], 'file');
  t = tic();
  [~, got] = eegfetch(HDR.dataFile, HDR, OPT);  % the newest `window` outputs, the newest last
  times(end + 1) = toc(t);
  at(end + 1) = toc(start);
  outputs(end + 1) = got.outputs;
  if finished
    break;
  end
  pause(every);
end

% The last window against a full read of the finished file.
full = rmfield(OPT, {'resume', 'data'});
full.data = zeros(window, numel(full.chanidx));  % fresh too, not a copy of OPT.data
eegfetch(HDR.dataFile, HDR, full);
same = isequal(OPT.data, full.data);
printf('demo_online: %d calls over %.1f s while the file grew to %d output samples\n', numel(times), at(end), outputs(end));
printf('  per call with OPT.resume: median %.3f ms, 99th percentile %.3f ms, largest %.3f ms\n', ...
       1e3 * median(times), 1e3 * prctile(times, 99), 1e3 * max(times));
t = tic();
eegfetch(HDR.dataFile, HDR, full);
printf('  one full read of the finished file: %.3f ms\n', 1e3 * toc(t));
printf('  last window identical to a full read: %s\n', mat2str(same));

warning('off', 'Octave:gnuplot-graphics');
graphics_toolkit('gnuplot');
fig = figure('visible', 'off');
axes('position', [0.1 0.6 0.85 0.33]);
tOut = ((outputs(end) - window):(outputs(end) - 1)) / rate;
plot(tOut, OPT.data(:, 1:4) + (0:3) * -120);
xlabel('time in the recording (s)');
ylabel('\muV (channels offset)');
title('The latest 2 s of channels 1-4, read online at 250 Hz through a 30 Hz low-pass');
axes('position', [0.1 0.09 0.85 0.32]);
plot(at, 1e3 * times, '.');
xlabel('time in the session (s)');
ylabel('ms per call');
title('Per-call time of eegfetch with OPT.resume while the recording grows');
print(fig, outfile, '-dpng', '-S900,700');
close(fig);
printf('  figure: %s\n', outfile);
delete([base '.eeg'], [base '.vhdr'], [base '.vmrk'], [base '.done']);
if ~same
  error('demo_online: the last window differs from a full read');
end
