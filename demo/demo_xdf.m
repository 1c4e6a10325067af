function demo_xdf(folder)
%DEMO_XDF  Writes an XDF recording (8 EEG channels at 500 Hz in 100-sample chunks, a marker stream
%among them, clock offsets), lists it with eegmex_xdf, reads the EEG through eegfetch at 100 Hz, and
%prints the streams, the markers and the rows of the result they fall on. folder: where the file goes
%(default: tempdir).
  if nargin < 1, folder = tempdir; end
  file = fullfile(folder, 'demo_xdf.xdf');
  fs = 500; nChans = 8; n = 10 * fs; per = 100;
  t0 = 3000.5;
  x = int16(round(1000 * sin(2 * pi * (1:nChans) .* (0:n - 1)' / fs)));
  marks = {'rest', 'go', 'stop', 'rest', 'go'};
  mtimes = t0 + [1.003 2.5 4.25 6 8.75];
  fid = fopen(file, 'w');
  fwrite(fid, 'XDF:');
  put(fid, 1, '<?xml version="1.0"?><info><version>1.0</version></info>');
  labels = sprintf('<channel><label>E%d</label><unit>microvolts</unit></channel>', 1:nChans);
  put(fid, 2, [typecast(uint32(1), 'uint8') double(sprintf(['<info><name>Demo amp</name><type>EEG</type><channel_count>%d' ...
      '</channel_count><nominal_srate>%d</nominal_srate><channel_format>int16</channel_format><desc><channels>%s' ...
      '</channels></desc></info>'], nChans, fs, labels))]);
  put(fid, 2, [typecast(uint32(2), 'uint8') double(['<info><name>Demo markers</name><type>Markers</type><channel_count>1' ...
      '</channel_count><nominal_srate>0</nominal_srate><channel_format>string</channel_format></info>'])]);
  m = 1;
  for c = 0:per:n - 1
    body = [typecast(uint32(1), 'uint8') 1 per 8 typecast(t0 + c / fs, 'uint8') typecast(x(c + 1, :), 'uint8')];
    for k = c + 2:c + per   % only a chunk's first sample carries its time stamp
      body = [body 0 typecast(x(k, :), 'uint8')];
    end
    put(fid, 3, body);
    while m <= numel(marks) && mtimes(m) < t0 + (c + per) / fs
      put(fid, 3, [typecast(uint32(2), 'uint8') 1 1 8 typecast(mtimes(m), 'uint8') 1 numel(marks{m}) double(marks{m})]);
      m = m + 1;
    end
    if mod(c, 10 * per) == 0   % the recorder's clock ahead of the amplifier's by 2 ms
      put(fid, 4, [typecast(uint32(1), 'uint8') typecast([t0 + c / fs, -0.002], 'uint8')]);
    end
  end
  fclose(fid);

  streams = eegmex_xdf(file);
  printf('%s: %d streams\n', file, numel(streams));
  for s = streams
    printf('  stream %d "%s" (%s): %d x %s at %g Hz, %d samples from %.3f to %.3f s, %d clock offsets\n', s.id, s.name, ...
           s.type, s.channelCount, s.channelFormat, s.nominalRate, s.sampleCount, s.firstTime, s.lastTime, ...
           rows(s.clockOffsets));
  end
  eeg = streams(1);
  O = struct('chanidx', 1:nChans, 'fs', 100);
  X = eegfetch(file, eeg.HDR, O);
  t = eegmex_xdf_times(eeg.HDR, O);
  printf('eegfetch at 100 Hz: %d x %d, rows from %.3f to %.3f s (clock offsets applied)\n', rows(X), columns(X), t(1), t(end));
  ev = eegmex_xdf_events(file, eeg, O);
  for e = ev
    printf('  marker "%s" at %.3f s: sample %d, row %d (%s = %d there)\n', e.text, e.time, e.position, e.row, ...
           eeg.label{1}, X(e.row, 1));
  end
end

function put(fid, tag, content)
  content = uint8(content);
  fwrite(fid, [uint8(4) typecast(uint32(numel(content) + 2), 'uint8') typecast(uint16(tag), 'uint8') content]);
end
