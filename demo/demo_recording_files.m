function demo_recording_files(base, fs, labels)
%DEMO_RECORDING_FILES  The header and the marker file of a simulated amplifier's BrainVision
%recording: base.vhdr (int16 channels named `labels`, 0.1 uV a count, at fs Hz) and base.vmrk with
%its New Segment marker. Used by demo_amplifier and demo_event_amplifier.
  [~, stem] = fileparts(base);
  fid = fopen([base '.vhdr'], 'w');
  fprintf(fid, 'Brain Vision Data Exchange Header File Version 1.0\n\n[Common Infos]\nCodepage=UTF-8\n');
  fprintf(fid, 'DataFile=%s.eeg\nMarkerFile=%s.vmrk\nDataFormat=BINARY\nDataOrientation=MULTIPLEXED\n', stem, stem);
  fprintf(fid, 'NumberOfChannels=%d\nSamplingInterval=%d\n\n[Binary Infos]\nBinaryFormat=INT_16\n\n', ...
          numel(labels), 1e6 / fs);
  fprintf(fid, '[Channel Infos]\n');
  for c = 1:numel(labels)
    fprintf(fid, 'Ch%d=%s,,0.1,µV\n', c, labels{c});
  end
  fclose(fid);
  fid = fopen([base '.vmrk'], 'w');
  fprintf(fid, 'Brain Vision Data Exchange Marker File, Version 1.0\n\n[Common Infos]\nCodepage=UTF-8\n');
  fprintf(fid, 'DataFile=%s.eeg\n\n[Marker Infos]\nMk1=New Segment,,1,1,0\n', stem);
  fclose(fid);
end
