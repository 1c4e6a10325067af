% eegmex_vhdr and eegmex_vmrk against MNE-Python's read_raw_brainvision, on BrainVision triples
% written here: every binary format in both byte orders, both code pages, odd channel names,
% per-channel resolutions and units, markers of several types; and damaged or unsupported
% headers, which MNE refuses too or which only this reader refuses. MNE 1.3 reads every binary
% file as little-endian, so a big-endian recording is compared with MNE's read of the same
% samples written little-endian under the same header. Its raw reader also opens the marker file
% in the locale's encoding, so there its markers are written in UTF-8; the marker files in their
% own code page are compared with MNE's read_annotations.
% Environment: EEGMEX_PYTHON, the Python that has MNE (default /usr/bin/python3).
1;

function c = recording(format, endian, codepage, frames, seed)
% A recording description: channels with odd names, resolutions and units, counts covering the
% format's range, and markers of several types within the data.
  rand('seed', seed);
  randn('seed', seed);
  mu = char([194 181]);  % µ in UTF-8, as Octave holds text
  c = struct('format', format, 'endian', endian, 'codepage', codepage, 'crlf', seed > 2, 'bom', false);
  c.interval = {'1000', '200', '3906.25', '2000', '500', '4000'}{mod(seed, 6) + 1};
  euro = char([226 130 172]);  % 0x80 in Windows-1252, a control character in Latin-1
  c.names = {'Fp1', 'A,B', [mu '-rhythm'], 'EEG 01', ['Temp' char([194 176]) 'C'], 'x\y', ['Cz' euro]};
  c.refs = {'', 'Cz', '', 'A,B', '', '', ''};
  c.res = {'0.1', '0.048828125', '', '0.5', '0.01', '1e-3', '10'};
  c.units = {[mu 'V'], [mu 'V'], [], 'mV', [char([194 176]) 'C'], 'uV', ''};
  n = numel(c.names);
  switch format
    case 'INT_16'
      c.counts = randi([-32768 32767], frames, n);
      c.counts(1:2, :) = [-32768 * ones(1, n); 32767 * ones(1, n)];
    case 'INT_32'
      c.counts = randi([-2^31, 2^31 - 1], frames, n);
      c.counts(1:2, :) = [-2^31 * ones(1, n); (2^31 - 1) * ones(1, n)];
    case 'IEEE_FLOAT_32'
      c.counts = double(single(randn(frames, n) .* 10 .^ randi([-20 20], frames, n)));
      c.counts(1, :) = double(realmax('single'));
      c.counts(2, 1:3) = [0 -0 double(realmin('single')) / 4];
  end
  types = {'Stimulus', 'Response', 'Comment', 'Bad Interval', 'SyncStatus'};
  descs = {'S  1', 'R  8', ['note, ' mu 'V drift'], '', 'Sync On'};
  k = 8;
  c.markers = struct('number', num2cell(1:k + 1), 'type', [{'New Segment'}, types(mod(0:k - 1, 5) + 1)], ...
                     'desc', [{''}, descs(mod(0:k - 1, 5) + 1)], ...
                     'pos', num2cell([1, sort(randperm(frames - 40, k)) + 1]), ...  % intervals end within
                     'points', num2cell([1, 1 + (mod(0:k - 1, 5) == 3) * 25]), ...
                     'channel', num2cell([0, (mod(0:k - 1, 5) == 3) * 2]), ...
                     'date', [{'20240131142501123456'}, repmat({''}, 1, k)]);
  c.markers = c.markers([1 3 2 4:end]);  % listed out of number order
  c.markers(6).desc = 'S 15';
end

function t = header_text(c, name)
  eol = sprintf('\n');
  L = {'Brain Vision Data Exchange Header File Version 1.0', ...
       '; Data created by the eegmex tests', '', '[Common Infos]'};
  if ~strcmp(c.codepage, 'none')
    L{end + 1} = ['Codepage=' c.codepage];
  end
  L = [L, {['DataFile=' name '.eeg'], ['MarkerFile=' name '.vmrk'], 'DataFormat=BINARY', ...
           '; Data orientation: MULTIPLEXED=ch1,pt1, ch2,pt1 ...', 'DataOrientation=MULTIPLEXED', ...
           sprintf('NumberOfChannels=%d', numel(c.names)), '; Sampling interval in microseconds', ...
           ['SamplingInterval=' c.interval], '', '[Binary Infos]', ['BinaryFormat=' c.format]}];
  if c.endian == 'b'
    L{end + 1} = 'UseBigEndianOrder=YES';
  end
  L = [L, {'', '[User Infos]', 'Subject=test', '', '[Channel Infos]', ...
           '; Each entry: Ch<Channel number>=<Name>,<Reference channel name>,', ...
           '; <Resolution in "Unit">,<Unit>, Future extensions..'}];
  for i = 1:numel(c.names)
    e = sprintf('Ch%d=%s,%s,%s', i, strrep(c.names{i}, ',', '\1'), strrep(c.refs{i}, ',', '\1'), c.res{i});
    if ~isempty(c.units{i}) || ischar(c.units{i})
      e = [e ',' c.units{i}];
    end
    L{end + 1} = e; %#ok<AGROW>
  end
  L = [L, {'', '[Comment]', '', 'A m p l i f i e r  S e t u p', '============================', ...
           '#     Name      Phys. Chn    Resolution / Unit', 'free text, not key=value'}];
  if c.crlf
    eol = sprintf('\r\n');
  end
  t = [strjoin(L, eol) eol];
end

function t = marker_text(c, name)
  L = {'Brain Vision Data Exchange Marker File, Version 1.0', '', '[Common Infos]'};
  if ~strcmp(c.codepage, 'none')
    L{end + 1} = ['Codepage=' c.codepage];
  end
  L = [L, {['DataFile=' name '.eeg'], '', '[Marker Infos]', ...
           '; Each entry: Mk<Marker number>=<Type>,<Description>,<Position in data points>,', ...
           '; <Size in data points>, <Channel number (0 = marker is related to all channels)>'}];
  for m = c.markers
    e = sprintf('Mk%d=%s,%s,%d,%d,%d', m.number, strrep(m.type, ',', '\1'), strrep(m.desc, ',', '\1'), ...
                m.pos, m.points, m.channel);
    if ~isempty(m.date)
      e = [e ',' m.date];
    end
    L{end + 1} = e; %#ok<AGROW>
  end
  t = [strjoin(L, sprintf('\n')) sprintf('\n')];
end

function write_text(file, t, codepage, bom)
  if strcmp(codepage, 'UTF-8')
    bytes = unicode2native(t, 'UTF-8');
  else
    bytes = unicode2native(t, 'windows-1252');  % ANSI, and the old files that name no code page
  end
  if bom
    bytes = [uint8([239 187 191]) bytes];
  end
  fid = fopen(file, 'w');
  fwrite(fid, bytes, 'uint8');
  fclose(fid);
end

function vhdr = write_triple(folder, name, c, endian, markerPage)
% The header, markers and data of c under folder/name; endian overrides c.endian, and
% markerPage the code page of the markers.
  c.endian = endian;
  vhdr = fullfile(folder, [name '.vhdr']);
  write_text(vhdr, header_text(c, name), c.codepage, c.bom);
  m = c;
  m.codepage = markerPage;
  write_text(fullfile(folder, [name '.vmrk']), marker_text(m, name), markerPage, false);
  precision = struct('INT_16', 'int16', 'INT_32', 'int32', 'IEEE_FLOAT_32', 'float32').(c.format);
  fid = fopen(fullfile(folder, [name '.eeg']), 'w', ['ieee-' endian 'e']);
  fwrite(fid, c.counts.', precision);
  fclose(fid);
end

function r = mne_result(vhdr, mustRead)
% MNE's reading of vhdr; with mustRead, an error when MNE refused it.
  r = jsondecode(fileread([vhdr '.mne.json']));
  if ~r.ok && nargin > 1
    error('%s: MNE refused it: %s', vhdr, r.error);
  end
  if r.ok && isfield(r, 'ch_names')
    fid = fopen([vhdr '.mne.bin'], 'r', 'ieee-le');
    r.data = fread(fid, [r.n_times, numel(r.ch_names)], 'double');
    fclose(fid);
    r.ch_names = reshape(cellstr(r.ch_names), 1, []);
    r.units = reshape(cellstr(r.units), 1, []);
  end
end

function err = refusal(fn, file)
  err = [];
  try
    fn(file);
  catch e
    err = e;
  end
end

% --- the recordings ------------------------------------------------------------------------
python = getenv('EEGMEX_PYTHON');
if isempty(python)
  python = '/usr/bin/python3';
end
work = tempname();
mkdir(work);
confirm_recursive_rmdir(false);
cleanup = onCleanup(@() rmdir(work, 's'));

formats = {'INT_16', 'INT_32', 'IEEE_FLOAT_32'};
pages = {'UTF-8', 'ANSI', 'none'};
cases = {};
mneFiles = {};
seed = 0;
for f = 1:numel(formats)
  for endian = 'lb'
    seed = seed + 1;
    c = recording(formats{f}, endian, pages{mod(seed, 3) + 1}, 400 + 37 * seed, seed);
    c.bom = strcmp(c.codepage, 'UTF-8') && endian == 'l';
    name = sprintf('rec%d_%s_%s', seed, formats{f}, endian);
    c.vhdr = write_triple(work, name, c, endian, c.codepage);
    c.mne = c.vhdr;
    if endian == 'b' || ~strcmp(c.codepage, 'UTF-8')
      % the same samples little-endian under the same header, markers in UTF-8
      c.mne = write_triple(work, [name '_le'], c, 'l', 'UTF-8');
    end
    cases{end + 1} = c; %#ok<AGROW>
    mneFiles = [mneFiles, {c.mne, strrep(c.vhdr, '.vhdr', '.vmrk')}]; %#ok<AGROW>
  end
end

% Damaged or unsupported headers that MNE refuses too: each is a working header changed in one
% place; want is what our message must name besides the file.
base = recording('INT_16', 'l', 'UTF-8', 300, 99);
base.crlf = false;
good = header_text(base, 'base');
refused = {
  'UINT_16',         strrep(good, 'BinaryFormat=INT_16', 'BinaryFormat=UINT_16'),         'UINT_16'
  'no data file',    strrep(good, 'DataFile=base.eeg', 'DataFile=gone.eeg'),              'gone.eeg'
  'fewer channels',  regexprep(good, 'NumberOfChannels=\d+', 'NumberOfChannels=9'),       'NumberOfChannels=9'
  'extra channel',   regexprep(good, 'NumberOfChannels=\d+', 'NumberOfChannels=6'),       'Ch7'
  'no interval',     regexprep(good, 'SamplingInterval=[^\n]*\n', ''),                    'SamplingInterval'
  'no binary infos', regexprep(good, '\[Binary Infos\]\nBinaryFormat=INT_16\n', ''),      '[Binary Infos]'
  'no channel infos', regexprep(good, '\[Channel Infos\]', '[Channel Info]'),             '[Channel Infos]'
  'key twice',       strrep(good, 'DataFormat=BINARY', sprintf('DataFormat=BINARY\nDataFormat=BINARY')), 'DataFormat'
  'not key=value',   strrep(good, 'DataFormat=BINARY', sprintf('DataFormat=BINARY\nbroken line')), 'broken line'
  'orientation',     strrep(good, '=MULTIPLEXED', '=SIDEWAYS'),                            'SIDEWAYS'
  'ascii vectorized', strrep(strrep(good, '=MULTIPLEXED', '=VECTORIZED'), '=BINARY', '=ASCII'), 'ASCII'
};
% Recordings that MNE reads (or only warns about) but this reader refuses: eegfetch cannot read
% them as they are, or the file does not say it is a BrainVision header.
ours = {
  'vectorized',      strrep(good, '=MULTIPLEXED', '=VECTORIZED'),                          'VECTORIZED',  'unsupported'
  'ascii',           strrep(good, '=BINARY', '=ASCII'),                                    'ASCII',       'unsupported'
  'fractional rate', regexprep(good, 'SamplingInterval=[^\n]*', 'SamplingInterval=3000'), 'whole number of Hz', 'unsupported'
  'not a header',    regexprep(good, '^[^\n]*', 'Some Other Format 1.0'),                  'first line',  'damaged'
};
write_triple(work, 'base', base, 'l', 'UTF-8');
for i = 1:rows(refused)
  refused{i, 4} = fullfile(work, sprintf('refused%d.vhdr', i));
  write_text(refused{i, 4}, refused{i, 2}, 'UTF-8', false);
  mneFiles{end + 1} = refused{i, 4}; %#ok<AGROW>
end
for i = 1:rows(ours)
  ours{i, 5} = fullfile(work, sprintf('ours%d.vhdr', i));
  write_text(ours{i, 5}, ours{i, 2}, 'UTF-8', false);
end
% A marker file MNE refuses: a position that is not a number.
badMarkers = fullfile(work, 'badmk.vhdr');
write_text(badMarkers, strrep(good, 'MarkerFile=base.vmrk', 'MarkerFile=badmk.vmrk'), 'UTF-8', false);
write_text(fullfile(work, 'badmk.vmrk'), regexprep(marker_text(base, 'base'), '(Mk3=[^,]*,[^,]*,)\d+', '$1x12'), ...
           'UTF-8', false);
mneFiles{end + 1} = badMarkers;

[status, out] = system(sprintf('"%s" "%s" %s 2>&1', python, fullfile(fileparts(mfilename('fullpath')), 'mne_read.py'), ...
                               strjoin(cellfun(@(f) ['"' f '"'], mneFiles, 'UniformOutput', false), ' ')));
assert(status == 0, 'MNE-Python (%s) failed:\n%s', python, out);
printf('%s', out);

% --- data: eegfetch with the HDR of eegmex_vhdr equals MNE's get_data() ----------------------
% Channel count, order, names, units and rate as MNE has them; samples to 4 units in the last
% place (MNE multiplies by the resolution in volts, then back here to the channel's unit).
toUnit = struct('uV', 1e6, 'mV', 1e3, 'nV', 1e9, 'V', 1);
for k = 1:numel(cases)
  c = cases{k};
  HDR = eegmex_vhdr(c.vhdr);
  r = mne_result(c.mne, true);
  what = sprintf('%s %s-endian, code page %s', c.format, c.endian, c.codepage);
  assert(~isfield(HDR, 'nPoints'), '%s: HDR has nPoints', what);
  assert(HDR.nChans == numel(r.ch_names) && isequal(HDR.label, r.ch_names), '%s: channels [%s] but MNE [%s]', ...
         what, strjoin(HDR.label, '|'), strjoin(r.ch_names, '|'));
  units = strrep(HDR.unit, 'uV', char([194 181 86]));  % MNE gives uV as µV; HDR keeps the header's spelling
  assert(isequal(units, r.units), '%s: units [%s] but MNE [%s]', what, strjoin(HDR.unit, '|'), strjoin(r.units, '|'));
  assert(HDR.fs == r.sfreq, '%s: fs %g but MNE %g', what, HDR.fs, r.sfreq);
  assert(strcmp(HDR.dataFile, fullfile(work, [regexprep(c.vhdr, '.*[\\/]|\.vhdr$', '') '.eeg'])), ...
         '%s: dataFile %s', what, HDR.dataFile);
  X = eegfetch(HDR.dataFile, HDR, struct('chanidx', 1:HDR.nChans, 'fs', HDR.fs));
  assert(isequal(size(X), size(r.data)), '%s: eegfetch gave %dx%d, MNE %dx%d', what, size(X), size(r.data));
  for ch = 1:HDR.nChans
    u = strrep(HDR.unit{ch}, char([194 181]), 'u');
    m = 1;
    if isfield(toUnit, u)
      m = toUnit.(u);
    end
    ref = r.data(:, ch) * m;
    ulps = abs(X(:, ch) - ref) ./ eps(max(abs(X(:, ch)), abs(ref)));
    ulps(X(:, ch) == ref) = 0;
    [worst, at] = max(ulps);
    assert(worst <= 4, '%s, channel %s: %.17g here, %.17g from MNE (%g ulps) at row %d', ...
           what, HDR.label{ch}, X(at, ch), ref(at), worst, at);
  end
  printf('data     %-38s %d x %d as MNE reads it\n', what, size(X));
end

% --- markers as the marker file grows: all calls of eegmex_events give eegmex_vmrk's -----------
% Random pieces (half-written lines, a "\r\n" cut in two) and random upTo (markers written before
% their data wait); every code page.
rand('seed', 5);
for k = 1:numel(cases)
  c = cases{k};
  HDR = eegmex_vhdr(c.vhdr);
  want = eegmex_vmrk(HDR.markerFile);
  fid = fopen(HDR.markerFile, 'r');
  bytes = fread(fid, Inf, '*uint8');
  fclose(fid);
  grown = fullfile(work, sprintf('grown%d.vmrk', k));
  H = HDR;
  H.markerFile = grown;
  fclose(fopen(grown, 'w'));
  at = 0;
  state = [];
  got = want([]);
  last = max([want.position, 1]);
  while true
    upTo = floor(rand() * 1.2 * last);
    if at >= numel(bytes)
      upTo = Inf;
    end
    [ev, state] = eegmex_events(H, state, upTo);
    assert(all([ev.position] <= upTo) && (at == 0 || isempty(state.startedOver)), '%s: growth', c.vhdr);
    got = [got, ev]; %#ok<AGROW>
    if at >= numel(bytes)
      break;
    end
    piece = min(numel(bytes) - at, 1 + floor(rand() * 40));
    fid = fopen(grown, 'a');
    fwrite(fid, bytes(at + 1:at + piece));
    fclose(fid);
    at = at + piece;
  end
  % in the order of their lines, which this writer does not keep in the order of their numbers
  key = @(M) sort(arrayfun(@(m) sprintf('%s|%s|%d|%d|%d|%s', m.type, m.description, m.position, m.points, ...
                                        m.channel, m.date), M, 'UniformOutput', false));
  assert(isequal(key(got), key(want)), '%s: %d markers over growth, %d in the file', c.vhdr, numel(got), numel(want));
end
printf('growing  %d marker files in pieces of 1 to 40 bytes: eegmex_events gives eegmex_vmrk''s markers\n', ...
       numel(cases));

% --- a finished marker file: its last line without a line end, and lines that end in CR alone ---
% Followed with finite upTo while the writer writes, a line comes once its end is written (a CR
% alone too, once the first line end was one); the call with upTo = Inf after the writer closed
% the file takes the last line. All calls together give eegmex_vmrk's markers.
c = cases{1};
HDR = eegmex_vhdr(c.vhdr);
text = strrep(fileread(HDR.markerFile), "\r\n", "\n");
variants = {strrep(text, "\n", "\r"), strrep(text, "\n", "\r")(1:end - 1), text(1:end - 1)};
for v = 1:numel(variants)
  bytes = variants{v};
  H = HDR;
  H.markerFile = fullfile(work, sprintf('finished%d.vmrk', v));
  fid = fopen(H.markerFile, 'w');
  fwrite(fid, bytes);
  fclose(fid);
  want = eegmex_vmrk(H.markerFile);
  [got, state] = eegmex_events(H, [], 1e9);
  [last, state] = eegmex_events(H, state, Inf);
  assert(isempty(state.startedOver) && numel(last) == (v > 1) && isequal(key([got, last]), key(want)), ...
         'finished file %d: %d + %d markers, %d in the file', v, numel(got), numel(last), numel(want));
end
% A state the caller changed is refused by its field, and the same call with the state as it was
% goes on.
[~, state] = eegmex_events(H, [], 10);
for bad = {{'point', NaN}, {'point', -3}, {'checkAt', 1e300}, {'line', 0.5}, {'section', 7}}
  S = state;
  S.(bad{1}{1}) = bad{1}{2};
  e = [];
  try
    eegmex_events(H, S, Inf);
  catch e
  end
  assert(~isempty(e) && strcmp(e.identifier, 'eegmex_events:usage') && ~isempty(strfind(e.message, ['state.' bad{1}{1}])), ...
         'state.%s = %g: %s', bad{1}{1}, bad{1}{2}, disp(e));
end
[rest, state] = eegmex_events(H, state, Inf);
assert(isempty(state.startedOver) && isequal(key(rest), key(want([want.position] > 10))), 'the state as it was');
printf('finished %d marker files (CR alone, no last line end): eegmex_events with upTo = Inf gives eegmex_vmrk''s markers\n', ...
       numel(variants));

% --- markers: eegmex_vmrk gives MNE's annotations -------------------------------------------
% onset = (position - 1) / fs, description = type/description, duration = points / fs; and the
% fields MNE does not keep (channel, date) and the order as the file numbers them.
for k = 1:numel(cases)
  c = cases{k};
  HDR = eegmex_vhdr(c.vhdr);
  M = eegmex_vmrk(HDR.markerFile);
  r = mne_result(HDR.markerFile, true);
  mine = arrayfun(@(m) sprintf('%.9f %.9f %s/%s', (m.position - 1) / HDR.fs, m.points / HDR.fs, m.type, ...
                               m.description), M, 'UniformOutput', false);
  theirs = arrayfun(@(i) sprintf('%.9f %.9f %s', r.onset(i), r.duration(i), r.description{i}), ...
                    1:numel(r.onset), 'UniformOutput', false);
  assert(isequal(sort(mine), sort(theirs)), 'markers of %s:\n  ours   %s\n  MNE''s  %s', c.vhdr, ...
         strjoin(sort(mine), ' | '), strjoin(sort(theirs), ' | '));
  [~, order] = sort([c.markers.number]);
  written = c.markers(order);
  assert(isequal([M.position], [written.pos]) && isequal([M.points], [written.points]) ...
         && isequal([M.channel], [written.channel]) && isequal({M.date}, {written.date}) ...
         && isequal({M.type}, {written.type}) && isequal({M.description}, {written.desc}), ...
         'markers of %s: not as written, in number order', c.vhdr);
  printf('markers  %-38s %d as MNE reads them\n', ['code page ' c.codepage], numel(M));
end

% --- refusals: what MNE refuses, we refuse, naming the file and the problem ------------------
for i = 1:rows(refused)
  r = mne_result(refused{i, 4});
  assert(~r.ok, '%s: MNE read it', refused{i, 1});
  e = refusal(@eegmex_vhdr, refused{i, 4});
  assert(~isempty(e), '%s: eegmex_vhdr read it', refused{i, 1});
  assert(strncmp(e.message, ['eegmex_vhdr: ' refused{i, 4} ': '], numel(refused{i, 4}) + 15) ...
         && ~isempty(strfind(e.message, refused{i, 3})), '%s: message "%s" does not name the file and "%s"', ...
         refused{i, 1}, e.message, refused{i, 3});
  printf('refused  %-38s MNE: %s\n         %-38s ours: %s\n', refused{i, 1}, strtok(r.error, ':'), '', e.message);
end
r = mne_result(badMarkers);
assert(~r.ok, 'MNE read a marker position that is not a number');
e = refusal(@eegmex_vmrk, fullfile(work, 'badmk.vmrk'));
assert(~isempty(e) && strncmp(e.message, 'eegmex_vmrk: ', 13) && ~isempty(strfind(e.message, 'x12')), ...
       'bad marker position: %s', e.message);
printf('refused  %-38s MNE: %s\n         %-38s ours: %s\n', 'marker position', strtok(r.error, ':'), '', e.message);

% --- refusals of our own: recordings eegfetch cannot read as they are ----------------------
for i = 1:rows(ours)
  e = refusal(@eegmex_vhdr, ours{i, 5});
  assert(~isempty(e) && strcmp(e.identifier, ['eegmex_vhdr:' ours{i, 4}]) ...
         && ~isempty(strfind(e.message, ours{i, 5})) && ~isempty(strfind(e.message, ours{i, 3})), ...
         '%s: not refused as %s with "%s"', ours{i, 1}, ours{i, 4}, ours{i, 3});
  printf('refused  %-38s ours: %s\n', ours{i, 1}, e.message);
end
printf('test_brainvision_mne: %d recordings, %d refusals as MNE, %d of our own: all agree\n', ...
       numel(cases), rows(refused) + 1, rows(ours));
