% eegmex_edf against MNE-Python's read_raw_edf / read_raw_bdf, on the files write_edf.py writes
% (EDF, EDF+C, BDF, BDF+C; record sizes, channels of another rate, annotations, Status, extreme
% digital values, physical offsets, rounded record durations, -1 records, a file still being
% written and one cut short), and on broken headers made from them.
% The samples: digital * HDR.scale + HDR.offset, with the digital samples read plainly from the
% records (numpy, in mne_read_edf.py), equals MNE's get_data() in the channel's unit; eegfetch reads
% exactly those values with the HDR as it is, and follows a BDF file that grows.
% Environment: EEGMEX_PYTHON, the Python that has MNE (default /usr/bin/python3).
1;

function err = refusal(file)
  err = [];
  try
    eegmex_edf(file);
  catch e
    err = e;
  end
end

% A copy of the file `from` with `text` written at byte `at` (0-based), padded with spaces to `width`.
function to = patched(work, name, from, at, text, width)
  fid = fopen(fullfile(work, from), 'r');
  b = fread(fid, Inf, '*uint8')';
  fclose(fid);
  b(at + 1:at + width) = uint8([text, repmat(' ', 1, width - numel(text))]);
  to = fullfile(work, name);
  fid = fopen(to, 'w');
  fwrite(fid, b);
  fclose(fid);
end

% The byte where field f (1 label ... 9 samples per record) of signal k starts, of ns signals.
function at = signal_field(f, k, ns)
  widths = [16 80 8 8 8 8 8 80 8 32];
  at = 256 + sum(widths(1:f - 1)) * ns + (k - 1) * widths(f);
end

python = getenv('EEGMEX_PYTHON');
if isempty(python)
  python = '/usr/bin/python3';
end
here = fileparts(mfilename('fullpath'));
work = tempname();
mkdir(work);
confirm_recursive_rmdir(false);
cleanup = onCleanup(@() rmdir(work, 's'));
[status, out] = system(sprintf('"%s" "%s" "%s" 2>&1', python, fullfile(here, 'write_edf.py'), work));
assert(status == 0, 'write_edf.py failed:\n%s', out);
manifest = jsondecode(fileread(fullfile(work, 'manifest.json')));
if ~iscell(manifest)
  manifest = num2cell(manifest);
end
files = cellfun(@(w) w.file, manifest, 'UniformOutput', false)';

% Broken headers: a file changed in one field; what our message must name; our identifier; whether
% MNE 1.3 refuses it too (otherwise it reads it, mostly with a warning).
p5 = @(f, k) signal_field(f, k, 5);
broken = {
  'not a number of signals', patched(work, 'b1.edf', 'plain.edf', 252, 'abc', 4),   'number of signals', 'damaged', true
  'header size',        patched(work, 'b2.edf', 'plain.edf', 184, '1000', 8),        'number of bytes in header', 'damaged', true
  'record count',       patched(work, 'b3.edf', 'plain.edf', 236, 'ten', 8),         'number of data records', 'damaged', true
  'duration text',      patched(work, 'b4.edf', 'plain.edf', 244, '1 s', 8),         'duration of a data record', 'damaged', true
  'physical minimum',   patched(work, 'b5.edf', 'plain.edf', p5(4, 2), '1.5.', 8),    'physical minimum "1.5."', 'damaged', true
  'startdate',          patched(work, 'b6.edf', 'plain.edf', 168, 'xx.02.24', 8),    'startdate (bytes 169-176) "xx.02.24"', 'damaged', true
  'huge signal count',  patched(work, 'b7.bdf', patched(work, 'b7a.bdf', 'status.bdf', 252, '9999', 4)(numel(work) + 2:end), ...
                        184, '2560000', 8), 'shorter than its 2560000-byte header (9999 signals)', 'damaged', true
  'version',            patched(work, 'b8.edf', 'plain.edf', 0, 'V1', 8),            'version', 'damaged', false
  'no signals',         patched(work, 'b9.edf', 'plain.edf', 252, '0', 4),           'number of signals', 'damaged', true
  'zero duration',      patched(work, 'b10.edf', 'plain.edf', 244, '0', 8),          'duration of a data record', 'damaged', false
  'zero samples',       patched(work, 'b11.edf', 'plain.edf', p5(9, 3), '0', 8),     'number of samples in each data record', 'damaged', true
  'negative samples',   patched(work, 'b12.edf', 'plain.edf', p5(9, 1), '-5', 8),    'number of samples in each data record', 'damaged', true
  'digital range',      patched(work, 'b13.edf', 'plain.edf', p5(6, 1), '40000', 8), 'digital minimum', 'damaged', false
  'discontinuous',      patched(work, 'b15.edf', 'annotated.edf', 192, 'EDF+D', 44), 'EDF+D', 'unsupported', false
  'fractional rate',    patched(work, 'b16.edf', 'plain.edf', 244, '3', 8),          'not a whole number of Hz', 'unsupported', false
};
flat = patched(work, 'b14.edf', 'plain.edf', p5(4, 1), '3200', 8);   % Fp1: physical minimum = maximum
only = patched(work, 'b17.edf', 'cut.edf', signal_field(1, 1, 1), 'EDF Annotations', 16);
broken(end + 1, :) = {'only annotations', only, 'annotation channels', 'unsupported', true};
fid = fopen(fullfile(work, 'b18.edf'), 'w');   % cut inside the signal headers
fwrite(fid, fileread(fullfile(work, 'plain.edf'))(1:700));
fclose(fid);
broken(end + 1, :) = {'cut in the header', fullfile(work, 'b18.edf'), 'shorter than its 1536-byte header', 'damaged', true};

list = strjoin(cellfun(@(f) ['"' f '"'], [files, broken(:, 2)', {flat}], 'UniformOutput', false), ' ');
[status, out] = system(sprintf('"%s" "%s" %s 2>&1', python, fullfile(here, 'mne_read_edf.py'), list));
assert(status == 0, 'MNE-Python (%s) failed:\n%s', python, out);
printf('%s', out);

% --- the files MNE reads: header, samples, annotations, status events ------------------------
toUnit = struct('uV', 1e6, 'mV', 1e3);
for i = 1:numel(manifest)
  w = manifest{i};
  what = w.file(numel(work) + 2:end);
  r = jsondecode(fileread([w.file '.mne.json']));
  if ~r.ok
    error('%s: MNE refused it: %s', what, r.error);
  end
  lastwarn('');
  [HDR, events] = eegmex_edf(w.file);
  [~, id] = lastwarn();
  assert(strcmp(id, 'eegmex_edf:truncated') == w.cut, '%s: warning "%s"', what, id);
  assert(isequal(eegmex_edf(w.file), HDR), '%s: the HDR alone differs from the HDR read with the events', what);

  % layout as written; the rate as written, and MNE's where the duration is written exactly
  ns = numel(w.labels);
  assert(HDR.nChans == ns && HDR.dataOffset == 256 * (ns + 1) && isequal(HDR.recordSamples, w.samples_per_record') ...
         && HDR.nRecords == w.n_records && isequal(HDR.label, w.labels') && isequal(HDR.annotation, w.annotation'), ...
         '%s: layout', what);
  n = mode(HDR.recordSamples(~HDR.annotation));
  nPoints = HDR.nRecords * HDR.recordSamples(HDR.fsChans(1));   % samples at fs in the file now
  assert(HDR.fs == w.rate && nPoints == w.n_records * n && HDR.BinaryFormat == 1 + 3 * w.bdf, ...
         '%s: fs %g, %d samples at fs, BinaryFormat %d', what, HDR.fs, nPoints, HDR.BinaryFormat);
  assert(~isfield(HDR, 'nPoints'), '%s: an HDR with nPoints stops eegfetch at the records read now', what);
  % MNE's rate is that of the channels with the most samples per record, ours the most common one
  nMax = max(HDR.recordSamples(~HDR.annotation));
  if w.rounded
    % MNE takes the written duration as it is: it must be ours rounded to the written decimals
    half = 0.5 * 10 ^ -(numel(w.duration) - find(w.duration == '.'));
    assert(abs(nMax / r.sfreq - HDR.recordDuration) <= half && HDR.fs ~= r.sfreq, '%s: fs %g, MNE %.9g', ...
           what, HDR.fs, r.sfreq);
  else
    assert(HDR.fs * nMax / n == r.sfreq, '%s: fs %g, MNE %g', what, HDR.fs, r.sfreq);
  end
  % the start time: the header's, and the first record's offset carried through the calendar
  assert(isequal(HDR.startTime, w.start_time') && abs(etime(HDR.startTime, r.meas_date') - w.first_onset) < 1e-6, ...
         '%s: startTime [%s], written [%s], MNE''s header date [%s]', what, num2str(HDR.startTime), ...
         num2str(w.start_time'), num2str(r.meas_date'));
  assert(HDR.nRecords * nMax == r.n_times, '%s: %d records, MNE %d samples', what, HDR.nRecords, r.n_times);
  chans = find(~HDR.annotation);
  assert(isequal(HDR.label(chans), reshape(cellstr(r.ch_names), 1, [])), '%s: channel names', what);
  units = strrep(HDR.unit(chans), 'uV', char([194 181 86]));
  mneUnits = reshape(cellstr(r.units), 1, []);
  keep = ~strcmp(mneUnits, 'n/a');   % MNE keeps no unit but volts and a few others
  assert(isequal(units(keep), mneUnits(keep)), '%s: units', what);

  % samples: digital * scale + offset is MNE's data in the channel's unit
  fid = fopen([w.file '.mne.bin'], 'r', 'ieee-le');
  mneData = fread(fid, [r.n_times, numel(chans)], 'double');
  fclose(fid);
  fid = fopen([w.file '.digital.bin'], 'r', 'ieee-le');
  digital = fread(fid, Inf, 'double');
  fclose(fid);
  counts = HDR.recordSamples * HDR.nRecords;
  assert(isequal(r.digital_counts', counts), '%s: the plain read found other sample counts', what);
  starts = [0, cumsum(counts)];
  compared = 0;
  for j = 1:numel(chans)
    c = chans(j);
    if counts(c) ~= r.n_times || strcmp(HDR.label{c}, 'Status')
      continue;   % MNE resamples a channel of a lower rate; Status is compared as events
    end
    mine = digital(starts(c) + 1:starts(c + 1)) * HDR.scale(c) + HDR.offset(c);
    ref = mneData(:, j);
    if isfield(toUnit, HDR.unit{c})
      ref = ref * toUnit.(HDR.unit{c});
    end
    ulps = abs(mine - ref) ./ eps(max(abs(mine), abs(ref)));
    ulps(mine == ref) = 0;
    [worst, at] = max(ulps);
    assert(worst <= 4, '%s, %s: %.17g here, %.17g from MNE (%g ulps) at %d', what, HDR.label{c}, mine(at), ...
           ref(at), worst, at);
    assert(min(digital(starts(c) + 1:starts(c + 1))) == HDR.digitalMin(c) ...
           && max(digital(starts(c) + 1:starts(c + 1))) == HDR.digitalMax(c), '%s, %s: not the extremes', what, HDR.label{c});
    compared = compared + 1;
  end
  assert(compared >= 1, '%s: no channel compared', what);

  % eegfetch takes the HDR as it is: the channels at fs, unfiltered, are digital * scale + offset to
  % the bit (so MNE's data within 4 ulps, as above); through a filter, Octave's filter of the same
  % physical values within 1e-9 relative.
  sel = HDR.fsChans;
  phys = zeros(nPoints, numel(sel));
  for k = 1:numel(sel)
    c = sel(k);
    phys(:, k) = digital(starts(c) + 1:starts(c) + nPoints) * HDR.scale(c) + HDR.offset(c);
  end
  X = eegfetch(HDR.dataFile, HDR, struct('chanidx', sel, 'fs', HDR.fs));
  assert(isequal(size(X), size(phys)) && isequal(X, phys), '%s: eegfetch differs from digital * scale + offset', what);
  [fb, fa] = deal([0.2 0.3 0.1], [1 -0.5 0.2]);
  Y = eegfetch(HDR.dataFile, HDR, struct('chanidx', sel, 'fs', HDR.fs, 'filt_b', fb, 'filt_a', fa));
  F = filter(fb, fa, phys);
  assert(max(abs(Y(:) - F(:))) <= 1e-9 * max(abs(F(:))), '%s: filtered read against filter', what);

  % every other data channel at its own rate (HDR.channelFs), nPoints and OPT.fs in its samples
  for c = find(~HDR.annotation & HDR.recordSamples ~= HDR.recordSamples(sel(1)))
    plain = digital(starts(c) + 1:starts(c + 1)) * HDR.scale(c) + HDR.offset(c);
    X = eegfetch(HDR.dataFile, HDR, struct('chanidx', c, 'fs', HDR.channelFs(c)));
    assert(isequal(X, plain), '%s, %s at %g Hz: eegfetch differs from digital * scale + offset', what, ...
           HDR.label{c}, HDR.channelFs(c));
    H = HDR;
    H.nPoints = counts(c) - 1;
    X = eegfetch(HDR.dataFile, H, struct('chanidx', c, 'fs', HDR.channelFs(c)));
    assert(isequal(X, plain(1:end - 1)), '%s, %s: nPoints in the channel''s samples', what, HDR.label{c});
  end

  % annotations: MNE's and as written; status: MNE's find_events and the pulses as written
  ann = events(strcmp({events.type}, 'annotation'));
  st = events(strcmp({events.type}, 'status'));
  line = @(o, d, t) sprintf('%.9f %.9f %s', o, d, t);
  mine = arrayfun(@(e) line(e.onset, e.duration, e.text), ann, 'UniformOutput', false);
  theirs = arrayfun(@(k) line(r.onset(k), r.duration(k), cellstr(r.description){k}), 1:numel(r.onset), ...
                    'UniformOutput', false);
  written = arrayfun(@(k) line(w.annotations{k}{:}), 1:numel(w.annotations), 'UniformOutput', false);
  sorted = @(c) sort(reshape(c, 1, []));
  assert(isequal(sorted(mine), sorted(theirs), sorted(written)), '%s: annotations\n ours  %s\n MNE   %s\n file  %s', ...
         what, strjoin(mine, ' | '), strjoin(theirs, ' | '), strjoin(written, ' | '));
  mneStatus = reshape(r.status, [], 2);
  wStatus = reshape(w.status, [], 3);
  assert(isequal(reshape([[st.position] - 1; st.value]', [], 2), mneStatus) ...
         && isequal(reshape([st.onset; st.duration; st.value]', [], 3), wStatus), ...
         '%s: status events', what);
  assert(issorted([events.onset]), '%s: events not in the order of onset', what);
  printf('read     %-16s %-5s %5g Hz (MNE %.7g) %d x %d samples, %d channels as MNE, %d annotations, %d status events\n', ...
         what, HDR.format, HDR.fs, r.sfreq, nPoints, numel(HDR.fsChans), compared, numel(ann), numel(st));
end

% --- a BDF file grown record by record and in pieces smaller than a record, read online --------
% Each read with OPT.resume (the newest 50 outputs at a quarter of the rate) equals a full read of the
% file as it stands, though the writer rewrites its header's record count as it goes.
w = manifest{find(cellfun(@(m) m.bdf, manifest), 1)};
fid = fopen(w.file, 'r');
whole = fread(fid, Inf, '*uint8');
fclose(fid);
HDR = eegmex_edf(w.file);
recordBytes = 3 * sum(HDR.recordSamples);
grown = fullfile(work, 'grown.bdf');
HDR.dataFile = grown;
fid = fopen(grown, 'w');
fwrite(fid, whole(1:HDR.dataOffset));
fclose(fid);
O = struct('chanidx', HDR.fsChans, 'fs', HDR.fs / 4, 'filt_b', [0.1 0.2 0.1], 'filt_a', [1 -0.9 0.3], ...
           'resume', true, 'newest', true);
O.data = NaN(50, numel(HDR.fsChans));
O.data(1) = NaN;
at = HDR.dataOffset;
steps = 0;
resumed = 0;
rand('seed', 9);
while at < numel(whole)
  piece = min(numel(whole) - at, max(1, round(recordBytes * (rand() < 0.5) + rand() * recordBytes / 3)));
  fid = fopen(grown, 'r+');
  fseek(fid, at, 'bof');
  fwrite(fid, whole(at + 1:at + piece));
  fseek(fid, 236, 'bof');
  fprintf(fid, '%-8d', floor((at + piece - HDR.dataOffset) / recordBytes));  % the writer's count
  fclose(fid);
  at = at + piece;
  [~, info] = eegfetch(grown, HDR, O);
  full = rmfield(O, 'resume');
  full.data = NaN(50, numel(HDR.fsChans));
  full.data(1) = NaN;
  eegfetch(grown, HDR, full);
  assert(isequaln(O.data, full.data), 'grown BDF: online read differs at %d bytes', at);
  steps = steps + 1;
  resumed = resumed + (info.resumedFrames > 0);
end
assert(resumed >= steps / 2, 'grown BDF: only %d of %d reads went on from the last', resumed, steps);
printf('grown    %-16s in %d pieces, %d reads went on from the last, each equal to a full read\n', ...
       w.file(numel(work) + 2:end), steps, resumed);

% --- events as a BDF+ file grows: all calls together give the whole-file events -------------
% Random pieces (partial records, a rewritten record count) and random upTo, sometimes behind the
% data; a status event's duration is NaN where its end was not yet in the file.
k = find(cellfun(@(m) m.bdf && ~isempty(m.status) && ~isempty(m.annotations), manifest), 1);
assert(~isempty(k), 'write_edf.py wrote no BDF+ file with both annotations and Status');
w = manifest{k};
fid = fopen(w.file, 'r');
whole = fread(fid, Inf, '*uint8');
fclose(fid);
[HDR, want] = eegmex_edf(w.file);
recordBytes = 3 * sum(HDR.recordSamples);
grown = fullfile(work, 'grown_events.bdf');
HDR.dataFile = grown;
fid = fopen(grown, 'w');
fwrite(fid, whole(1:HDR.dataOffset));
fclose(fid);
at = HDR.dataOffset;
got = want([]);
state = [];
calls = 0;
while true
  frames = floor((at - HDR.dataOffset) / recordBytes) * HDR.recordSamples(HDR.fsChans(1));
  upTo = frames;
  if rand() < 0.4
    upTo = floor(rand() * frames);   % behind the data read
  end
  if at >= numel(whole)
    upTo = Inf;
  end
  [ev, state] = eegmex_events(HDR, state, upTo);
  assert(calls == 0 || isempty(state.startedOver), 'grown BDF+: call %d started over (%s)', calls, state.startedOver);
  assert(all([ev.position] <= upTo), 'grown BDF+: an event past upTo');
  got = [got, ev]; %#ok<AGROW>
  calls = calls + 1;
  if at >= numel(whole)
    break;
  end
  piece = min(numel(whole) - at, max(1, round(rand() * recordBytes * 1.5)));
  fid = fopen(grown, 'r+');
  fseek(fid, at, 'bof');
  fwrite(fid, whole(at + 1:at + piece));
  fseek(fid, 236, 'bof');
  fprintf(fid, '%-8d', floor((at + piece - HDR.dataOffset) / recordBytes));
  fclose(fid);
  at = at + piece;
end
key = @(e) arrayfun(@(x) sprintf('%s %.9f %s %g %d %g', x.type, x.onset, x.text, x.value, x.position, x.status), ...
                    e, 'UniformOutput', false);
assert(isequal(sort(key(got)), sort(key(want))), 'grown BDF+: the events of %d calls differ from the whole file''s', calls);
[~, i] = sort(key(got));
[~, j] = sort(key(want));
d = [got(i).duration];
assert(isequal(d(~isnan(d)), [want(j)(~isnan(d)).duration]), 'grown BDF+: durations');
% A file that changed behind the point starts over and says so.
fid = fopen(grown, 'r+');
fseek(fid, numel(whole) - 10, 'bof');
fwrite(fid, uint8(255 - whole(end - 9:end)));
fclose(fid);
[ev, state] = eegmex_events(HDR, state);
assert(strcmp(state.startedOver, 'changed bytes') && numel(ev) >= numel(want) - 1, 'changed file: %s', state.startedOver);
printf('events   %-16s %d events in %d calls of eegmex_events, equal to the whole file''s\n', ...
       w.file(numel(work) + 2:end), numel(got), calls);

% --- broken headers: refused, naming the file and the field --------------------------------
for i = 1:rows(broken)
  [what, file, field, kind, mneRefuses] = broken{i, :};
  r = jsondecode(fileread([file '.mne.json']));
  assert(r.ok ~= mneRefuses, '%s: MNE %s it', what, {'refused', 'read'}{1 + r.ok});
  e = refusal(file);
  assert(~isempty(e), '%s: eegmex_edf read it', what);
  assert(strcmp(e.identifier, ['eegmex_edf:' kind]) && strncmp(e.message, ['eegmex_edf: ' file ': '], numel(file) + 14) ...
         && ~isempty(strfind(e.message, field)), '%s: "%s" (%s) does not name the file and "%s" as %s', ...
         what, e.message, e.identifier, field, kind);
  mneSays = 'reads it';
  if ~r.ok
    mneSays = ['refuses: ' strtok(r.error, ':')];
  end
  printf('refused  %-24s MNE %s\n         %-24s ours: %s\n', what, mneSays, '', e.message(numel(file) + 15:end));
end
% --- one channel without a scale (physical minimum = maximum): reported, the others read ------
r = jsondecode(fileread([flat '.mne.json']));
if ~r.ok
  error('MNE refused the file with a channel without a scale: %s', r.error);
end
lastwarn('');
HDR = eegmex_edf(flat);
[msg, id] = lastwarn();
assert(strcmp(id, 'eegmex_edf:unknownScale') && ~isempty(strfind(msg, 'signal 1 (Fp1): physical minimum 3200 and maximum 3200')), ...
       'flat channel: warning %s "%s"', id, msg);
P = eegmex_edf(fullfile(work, 'plain.edf'));
assert(isnan(HDR.scale(1)) && isnan(HDR.offset(1)) && isequal(HDR.scale(2:end), P.scale(2:end)) ...
       && isequal(HDR.fsChans, setdiff(P.fsChans, 1)), 'flat channel: scale, offset or fsChans');
O = struct('chanidx', HDR.fsChans, 'fs', HDR.fs);
assert(isequal(eegfetch(HDR.dataFile, HDR, O), eegfetch(P.dataFile, P, O)), 'flat channel: the others differ');
e = [];
try
  eegfetch(HDR.dataFile, HDR, struct('chanidx', [2 1], 'fs', HDR.fs));   % Fp1 chosen by hand
catch e
end
assert(~isempty(e) && ~isempty(strfind(e.message, 'HDR.scale of a channel OPT.chanidx selects is not a finite number')), ...
       'flat channel selected: %s', disp(e));
printf('flat     %-16s read without Fp1: %s\n', 'b14.edf', msg(numel(flat) + 15:end));

printf('test_edf_mne: %d files as MNE reads them, %d broken headers refused\n', numel(manifest), rows(broken));
