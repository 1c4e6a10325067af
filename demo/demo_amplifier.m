function demo_amplifier(base, seconds)
%DEMO_AMPLIFIER  A simulated amplifier: writes a recording as a BrainVision triple at real speed.
%
%   demo_amplifier(base, seconds) writes base.vhdr and base.vmrk at once, then appends to
%   base.eeg 20 ms of 16 channels of int16 at 1000 Hz (0.1 uV a count) every 20 ms, on the wall
%   clock, for `seconds` seconds, as an amplifier's recording software does: a 6 to 13.5 Hz
%   rhythm per channel (channel c at 6 + c/2 Hz), 50 Hz mains hum and noise. Started in a
%   process of its own by demo_online; base.done appears when it has finished.
  fs = 1000; nChans = 16; block = 20;
  demo_recording_files(base, fs, arrayfun(@(c) sprintf('C%d', c), 1:nChans, 'UniformOutput', false));

  randn('seed', 11);
  hz = 6 + (1:nChans) / 2;
  out = fopen([base '.eeg'], 'w');
  start = tic();
  for k = 0:(seconds * 1000 / block) - 1
    t = (k * block + (0:block - 1))' / fs;
    uv = 40 * sin(2 * pi * t * hz) + 20 * sin(2 * pi * 50 * t) + 8 * randn(block, nChans);
    fwrite(out, round(uv / 0.1).', 'int16');
    fflush(out);
    pause(max(0, (k + 1) * block / 1000 - toc(start)));
  end
  fclose(out);
  fclose(fopen([base '.done'], 'w'));
end
