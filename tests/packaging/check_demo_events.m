function check_demo_events(outfile)
% The online demo with events end to end: every trigout pulse comes back as one marker with its
% code, at the time it was written (marker intervals against the pulses' intervals: a marker put
% where the amplifier read the pulse's log line instead would be 20 to 70 ms off), every epoch
% is cut from the window read online, and the averages show the response the simulated amplifier
% adds after targets only. The figure is a real PNG.
  if exist(outfile, 'file')
    delete(outfile);
  end
  s = demo_events(outfile);
  assert(numel(s.sent) >= 20, 'only %d stimuli were sent', numel(s.sent));
  assert(isequal(s.sent, s.received), 'the markers are not the pulses sent');
  assert(s.intervalErrorMs < 20, 'marker intervals are off the pulses'' by %.1f ms', s.intervalErrorMs);
  assert(s.targets == sum(s.sent == 2) && s.standards == sum(s.sent == 1), ...
         'only %d of %d targets and %d of %d standards were averaged', s.targets, sum(s.sent == 2), ...
         s.standards, sum(s.sent == 1));
  % 10 uV at the peak at Pz; the mean over 250-450 ms is about 6; noise left after 5 to 10 targets
  % is about 2 to 3 uV
  assert(s.p300 > 3, 'targets are only %.1f uV above standards at 250-450 ms', s.p300);
  fid = fopen(outfile, 'r');
  assert(fid >= 0, 'no figure at %s', outfile);
  bytes = fread(fid, Inf, 'uint8=>double')';
  fclose(fid);
  assert(numel(bytes) > 24 && isequal(bytes(1:8), [137 80 78 71 13 10 26 10]), '%s is not a PNG', outfile);
  width = bytes(17:20) * [2^24; 2^16; 2^8; 1];
  height = bytes(21:24) * [2^24; 2^16; 2^8; 1];
  assert(width >= 800 && height >= 700 && numel(bytes) > 20000, '%s is only %dx%d, %d bytes', outfile, ...
         width, height, numel(bytes));
  printf('check_demo_events: %d pulses, %d markers, intervals within %.2f ms, P300 %.1f uV, %s\n', ...
         numel(s.sent), numel(s.received), s.intervalErrorMs, s.p300, outfile);
end
