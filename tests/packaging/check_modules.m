function check_modules(home, ext)
% The modules as a user gets them (installed package, or the user-host build): both resolve
% under `home` and not to the build tree, as native functions (ext '.oct') or MEX files (ext
% '.' mexext; default: either), their help is there with the project's version, and
% both work: eegfetch against a reference computed here with Octave's own filter, trigout
% through the shipped simulated port, whose log shows the pulse, and the BrainVision readers
% beside them on a small recording.
  if nargin < 2
    ext = {'.oct', ['.' mexext]};
  end
  for name = {'eegfetch', 'trigout'}
    where = which(name{1});
    assert(strncmp(where, home, numel(home)), '%s resolves to %s, outside %s', name{1}, where, home);
    [~, ~, found] = fileparts(where);
    assert(any(strcmp(found, ext)), '%s resolves to %s, not to a module of the expected flavour', name{1}, where);
    text = evalc(sprintf('help %s', name{1}));
    assert(~isempty(strfind(text, upper(name{1}))), 'help %s shows no text', name{1});
    assert(~isempty(regexp(text, 'eegmex \d+\.\d+\.\d+', 'once')), 'help %s has no version', name{1});
    assert(isempty(regexp(text, '@[A-Z_]+@', 'once')), 'help %s holds a placeholder', name{1});
  end
  for name = {'eegmex_vhdr', 'eegmex_vmrk', 'eegmex_edf', 'eegmex_set'}
    where = which(name{1});
    assert(strncmp(where, home, numel(home)), '%s resolves to %s, outside %s', name{1}, where, home);
    text = evalc(sprintf('help %s', name{1}));
    assert(~isempty(regexp(text, 'eegmex \d+\.\d+\.\d+', 'once')), 'help %s has no version', name{1});
    assert(isempty(regexp(text, '@[A-Z_]+@', 'once')), 'help %s holds a placeholder', name{1});
  end
  check_eegfetch();
  check_brainvision();
  check_edf();
  check_trigout(home);
  printf('check_modules: eegfetch, eegmex_vhdr, eegmex_vmrk, eegmex_edf and trigout work from %s\n', home);
end

% A BrainVision triple, big-endian int32 with two resolutions, read as the help shows it.
function check_brainvision()
  folder = tempname();
  mkdir(folder);
  confirm_recursive_rmdir(false);
  cleanup = onCleanup(@() rmdir(folder, 's'));
  counts = int32([1 -2; 300000 4; -5 6]);
  fid = fopen(fullfile(folder, 'r.eeg'), 'w', 'ieee-be');
  fwrite(fid, counts', 'int32');
  fclose(fid);
  fid = fopen(fullfile(folder, 'r.vhdr'), 'w');
  fprintf(fid, ['Brain Vision Data Exchange Header File Version 1.0\n[Common Infos]\nDataFile=r.eeg\n' ...
                'MarkerFile=r.vmrk\nDataFormat=BINARY\nDataOrientation=MULTIPLEXED\nNumberOfChannels=2\n' ...
                'SamplingInterval=2000\n[Binary Infos]\nBinaryFormat=INT_32\nUseBigEndianOrder=YES\n' ...
                '[Channel Infos]\nCh1=Fp1,,0.5\nCh2=Cz,,0.25\n']);
  fclose(fid);
  fid = fopen(fullfile(folder, 'r.vmrk'), 'w');
  fprintf(fid, 'Brain Vision Data Exchange Marker File, Version 1.0\n[Marker Infos]\nMk1=Stimulus,S  7,3,1,0\n');
  fclose(fid);
  HDR = eegmex_vhdr(fullfile(folder, 'r.vhdr'));
  X = eegfetch(HDR.dataFile, HDR, struct('chanidx', 1:HDR.nChans, 'fs', HDR.fs));
  assert(HDR.fs == 500 && isequal(X, double(counts) .* [0.5 0.25]), 'eegfetch through eegmex_vhdr read wrong values');
  M = eegmex_vmrk(HDR.markerFile);
  assert(numel(M) == 1 && M.position == 3 && strcmp(M.description, 'S  7'), 'eegmex_vmrk read a wrong marker');
end

% An EDF file of one signal, 4 samples a record, 0.5 s records, 3 records: its header read.
function check_edf()
  file = [tempname() '.edf'];
  cleanup = onCleanup(@() delete(file));
  pad = @(t, w) [t, repmat(' ', 1, w - numel(t))];
  head = [pad('0', 8), pad('X', 80), pad('Y', 80), '01.02.24', '13.14.15', pad('512', 8), pad('', 44), ...
          pad('3', 8), pad('0.5', 8), pad('1', 4), pad('Cz', 16), pad('', 80), pad('uV', 8), pad('-100', 8), ...
          pad('100', 8), pad('-2000', 8), pad('2000', 8), pad('', 80), pad('4', 8), pad('', 32)];
  fid = fopen(file, 'w');
  fwrite(fid, head);
  fwrite(fid, -6:5, 'int16');
  fclose(fid);
  HDR = eegmex_edf(file);
  assert(HDR.fs == 8 && HDR.nRecords * HDR.recordSamples(1) == 12 && HDR.dataOffset == 512 && HDR.scale == 0.05 && HDR.offset == 0 ...
         && strcmp(HDR.label{1}, 'Cz'), 'eegmex_edf read a wrong header');
end

% Big-endian int16, 3 channels, a two-point moving average, factor 2 with weights
% [0.25 0.75], scales [2 3 4], channels [3 1]; 9 frames, so the last one leaves no trace.
function check_eegfetch()
  counts = int16([1 -2 300; 4 5 -6; -7 8 9; 10 -11 12; 13 14 -15; -16 17 18; 19 -20 21; 22 23 -24; 25 26 27]);
  file = [tempname() '.eeg'];
  fid = fopen(file, 'w', 'ieee-be');
  fwrite(fid, counts', 'int16');
  fclose(fid);
  cleanup = onCleanup(@() delete(file));

  b = [0.5 0.5];
  a = [1 0];
  w = [0.25 0.75];
  scale = [2 3 4];
  chanidx = [3 1];
  HDR = struct('fs', 500, 'nChans', 3, 'BinaryFormat', 1, 'scale', scale, 'endian', 'b');
  OPT = struct('chanidx', chanidx, 'fs', 250, 'filt_b', b, 'filt_a', a, 'filt_subsample', w);
  X = eegfetch(file, HDR, OPT);

  y = filter(b, a, double(counts));
  blocks = floor(rows(y) / 2);
  expected = zeros(blocks, numel(chanidx));
  for r = 1:blocks
    frames = y(2 * r - 1:2 * r, :);
    expected(r, :) = (w * frames(:, chanidx)) .* scale(chanidx);
  end
  assert(isequal(size(X), [4 2]), 'eegfetch returned %dx%d', rows(X), columns(X));
  assert(max(abs(X(:) - expected(:))) <= 1e-12 * max(abs(expected(:))), 'eegfetch differs from the reference');

  % Errors reach the caller with their message.
  try
    eegfetch([file '.missing'], HDR, OPT);
    error('check_modules:noError', 'eegfetch read a missing file');
  catch err
    assert(~isempty(strfind(err.message, 'Could not open eeg file.')), 'unexpected error: %s', err.message);
  end
end

% One pulse of 25 ms on port 888: the log shows 888 7, then 888 0 about 25 ms later.
function check_trigout(home)
  global IO_LIB
  IO_LIB = eegmex_simport();
  assert(strncmp(IO_LIB, home, numel(home)), 'the simulated port %s is not under %s', IO_LIB, home);
  log = [tempname() '.log'];
  old = getenv('SIMPORT_LOG');
  setenv('SIMPORT_LOG', log);
  trigout(888, 7, 25);
  t0 = tic();
  writes = [];
  while rows(writes) < 2 && toc(t0) < 10
    pause(0.05);
    if exist(log, 'file')
      fid = fopen(log, 'r');
      c = textscan(fid, '%f %f %f %s');
      fclose(fid);
      writes = [c{1}, c{2}, c{3}];
    end
  end
  setenv('SIMPORT_LOG', old);
  delete(log);
  assert(rows(writes) == 2, 'the simulated port logged %d writes, not 2', rows(writes));
  assert(isequal(writes(:, 2:3), [888 7; 888 0]), 'unexpected writes');
  gapMs = (writes(2, 1) - writes(1, 1)) / 1e6;
  % The wait is measured from just before the library's write, so allow it a millisecond.
  assert(gapMs >= 24 && gapMs < 5000, 'reset %.3f ms after the write', gapMs);

  % The serial port library for trigger boxes ships beside it.
  old = getenv('EEGMEX_SERIALPORT');
  serial = eegmex_serialport('/dev/no-such-box');
  setenv('EEGMEX_SERIALPORT', old);
  assert(strncmp(serial, home, numel(home)) && exist(serial, 'file') == 2, 'no serial port library: %s', serial);

  clear -global IO_LIB
  try
    trigout(888, 1);
    error('check_modules:noError', 'trigout ran without IO_LIB');
  catch err
    assert(~isempty(strfind(err.message, 'IO_LIB not found or is nor global variable.')), ...
           'unexpected error: %s', err.message);
  end
end
