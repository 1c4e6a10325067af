% eegmex_set against MNE-Python's read_raw_eeglab / read_epochs_eeglab and read_annotations, on the
% datasets write_sets.m writes with save -v7 (a variable EEG and fields at the top level; samples
% in an .fdt file and inside the .set; continuous and epoched), and its refusals of damaged ones.
% The samples: eegfetch with the HDR as it is (after the documented write of HDR.data where the
% samples are inside the .set) gives the float32 values written, and MNE's get_data() in microvolts.
% Environment: EEGMEX_PYTHON, the Python that has MNE (default /usr/bin/python3).
1;

function e = refusal(file)
  e = [];
  try
    [~, ~] = eegmex_set(file);   % the events too: they are read only when asked for
  catch err
    e = err;
  end
end

function expect_refusal(file, id, text)
  e = refusal(file);
  assert(~isempty(e), '%s was read, not refused (%s)', file, id);
  assert(strcmp(e.identifier, ['eegmex_set:' id]), '%s: identifier %s, not eegmex_set:%s (%s)', file, ...
         e.identifier, id, e.message);
  assert(strncmp(e.message, 'eegmex_set: ', 12) && ~isempty(strfind(e.message, text)), ...
         '%s: the message "%s" does not say "%s"', file, e.message, text);
end

% The dataset of `from` with `change` applied to its EEG, saved as `name`.
function f = variant(work, from, name, change)
  S = load(fullfile(work, from), '-mat');
  EEG = change(S.EEG);
  f = fullfile(work, name);
  save('-v7', f, 'EEG');
end

function E = event_field(E, k, name, v)
  E(k).(name) = v;
end

function x = float32_file(file, n)
  fid = fopen(file, 'r');
  x = fread(fid, [n, Inf], 'float32=>single').';
  fclose(fid);
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
write_sets(work);
names = {'cont', 'top', 'embedded', 'epochs', 'epochs_embedded'};
files = cellfun(@(n) fullfile(work, [n '.set']), names, 'UniformOutput', false);
[status, out] = system(sprintf('"%s" "%s" %s 2>&1', python, fullfile(here, 'mne_read_set.py'), ...
                               sprintf('"%s" ', files{:})));
assert(status == 0, 'mne_read_set.py failed:\n%s', out);

% ---- every dataset against MNE
for i = 1:numel(files)
  f = files{i};
  mne = jsondecode(fileread([f '.mne.json']));
  if ~mne.ok
    error('%s: MNE refused it: %s', names{i}, mne.error);
  end
  [HDR, ev] = eegmex_set(f);
  n = numel(mne.ch_names);
  assert(HDR.fs == mne.sfreq && HDR.nChans == n && HDR.nPoints == mne.n_times, '%s: the header differs', names{i});
  assert(HDR.BinaryFormat == 3 && strcmp(HDR.endian, 'l') && isequal(HDR.scale, ones(1, n)), '%s: HDR', names{i});
  assert(isequal(HDR.label, mne.ch_names(:).'), '%s: labels differ from MNE''s', names{i});
  fid = fopen([f '.mne.bin'], 'r');
  Y = fread(fid, [mne.n_times, n], 'double') * 1e6;
  fclose(fid);
  if isempty(HDR.dataFile)   % the samples inside the .set: the documented way to eegfetch
    assert(isequal(size(HDR.data), [n, HDR.nPoints]) && isa(HDR.data, 'single'), '%s: HDR.data', names{i});
    HDR.dataFile = fullfile(work, [names{i} '_written.fdt']);
    fid = fopen(HDR.dataFile, 'w');
    fwrite(fid, HDR.data, 'float32');
    fclose(fid);
    written = HDR.data.';
  else
    assert(isempty(HDR.data), '%s: HDR.data with an .fdt file', names{i});
    written = float32_file(HDR.dataFile, n);
    written = written(1:HDR.nPoints, :);
  end
  X = eegfetch(HDR.dataFile, HDR, struct('chanidx', 1:n, 'fs', HDR.fs));
  assert(isequal(X, double(written)), '%s: eegfetch does not give the float32 samples', names{i});
  assert(all(abs(X(:) - Y(:)) <= 4 * eps(abs(X(:)))), '%s: eegfetch differs from MNE by %g', names{i}, ...
         max(abs(X(:) - Y(:))));

  % The dataset's events are MNE's annotations; the epochs' own events come on top.
  own = ev(~strcmp({ev.type}, 'epoch'));
  assert(numel(own) == numel(mne.onset), '%s: %d events, MNE has %d', names{i}, numel(own), numel(mne.onset));
  for k = 1:numel(own)
    d = mne.description{k};
    if isnan(own(k).value)
      assert(strcmp(own(k).type, d), '%s: event %d type %s, MNE %s', names{i}, k, own(k).type, d);
    else
      assert(own(k).value == str2double(d) && strcmp(own(k).type, sprintf('%g', own(k).value)), ...
             '%s: event %d value %g, MNE %s', names{i}, k, own(k).value, d);
    end
    assert(abs(own(k).onset - mne.onset(k)) < 1e-12, '%s: event %d onset', names{i}, k);
    assert(abs(own(k).latency - (mne.onset(k) * HDR.fs + 1)) < 1e-9, '%s: event %d latency', names{i}, k);
    assert(own(k).position == floor(own(k).latency + 0.5), '%s: event %d position', names{i}, k);
    assert(own(k).discontinuity == strcmp(d, 'boundary'), '%s: event %d discontinuity', names{i}, k);
    if isnan(mne.duration(k))   % MNE: NaN for an empty duration, which is 0 here; NaN stays NaN
      assert(own(k).duration == 0 || isnan(own(k).duration), '%s: event %d duration', names{i}, k);
    else
      assert(abs(own(k).duration - mne.duration(k)) < 1e-12, '%s: event %d duration', names{i}, k);
    end
  end

  % Positions: X, Y, Z as written (mm); MNE's head frame in m is (-Y, X, Z) / 1000.
  for c = 1:n
    p = mne.positions;
    if iscell(p)
      p = p{c};
    else
      p = p(c, :);
    end
    if isempty(p) || all(isnan(p))   % null, which jsondecode may give as NaN
      assert(all(isnan(HDR.position(c, :))), '%s: channel %d has a position MNE has not', names{i}, c);
    else
      q = HDR.position(c, :) / 1000;
      assert(max(abs([-q(2), q(1), q(3)] - p(:).')) < 1e-12, '%s: channel %d position', names{i}, c);
    end
  end
  results.(names{i}) = struct('HDR', HDR, 'ev', ev);
end

% ---- what MNE does not say: the layouts, the event fields, the epochs
C = results.cont;
T = results.top;
E = results.embedded;
assert(isequaln(C.HDR, T.HDR) && isequaln(C.ev, T.ev), 'the two layouts of one dataset differ');
assert(isequaln(rmfield(C.HDR, {'dataFile', 'data'}), rmfield(E.HDR, {'dataFile', 'data'})) && isequaln(C.ev, E.ev), ...
       'the dataset with its samples inside the .set differs');
assert(isequaln([C.ev.value], [NaN NaN NaN 7 NaN NaN 3]), 'values of numeric types');
assert(isequal([C.ev.position], [100 250 701 900 1201 1301 1536]), 'positions of the continuous dataset');
assert(isequal(find([C.ev.discontinuity]), [3 5]) && C.ev(3).duration == 250 / 512 && isnan(C.ev(5).duration) ...
       && C.ev(4).duration == 0, 'boundaries and durations');
assert(isequal(C.HDR.type, {'EEG', 'EEG', 'EEG', 'EOG', 'EEG', 'EEG'}) && isequal(C.HDR.unit, repmat({'µV'}, 1, 6)), ...
       'channel types and units');
assert(isequal([C.ev.epoch], ones(1, 7)) && C.HDR.trials == 1 && C.HDR.pnts == 1537 && C.HDR.xmin == 0, 'continuous');

P = results.epochs;
assert(P.HDR.trials == 3 && P.HDR.pnts == 100 && abs(P.HDR.xmin + 0.2) < 1e-15 && P.HDR.nPoints == 300, 'epochs');
assert(isequal({P.ev.type}, {'epoch', 'stim', 'epoch', 'stim', 'resp', 'epoch', 'stim'}), 'epoch events and order');
epochs = P.ev(strcmp({P.ev.type}, 'epoch'));
assert(isequal([epochs.position], [1 101 201]) && isequal([epochs.value], 1:3) ...
       && isequal([epochs.discontinuity], [false true true]) && all([epochs.duration] == 100 / 250), 'epoch events');
stim = P.ev(strcmp({P.ev.type}, 'stim'));
assert(isequal([stim.position], (0:2) * 100 + 1 - P.HDR.xmin * P.HDR.fs) && isequal([stim.epoch], 1:3), ...
       'the time-locking events lie at frame (k-1)*pnts + 1 - xmin*fs');
assert(isequaln(rmfield(P.HDR, {'dataFile', 'data'}), rmfield(results.epochs_embedded.HDR, {'dataFile', 'data'})), ...
       'the epochs inside the .set differ');

% An .fdt longer than the dataset: nPoints ends the read there.
copyfile(fullfile(work, 'cont.fdt'), fullfile(work, 'long.fdt'));
fid = fopen(fullfile(work, 'long.fdt'), 'a');
fwrite(fid, single(1:60), 'float32');
fclose(fid);
HDR = eegmex_set(variant(work, 'cont.set', 'long.set', @(EEG) setfield(EEG, 'data', 'long.fdt')));
X = eegfetch(HDR.dataFile, HDR, struct('chanidx', 1:6, 'fs', 512));
assert(isequal(size(X), [1537 6]), 'a longer .fdt is read past the dataset');

% ---- refusals
expect_refusal(fullfile(work, 'none.set'), 'file', 'none.set: cannot be opened');
e = [];
try
  eegmex_set(42);
catch e
end
assert(~isempty(e) && strcmp(e.identifier, 'eegmex_set:usage'), 'a number as the file name');
fid = fopen(fullfile(work, 'v73.set'), 'w');
fwrite(fid, ['MATLAB 7.3 MAT-file, Platform: GLNXA64, Created on: Mon Dec  7 10:00:00 2026 HDF5 schema 1.00 .', ...
             blanks(20)]);
fclose(fid);
expect_refusal(fullfile(work, 'v73.set'), 'unsupported', 'a MAT v7.3 (HDF5) file');
fid = fopen(fullfile(work, 'text.set'), 'w');
fprintf(fid, 'nbchan = 3\n');
fclose(fid);
expect_refusal(fullfile(work, 'text.set'), 'damaged', 'not a MAT file that load reads');
x = 1;
save('-v7', fullfile(work, 'other.set'), 'x');
expect_refusal(fullfile(work, 'other.set'), 'damaged', 'holds neither a variable EEG nor the fields of one');
fdt = float32_file(fullfile(work, 'cont.fdt'), 6).';
fid = fopen(fullfile(work, 'short.fdt'), 'w');      % one frame and 3 bytes short of 1537 frames
fwrite(fid, fdt(:, 1:1536), 'float32');
fwrite(fid, uint8([1 2 3]));
fclose(fid);
cases = {
  'nosrate.set',  @(EEG) rmfield(EEG, 'srate'),                     'damaged',     'EEG.srate is missing'
  'nbchan.set',   @(EEG) setfield(EEG, 'nbchan', 2.5),              'damaged',     'EEG.nbchan is 2.5, not a whole number from 1'
  'srate.set',    @(EEG) setfield(EEG, 'srate', 'abc'),             'damaged',     'EEG.srate is a 1 x 3 char, not a positive number of Hz'
  'fracrate.set', @(EEG) setfield(EEG, 'srate', 512.5),             'unsupported', 'EEG.srate is 512.5 Hz, not a whole number of Hz'
  'size.set',     @(EEG) setfield(EEG, 'data', zeros(6, 1536, 'single')), 'damaged', ...
                  'EEG.data is a 6 x 1536 single, not nbchan x pnts x trials = 6 x 1537 x 1'
  'cell.set',     @(EEG) setfield(EEG, 'data', {1}),                'damaged',     'EEG.data is a 1 x 1 cell, neither a file name nor a real matrix'
  'short.set',    @(EEG) setfield(EEG, 'data', 'short.fdt'),        'damaged',     ...
                  'short.fdt holds 36867 bytes, fewer than nbchan x pnts x trials x 4 = 6 x 1537 x 1 x 4 = 36888'
  'gone.set',     @(EEG) setfield(EEG, 'data', 'gone_data.fdt'),    'file',        'gone_data.fdt is missing (and so is'
  'dat.set',      @(EEG) setfield(EEG, 'data', 'old.dat'),          'unsupported', 'old.dat, a .dat file of the old layout'
  'chanlocs.set', @(EEG) setfield(EEG, 'chanlocs', EEG.chanlocs(1:5)), 'damaged',  'EEG.chanlocs has 5 entries for 6 channels'
  'latency.set',  @(EEG) setfield(EEG, 'event', event_field(EEG.event, 2, 'latency', 'abc')), 'damaged', ...
                  'EEG.event(2).latency is a 1 x 3 char, not a finite number'
  'nolatency.set', @(EEG) setfield(EEG, 'event', rmfield(EEG.event, 'latency')), 'damaged', 'EEG.event has no field latency'
  'evtype.set',   @(EEG) setfield(EEG, 'event', event_field(EEG.event, 1, 'type', {1})), 'damaged', ...
                  'EEG.event(1).type is a 1 x 1 cell, neither text nor a number'
  'two.set',      @(EEG) [EEG, EEG],                                'unsupported', 'EEG holds 2 datasets'
};
for k = 1:size(cases, 1)
  expect_refusal(variant(work, 'cont.set', cases{k, 1}, cases{k, 2}), cases{k, 3}, cases{k, 4});
end

% A renamed dataset: EEG.data names the old .fdt, the .fdt of the .set's own name is read.
copyfile(fullfile(work, 'cont.fdt'), fullfile(work, 'renamed.fdt'));
f = variant(work, 'cont.set', 'renamed.set', @(EEG) setfield(EEG, 'data', 'before.fdt'));
lastwarn('');
HDR = eegmex_set(f);
[msg, id] = lastwarn();
assert(strcmp(id, 'eegmex_set:renamed') && ~isempty(strfind(msg, 'before.fdt, which is missing')), 'renamed: %s', msg);
assert(strcmp(HDR.dataFile, fullfile(work, 'renamed.fdt')), 'renamed: reads %s', HDR.dataFile);

printf('eegmex_set: %d datasets equal to MNE %s, %d refusals\n', numel(files), strtrim(out), size(cases, 1) + 5);
