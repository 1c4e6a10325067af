function demo_event_amplifier(base, seconds, portLog)
%DEMO_EVENT_AMPLIFIER  A simulated amplifier with a trigger input: a BrainVision recording at
%real speed, with a marker for every trigger pulse and a brain response to it.
%
%   demo_event_amplifier(base, seconds, portLog) writes base.vhdr and base.vmrk at once, then
%   appends to base.eeg 20 ms of 8 channels of int16 at 1000 Hz (0.1 uV a count) every 20 ms, on
%   the wall clock, for `seconds` seconds, as demo_amplifier does: a 10 Hz rhythm, slow noise and
%   50 Hz mains hum.
%
%   Its trigger input is port 888 of the simulated port library in the stimulus process: portLog
%   is that library's write log (SIMPORT_LOG there), one line "<ns> <port> <value> sim" a write.
%   Every 20 ms the amplifier reads the lines new in the log; each nonzero value written to port
%   888 becomes the marker Mk<n>=Stimulus,S<value>,<position>,1,0 appended to base.vmrk, at the
%   frame its write time falls on, and the channels respond to it from that frame on: a small
%   positive wave 200 ms after every stimulus and, after value 2 (a rare target), a larger one
%   peaking 320 ms after it, largest at Pz (a P300). A marker may come a few blocks after the
%   data it points into, as a marker from a slow trigger line does.
%
%   The log's clock (monotonic nanoseconds) is tied to the recording's by one write of the
%   amplifier's own: value 0 to port 1 of the same library, logged to base.clock, just before
%   the first frame is timed. Started in a process of its own by demo_events (with the modules
%   on the path); base.done appears when it has finished.
  fs = 1000; block = 20; port = 888;
  labels = {'Fz', 'Cz', 'Pz', 'Oz', 'C3', 'C4', 'P3', 'P4'};
  p2 = [0.8 1 0.7 0.4 0.7 0.7 0.6 0.6];       % where each wave is largest
  p3 = [0.35 0.7 1 0.5 0.5 0.5 0.8 0.8];
  nChans = numel(labels);
  demo_recording_files(base, fs, labels);
  marker = 1;

  % The responses, added to the frames to come: one wave per stimulus, 800 ms long.
  t = (0:799)' / fs;
  wave2 = 3 * exp(-((t - 0.2) / 0.05) .^ 2) * p2;
  wave3 = 10 * exp(-((t - 0.32) / 0.08) .^ 2) * p3;
  total = seconds * fs;
  response = zeros(total + numel(t), nChans);

  randn('seed', 23);
  rand('seed', 23);
  phase = 2 * pi * rand(1, nChans);
  slow = zeros(1, nChans);                      % the state of the slow noise
  clockLog = [base '.clock'];
  setenv('SIMPORT_LOG', clockLog);
  global IO_LIB
  IO_LIB = eegmex_simport();
  out = fopen([base '.eeg'], 'w');
  trigout(1, 0, 0);                             % its time in the log is frame 1's
  start = tic();
  clear trigout                                 % the log line is in the file once this returns
  zeroNs = sscanf(fileread(clockLog), '%f', 1);
  delete(clockLog);
  consumed = 0;
  for k = 0:(seconds * 1000 / block) - 1
    % the trigger input: the writes to the port logged since the last block
    [writes, consumed] = new_writes(portLog, consumed);
    for w = 1:size(writes, 1)
      if writes(w, 2) ~= port || writes(w, 3) == 0
        continue;
      end
      position = floor((writes(w, 1) - zeroNs) * fs / 1e9) + 1;
      if position < 1 || position > total
        continue;
      end
      marker = marker + 1;
      fid = fopen([base '.vmrk'], 'a');
      fprintf(fid, 'Mk%d=Stimulus,S%3d,%d,1,0\n', marker, writes(w, 3), position);
      fclose(fid);
      span = position:position + numel(t) - 1;
      response(span, :) = response(span, :) + wave2 + (writes(w, 3) == 2) * wave3;
    end

    n = k * block + (1:block)';
    tt = (n - 1) / fs;
    noise = zeros(block, nChans);
    for i = 1:block
      slow = 0.97 * slow + 1.2 * randn(1, nChans);
      noise(i, :) = slow;
    end
    uv = 6 * sin(2 * pi * 10 * tt + phase) + noise + 2 * randn(block, nChans) ...
         + 15 * sin(2 * pi * 50 * tt) + response(n, :);
    fwrite(out, round(uv / 0.1).', 'int16');
    fflush(out);
    pause(max(0, (k + 1) * block / 1000 - toc(start)));
  end
  fclose(out);
  fclose(fopen([base '.done'], 'w'));
end

% The whole lines the log holds past byte `consumed`: one row [ns port value] per write.
function [writes, consumed] = new_writes(portLog, consumed)
  writes = zeros(0, 3);
  fid = fopen(portLog, 'r');
  if fid < 0
    return;
  end
  fseek(fid, consumed, 'bof');
  text = fread(fid, Inf, 'char=>char')';
  fclose(fid);
  last = find(text == sprintf('\n'), 1, 'last');
  if isempty(last)
    return;
  end
  consumed = consumed + last;
  values = sscanf(regexprep(text(1:last), '[^0-9\s]+', ' '), '%f');
  writes = reshape(values, 3, []).';
end
