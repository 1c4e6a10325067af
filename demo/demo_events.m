function s = demo_events(outfile)
%DEMO_EVENTS  Online demo with events: stimuli sent with trigout, read back as markers while the
%recording grows, and the epochs around them averaged (a P300 paradigm).
%
%   s = demo_events(outfile) starts a simulated amplifier (demo_event_amplifier, in a process of
%   its own) that records 20 s of 8 channels at 1000 Hz as a BrainVision recording. Its trigger
%   input is the simulated port: this process sends a stimulus every 0.5 to 0.7 s with trigout to
%   port 888 (IO_LIB = eegmex_simport(); the library's write log is the amplifier's trigger
%   line), code 1 for a standard and, one time in four, code 2 for a target. The amplifier
%   appends a marker for each pulse to the marker file and a response to the channels: a P300
%   after targets only.
%
%   Meanwhile a loop, every 50 ms, sends the stimuli due, reads the newest 4 s of every channel at
%   250 Hz through a 20 Hz low-pass with eegfetch (OPT.resume, OPT.newest), takes the markers new
%   up to the frames that read saw with eegmex_events, and cuts the epoch from -100 to 700 ms
%   around each stimulus out of the window once its data is in. At the end it prints how the
%   markers match the pulses sent and draws the averages of targets and standards at Pz, and
%   when each stimulus reached the loop (demo_events.png beside the modules, or outfile).
%
%   It checks that every pulse came back as one marker with its code, that the events of all
%   calls are the markers of the finished file, and returns a summary s: the pulses sent and
%   the markers received (sent, received: codes), the largest difference between the intervals
%   of the markers and those of the pulses (intervalErrorMs), the epochs averaged per kind
%   (targets, standards), the mean difference of targets and standards at Pz from 250 to 450 ms
%   (p300, in uV), and the figure's file.
  seconds = 20; rate = 250; every = 0.05; window = 4 * rate; port = 888;
  if nargin < 1
    outfile = fullfile(fileparts(which('eegfetch')), 'demo_events.png');
  end
  base = [tempname() '_events'];
  portLog = [base '.ports'];
  here = fileparts(mfilename('fullpath'));
  modules = fileparts(which('trigout'));
  system(sprintf(['octave-cli -H --no-gui --no-window-system --quiet --eval ' ...
                  '"addpath(''%s''); addpath(''%s''); demo_event_amplifier(''%s'', %d, ''%s'')" &'], ...
                 modules, here, base, seconds, portLog));

  % The stimuli: onsets from the loop's start, a target one time in four.
  rand('seed', 5);
  onsets = 1 + cumsum(0.5 + 0.2 * rand(1, 40));
  onsets = onsets(onsets < seconds - 2);
  codes = 1 + (rand(1, numel(onsets)) < 0.25);
  sentAt = nan(size(onsets));

  previousLog = getenv('SIMPORT_LOG');
  setenv('SIMPORT_LOG', portLog);
  global IO_LIB
  previousLib = IO_LIB;
  IO_LIB = eegmex_simport();
  waited = tic();
  while ~(exist([base '.eeg'], 'file') && exist([base '.vmrk'], 'file'))
    if toc(waited) > 60
      error('demo_events: the amplifier did not start within 60 s');
    end
    pause(0.01);
  end

  HDR = eegmex_vhdr([base '.vhdr']);
  pz = find(strcmp(HDR.label, 'Pz'));
  [b, a] = demo_lowpass(2, 20, HDR.fs);
  OPT = struct('chanidx', 1:HDR.nChans, 'fs', rate, 'filt_b', b, 'filt_a', a, 'resume', true, 'newest', true);
  OPT.data = zeros(window, numel(OPT.chanidx));   % the newest 4 s, written in place
  factor = HDR.fs / OPT.fs;
  pre = round(0.1 * rate); post = round(0.7 * rate);
  state = [];
  received = zeros(1, 0);      % the code of each stimulus marker, as it came
  positions = zeros(1, 0);
  seenAt = zeros(1, 0);        % when the loop had it
  pending = zeros(0, 2);       % [output row, index in received] of epochs not cut yet
  epochs = zeros(pre + post + 1, HDR.nChans, 0);
  kinds = zeros(1, 0);
  lost = 0;
  start = tic();
  while true
    finished = exist([base '.done'], 'file');
    % the stimuli due before the next pass, each written on time by trigout's own delay
    at = toc(start);
    for k = find(isnan(sentAt) & onsets < at + 2 * every)
      delay = max(0, round(1000 * (onsets(k) - at)));
      trigout(port, codes(k), 20, delay);
      sentAt(k) = at + delay / 1000;
    end

    [~, info] = eegfetch(HDR.dataFile, HDR, OPT);
    [events, state] = eegmex_events(HDR, state, info.frames);
    if ~isempty(events)
      events = events(strcmp({events.type}, 'Stimulus'));
    end
    for e = 1:numel(events)
      received(end + 1) = sscanf(events(e).description(2:end), '%d');
      positions(end + 1) = events(e).position;
      seenAt(end + 1) = toc(start);
      pending(end + 1, :) = [ceil(events(e).position / factor), numel(received)];
    end

    % cut every epoch whose data is in; row r of the recording's output is row
    % r - info.outputs + window of the window
    ready = pending(:, 1) + post <= info.outputs;
    for i = find(ready)'
      r = pending(i, 1) - info.outputs + window;
      if r - pre < 1
        lost = lost + 1;       % the loop fell too far behind for this one
        continue;
      end
      epoch = OPT.data(r - pre:r + post, :);
      epochs(:, :, end + 1) = epoch - mean(epoch(1:pre, :), 1);
      kinds(end + 1) = received(pending(i, 2));
    end
    pending(ready, :) = [];
    if finished
      break;
    end
    if toc(start) > seconds + 60
      error('demo_events: the amplifier did not finish its %d s', seconds);
    end
    pause(every);
  end
  clear trigout                % every pulse has ended
  IO_LIB = previousLib;
  setenv('SIMPORT_LOG', previousLog);

  % The events of all calls against the markers of the finished file.
  M = eegmex_vmrk(HDR.markerFile);
  M = M(strcmp({M.type}, 'Stimulus'));
  whole = isequal([M.position], positions) && isequal(cellfun(@(d) sscanf(d(2:end), '%d'), {M.description}), received);
  sent = codes(~isnan(sentAt));
  delete([base '.eeg'], [base '.vhdr'], [base '.vmrk'], [base '.done'], portLog);
  if ~isequal(sent, received)
    error('demo_events: the markers (%s) are not the pulses sent (%s)', mat2str(received), mat2str(sent));
  end
  if ~whole
    error('demo_events: the events read online differ from the markers of the finished file');
  end
  sentAt = sentAt(~isnan(sentAt));
  delays = 1e3 * (seenAt - sentAt);
  intervalError = 1e3 * max(abs(diff((positions - 1) / HDR.fs) - diff(sentAt)));
  target = mean(epochs(:, :, kinds == 2), 3);
  standard = mean(epochs(:, :, kinds == 1), 3);
  ms = 1000 * (-pre:post)' / rate;
  late = ms >= 250 & ms <= 450;
  p300 = mean(target(late, pz) - standard(late, pz));

  printf('demo_events: %d stimuli sent with trigout (%d targets), %d stimulus markers read as the recording grew\n', ...
         numel(sent), sum(sent == 2), numel(received));
  printf('  every pulse came back as a marker with its code: %s\n', mat2str(isequal(sent, received)));
  printf('  events of all calls equal the finished file''s markers: %s\n', mat2str(whole));
  printf('  marker intervals against the pulses'' intervals: within %.2f ms\n', intervalError);
  printf('  from the pulse to the loop holding its event: median %.0f ms, largest %.0f ms\n', median(delays), max(delays));
  printf('  epochs averaged: %d targets, %d standards (%d lost)\n', sum(kinds == 2), sum(kinds == 1), lost);
  printf('  at Pz, 250 to 450 ms: targets %.1f uV, standards %.1f uV above the baseline\n', ...
         mean(target(late, pz)), mean(standard(late, pz)));

  warning('off', 'Octave:gnuplot-graphics');
  graphics_toolkit('gnuplot');
  fig = figure('visible', 'off');
  axes('position', [0.1 0.5 0.85 0.42]);
  h = [plot(ms, target(:, pz), 'r', 'linewidth', 2), 0];
  hold on;
  h(2) = plot(ms, standard(:, pz), 'b', 'linewidth', 2);
  low = min([target(:, pz); standard(:, pz)]);
  high = max([target(:, pz); standard(:, pz)]);
  ylim([low - 2, high + 0.6 * (high - low)]);  % room for the legend
  xlim([ms(1) ms(end)]);
  plot([0 0], ylim(), 'k', [250 250; 450 450]', [ylim(); ylim()]', 'k:');
  hold off;
  legend(h, sprintf('targets, code 2 (%d epochs)', sum(kinds == 2)), ...
         sprintf('standards, code 1 (%d epochs)', sum(kinds == 1)), 'location', 'northwest');
  legend('boxoff');
  xlabel('time from the stimulus marker (ms)');
  ylabel('\muV at Pz');
  title(sprintf('Epochs cut online and averaged: targets %.1f \\muV above standards at 250-450 ms', p300));
  axes('position', [0.1 0.08 0.85 0.26]);
  plot(sentAt(sent == 1), delays(sent == 1), 'b+', sentAt(sent == 2), delays(sent == 2), 'ro');
  xlim([0 seconds]);
  xlabel('time of the pulse in the session (s)');
  ylabel('ms');
  title('From each pulse to the loop holding its marker (+ standards, o targets)');
  set(findall(fig, 'type', 'axes'), 'fontsize', 9);
  set(findall(fig, 'type', 'text'), 'fontsize', 9);
  print(fig, outfile, '-dpng', '-S900,800');
  close(fig);
  printf('  figure: %s\n', outfile);
  s = struct('sent', sent, 'received', received, 'intervalErrorMs', intervalError, ...
             'targets', sum(kinds == 2), 'standards', sum(kinds == 1), 'p300', p300, 'figure', outfile);
end

