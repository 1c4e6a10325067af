function [HDR, events] = eegmex_set(file)
%EEGMEX_SET  Read an EEGLAB dataset (.set, with its .fdt) into an HDR and its events.
%
%   [HDR, events] = eegmex_set(file)
%
%   Reads an EEGLAB dataset with the host's own load (a MAT file: v6 or
%   v7 in MATLAB and Octave, v7.3 in MATLAB) and returns an HDR struct in
%   the form eegfetch takes, with the channels' names, types, units and
%   positions; and the dataset's events. The .set holds either a variable
%   EEG (a struct) or the same fields as variables of their own; both are
%   read alike. The samples are in a separate .fdt file (EEG.data names
%   it) or in the .set itself (EEG.data is the matrix).
%
%   An .fdt file is float32, little-endian, frame after frame: the
%   samples of all channels of frame 1, then of frame 2, and so on (the
%   nbchan x pnts x trials matrix in column order). That is what eegfetch
%   reads, so HDR goes to it as it is:
%     HDR = eegmex_set('rec.set');
%     X = eegfetch(HDR.dataFile, HDR, struct('chanidx', 1:HDR.nChans, 'fs', HDR.fs));
%   X holds every channel in microvolts, one row per frame.
%
%   HDR fields
%     fs            EEG.srate in Hz. A rate that is not a whole number of
%                   Hz is refused, as eegfetch works with whole rates.
%     nChans        EEG.nbchan.
%     BinaryFormat  3 (float32).
%     scale         ones(1, nChans): the samples are in microvolts.
%     endian        'l'.
%     dataFile      The full path of the .fdt file; '' when the data are
%                   inside the .set (see "Data inside the .set").
%     nPoints       pnts * trials: the frames of the dataset. eegfetch
%                   reads these and no more, also from an .fdt that is
%                   longer.
%     label         1 x nChans cell: EEG.chanlocs(k).labels; the channel
%                   number as text ('1', '2', ...) when the dataset has no
%                   channel locations or a channel no label.
%     unit          1 x nChans cell: 'µV', or EEG.chanlocs(k).unit where
%                   the dataset gives one.
%     type          1 x nChans cell: EEG.chanlocs(k).type ('EEG', 'EOG',
%                   ...), '' where there is none.
%     position      nChans x 3: EEG.chanlocs(k).X, .Y, .Z as written (in
%                   the dataset's frame: +X towards the nose, +Y towards
%                   the left ear, +Z up; in its unit, usually mm); NaN
%                   where a coordinate is missing or empty.
%     trials        EEG.trials: 1 for a continuous dataset.
%     pnts          EEG.pnts: frames per epoch (all frames when trials is 1).
%     xmin          EEG.xmin: the time in seconds of each epoch's first
%                   frame from its time-locking event; 0 when absent.
%     data          The nChans x nPoints matrix when the data are inside
%                   the .set (epochs side by side), as stored (single or
%                   double); [] when they are in an .fdt file.
%
%   Data inside the .set
%   eegfetch reads files, not a matrix in memory: with the data inside
%   the .set, HDR.dataFile is '' and HDR.data holds them. Written as
%   float32 they are the .fdt file that eegfetch reads with the same HDR:
%     if isempty(HDR.dataFile)
%       HDR.dataFile = [tempname() '.fdt'];
%       fid = fopen(HDR.dataFile, 'w'); fwrite(fid, HDR.data, 'float32'); fclose(fid);
%     end
%     X = eegfetch(HDR.dataFile, HDR, OPT);
%   This is exact for data stored as single, as EEGLAB stores them; a
%   double matrix is rounded to float32 on the way (filter HDR.data in
%   memory instead where that matters). eegmex_set itself writes nothing.
%
%   Epoched datasets (trials > 1) are read as their frames one epoch after
%   another (nPoints = pnts * trials frames), the way both the .fdt and
%   EEG.data hold them, with one event of type 'epoch' at the first frame
%   of each epoch. Epoch k is frames (k-1)*pnts+1 .. k*pnts, and its
%   time-locking event lies at frame (k-1)*pnts + 1 - xmin*fs. A filter
%   run over several epochs carries its state from one into the next.
%
%   events
%   A 1 x n struct array: the dataset's events (EEG.event) in the order of
%   the file, and for an epoched dataset one 'epoch' event per epoch, all
%   ordered by position (an epoch's event before the dataset's events at
%   the same frame). A 0 x 0 struct with these fields when there are none.
%     type           The event's type as text; a numeric type as its
%                    number in text (sprintf('%.15g')).
%     value          A numeric type's number; NaN for a text type. For an
%                    'epoch' event, the epoch's number.
%     latency        EEG.event(k).latency as written: the frame from 1 over
%                    the whole dataset (epochs one after another), possibly
%                    fractional.
%     position       The data point nearest the latency, counted from 1
%                    (halves up): floor(latency + 0.5). A position counts
%                    frames as eegmex_vmrk's and eegmex_edf's do, so the
%                    row of eegfetch's output it falls in is
%                    ceil(position / (HDR.fs / OPT.fs)).
%     onset          Seconds after the first frame: (latency - 1) / fs.
%     duration       Seconds: EEG.event(k).duration (frames) / fs; 0 when
%                    the event has none or it is empty.
%     discontinuity  true for a 'boundary' event (a numeric type -99 in a
%                    dataset of numeric types, and the 'epoch' event of
%                    every epoch after the first): the data before and
%                    after it do not join, as a stretch was cut out (its
%                    length in duration) or another epoch starts. A
%                    boundary's latency lies between two frames (k + 0.5):
%                    its position is the first frame after the break. A
%                    filter carries its state across it; read the
%                    stretches apart (OPT.dataPos, or HDR.nPoints) where
%                    that matters.
%     epoch          The epoch the event lies in: ceil(position / pnts),
%                    kept within 1 .. trials (1 for a continuous dataset).
%
%   Not read: MAT v7.3 files in Octave. Octave's load reads MATLAB's
%   HDF5 layout only in part (text comes as numbers, struct arrays such
%   as chanlocs and event are dropped), so eegmex_set refuses them there;
%   save the dataset as MAT v7, or read it in MATLAB or with
%   eegmex.read_set in Python (through h5py). Also refused: a .set that
%   holds several datasets, data in the old .dat layout (channel after
%   channel), complex data.
%
%   Errors
%   Every error names the file and what is wrong with it, as
%   "eegmex_set: <file>: <problem>", with one of these identifiers:
%   eegmex_set:usage (no file name given as text); eegmex_set:file (the
%   .set cannot be opened, or the data file it names is missing);
%   eegmex_set:damaged (not a MAT file that load reads; neither a
%   variable EEG nor its fields; a missing field among nbchan, pnts,
%   trials, srate, data; nbchan, pnts or trials not a whole number from
%   1; srate not a positive number; EEG.data neither a file name nor a
%   real matrix, or a matrix whose size is not nbchan x pnts x trials; an
%   .fdt file shorter than nbchan x pnts x trials x 4 bytes; chanlocs with
%   another number of entries than nbchan; an event whose latency is not
%   a finite number, or whose type is neither text nor a number);
%   eegmex_set:unsupported (MAT v7.3 in Octave, a rate that is not a
%   whole number of Hz, several datasets in EEG, a .dat data file).
%   The events are read, and checked, only when they are asked for. When
%   EEG.data names a file that is missing but an .fdt of the .set's own
%   name lies beside it (a renamed dataset), that file is read, with the
%   warning eegmex_set:renamed.
%
%   Examples
%     % every channel at 250 Hz, and the row of each 'stim' event
%     [HDR, events] = eegmex_set('rec.set');
%     factor = HDR.fs / 250;
%     OPT = struct('chanidx', 1:HDR.nChans, 'fs', 250, 'filt_subsample', ones(1, factor) / factor);
%     X = eegfetch(HDR.dataFile, HDR, OPT);
%     stim = events(strcmp({events.type}, 'stim'));
%     rows = ceil([stim.position] / factor);
%
%     % where the recording was cut
%     cuts = [events([events.discontinuity]).position];
%
%   See also EEGFETCH, EEGMEX_EDF, EEGMEX_VHDR.  eegmex @EEGMEX_VERSION@, MIT license.

  if nargin ~= 1 || ~ischar(file) || isempty(file) || size(file, 1) ~= 1
    error('eegmex_set:usage', 'eegmex_set: give the file name as text: [HDR, events] = eegmex_set(file)');
  end
  path = absolute(file);
  fid = -1;
  if ~exist(path, 'dir')
    fid = fopen(path, 'r');
  end
  if fid < 0
    error('eegmex_set:file', 'eegmex_set: %s: cannot be opened', path);
  end
  head = fread(fid, [1 20], 'uint8=>char');
  fclose(fid);
  if strncmp(head, 'MATLAB 7.3 MAT-file', 19) && exist('OCTAVE_VERSION', 'builtin')
    error('eegmex_set:unsupported', ['eegmex_set: %s: a MAT v7.3 (HDF5) file, which Octave''s load reads only ' ...
          'in part (text as numbers, no struct arrays): save the dataset as MAT v7, or read it in MATLAB or ' ...
          'with eegmex.read_set in Python'], path);
  end
  try
    S = load(path, '-mat');
  catch err
    error('eegmex_set:damaged', 'eegmex_set: %s: not a MAT file that load reads (%s)', path, err.message);
  end

  % The two layouts: a variable EEG, or its fields as variables.
  if isfield(S, 'EEG') && isstruct(S.EEG)
    EEG = S.EEG;
    if numel(EEG) ~= 1
      error('eegmex_set:unsupported', 'eegmex_set: %s: EEG holds %d datasets; one is read at a time', ...
            path, numel(EEG));
    end
  elseif isfield(S, 'nbchan') || isfield(S, 'data')
    EEG = S;
  else
    error('eegmex_set:damaged', ['eegmex_set: %s: holds neither a variable EEG nor the fields of one (nbchan, ' ...
          'pnts, trials, srate, data): not an EEGLAB dataset'], path);
  end
  for name = {'nbchan', 'pnts', 'trials', 'srate', 'data'}
    if ~isfield(EEG, name{1})
      error('eegmex_set:damaged', 'eegmex_set: %s: EEG.%s is missing', path, name{1});
    end
  end
  nbchan = whole(EEG.nbchan, 'nbchan', path);
  pnts = whole(EEG.pnts, 'pnts', path);
  trials = whole(EEG.trials, 'trials', path);
  fs = EEG.srate;
  if ~isnumeric(fs) || ~isreal(fs) || ~isscalar(fs) || ~(fs > 0) || ~isfinite(fs)
    error('eegmex_set:damaged', 'eegmex_set: %s: EEG.srate is %s, not a positive number of Hz', path, shown(fs));
  end
  fs = double(fs);
  if fs ~= fix(fs)
    error('eegmex_set:unsupported', ['eegmex_set: %s: EEG.srate is %s Hz, not a whole number of Hz, which ' ...
          'eegfetch needs'], path, shown(fs));
  end
  frames = pnts * trials;
  xmin = 0;
  if isfield(EEG, 'xmin') && isnumeric(EEG.xmin) && isscalar(EEG.xmin) && isreal(EEG.xmin)
    xmin = double(EEG.xmin);
  end

  % The samples: an .fdt file, or the matrix itself.
  D = EEG.data;
  if isempty(D) && isfield(EEG, 'datfile') && ischar(EEG.datfile) && ~isempty(EEG.datfile)
    D = EEG.datfile;
  end
  data = [];
  if ischar(D) && size(D, 1) == 1
    dataFile = data_file(path, D);
    d = dir(dataFile);
    need = nbchan * frames * 4;
    if d.bytes < need
      error('eegmex_set:damaged', ['eegmex_set: %s: %s holds %.0f bytes, fewer than nbchan x pnts x trials x 4 = ' ...
            '%d x %d x %d x 4 = %.0f: the data file is cut short'], path, dataFile, d.bytes, nbchan, pnts, trials, need);
    end
  elseif (isnumeric(D) || islogical(D)) && isreal(D) && ~issparse(D) && ~ischar(D)
    if size(D, 1) ~= nbchan || numel(D) ~= nbchan * frames
      error('eegmex_set:damaged', 'eegmex_set: %s: EEG.data is %s, not nbchan x pnts x trials = %d x %d x %d', ...
            path, sized(D), nbchan, pnts, trials);
    end
    dataFile = '';
    data = reshape(D, nbchan, frames);
  else
    error('eegmex_set:damaged', 'eegmex_set: %s: EEG.data is %s, neither a file name nor a real matrix', ...
          path, sized(D));
  end

  [label, unit, type, position] = channels(EEG, nbchan, path);
  HDR = struct('fs', fs, 'nChans', nbchan, 'BinaryFormat', 3, 'scale', ones(1, nbchan), 'endian', 'l', ...
               'dataFile', dataFile, 'nPoints', frames, 'label', {label}, 'unit', {unit}, 'type', {type}, ...
               'position', position, 'trials', trials, 'pnts', pnts, 'xmin', xmin, 'data', data);
  if nargout > 1
    events = dataset_events(EEG, fs, pnts, trials, path);
  end
end

% A path from the current folder, as it is when it is one already.
function p = absolute(p)
  if ~(any(p(1) == '/\') || (numel(p) > 1 && p(2) == ':'))
    p = fullfile(pwd, p);
  end
end

function v = whole(v, name, path)
  if ~isnumeric(v) || ~isreal(v) || ~isscalar(v) || ~(v >= 1) || ~isfinite(v) || v ~= fix(v)
    error('eegmex_set:damaged', 'eegmex_set: %s: EEG.%s is %s, not a whole number from 1', path, name, shown(v));
  end
  v = double(v);
end

% A value in a message: a number as it is, anything else by its size and class.
function s = shown(v)
  if isnumeric(v) && isscalar(v) && isreal(v)
    s = sprintf('%.15g', v);
  else
    s = sized(v);
  end
end

function s = sized(v)
  dims = arrayfun(@(d) sprintf('%d', d), size(v), 'UniformOutput', false);
  s = sprintf('a %s %s', strjoin(dims, ' x '), class(v));
end

% The data file that EEG.data names: beside the .set (the name as written, or its last part when
% a folder of another machine comes with it), else the .fdt of the .set's own name.
function f = data_file(setPath, name)
  [folder, base] = fileparts(setPath);
  [~, ~, ext] = fileparts(name);
  if strcmpi(ext, '.dat')
    error('eegmex_set:unsupported', ['eegmex_set: %s: EEG.data names %s, a .dat file of the old layout ' ...
          '(channel after channel); only .fdt files (frames of float32) are read: save the dataset again'], ...
          setPath, name);
  end
  parts = regexp(name, '[/\\]', 'split');
  tries = {fullfile(folder, name), fullfile(folder, parts{end})};
  if any(name(1) == '/\') || (numel(name) > 1 && name(2) == ':')
    tries = [{name}, tries];
  end
  for k = 1:numel(tries)
    if exist(tries{k}, 'file') == 2
      f = tries{k};
      return;
    end
  end
  f = fullfile(folder, [base '.fdt']);
  if exist(f, 'file') ~= 2
    also = '';
    if ~strcmp(f, tries{end})
      also = sprintf(' (and so is %s)', f);
    end
    error('eegmex_set:file', 'eegmex_set: %s: the data file %s is missing%s', setPath, tries{end}, also);
  end
  warning('eegmex_set:renamed', 'eegmex_set: %s: EEG.data names %s, which is missing; %s is read instead', ...
          setPath, name, f);
end

function [label, unit, type, position] = channels(EEG, n, path)
  label = arrayfun(@(k) sprintf('%d', k), 1:n, 'UniformOutput', false);
  unit = repmat({'µV'}, 1, n);
  type = repmat({''}, 1, n);
  position = NaN(n, 3);
  if ~isfield(EEG, 'chanlocs') || isempty(EEG.chanlocs) || ~isstruct(EEG.chanlocs)
    return;
  end
  C = EEG.chanlocs;
  if numel(C) ~= n
    error('eegmex_set:damaged', 'eegmex_set: %s: EEG.chanlocs has %d entries for %d channels', path, numel(C), n);
  end
  for k = 1:n
    t = text_field(C(k), 'labels');
    if ~isempty(t)
      label{k} = t;
    end
    t = text_field(C(k), 'unit');
    if ~isempty(t)
      unit{k} = t;
    end
    type{k} = text_field(C(k), 'type');
    axes = {'X', 'Y', 'Z'};
    for a = 1:3
      if isfield(C, axes{a})
        v = C(k).(axes{a});
        if isnumeric(v) && isscalar(v) && isreal(v)
          position(k, a) = double(v);
        end
      end
    end
  end
end

% The values of field `name` of the struct array E as a 1 x n cell ([] each when E has no such
% field), which of them are real numeric scalars, and those as doubles (NaN for the others).
function [c, numbers, x] = scalars(E, name, n)
  if isfield(E, name)
    c = reshape({E.(name)}, 1, n);
  else
    c = cell(1, n);
  end
  numbers = cellfun('isnumeric', c) & cellfun('prodofsize', c) == 1 & cellfun('isreal', c);
  x = NaN(1, n);
  if all(cellfun('isclass', c(numbers), 'double'))
    x(numbers) = [c{numbers}];
  else   % [c{:}] of mixed classes would take the narrowest one
    x(numbers) = cellfun(@double, c(numbers));
  end
end

% A text field of a struct as a row of text: a number as its digits, '' when missing or empty.
function t = text_field(s, name)
  t = '';
  if ~isfield(s, name)
    return;
  end
  v = s.(name);
  if ischar(v) && ~isempty(v)
    t = reshape(v.', 1, []);
  elseif isnumeric(v) && isscalar(v) && isreal(v)
    t = sprintf('%.15g', v);
  end
end

function events = dataset_events(EEG, fs, pnts, trials, path)
  E = [];
  if isfield(EEG, 'event') && isstruct(EEG.event)
    E = EEG.event;
  end
  n = numel(E);
  if n > 0 && ~isfield(E, 'latency')
    error('eegmex_set:damaged', 'eegmex_set: %s: EEG.event has no field latency', path);
  end
  % A column at a time (a loop over 10,000 events would take seconds): a field's values as a cell,
  % which of them are real numeric scalars, and those as doubles.
  [c, numbers, latency] = scalars(E, 'latency', n);
  bad = find(~numbers | ~isfinite(latency), 1);
  if ~isempty(bad)
    error('eegmex_set:damaged', 'eegmex_set: %s: EEG.event(%d).latency is %s, not a finite number', ...
          path, bad, shown(c{bad}));
  end
  [~, numbers, duration] = scalars(E, 'duration', n);
  duration(~numbers) = 0;
  [c, numbers, value] = scalars(E, 'type', n);
  types = repmat({''}, 1, n);
  texts = cellfun('isclass', c, 'char');
  types(texts) = c(texts);
  rows = find(texts & cellfun('size', c, 1) > 1);
  for k = rows
    types{k} = reshape(c{k}.', 1, []);
  end
  if any(numbers)
    t = regexp(sprintf('%.15g\n', value(numbers)), '\n', 'split');
    types(numbers) = t(1:end - 1);
  end
  bad = find(~texts & ~numbers & ~cellfun('isempty', c), 1);
  if ~isempty(bad)
    error('eegmex_set:damaged', 'eegmex_set: %s: EEG.event(%d).type is %s, neither text nor a number', ...
          path, bad, sized(c{bad}));
  end
  cut = strcmpi(types, 'boundary') | value == -99;
  % One event per epoch, at its first frame, before the dataset's events there.
  m = 0;
  if trials > 1
    m = trials;
  end
  first = (0:m - 1) * pnts + 1;
  latency = [first, latency];
  position = floor(latency + 0.5);
  [~, order] = sortrows([position; [zeros(1, m), ones(1, n)]; 1:m + n].');
  types = [repmat({'epoch'}, 1, m), types];
  value = [1:m, value];
  duration = [repmat(pnts, 1, m), duration] / fs;
  cut = [(1:m) > 1, cut];
  epoch = min(max(ceil(position / pnts), 1), trials);
  onset = (latency - 1) / fs;
  if m + n == 0
    events = struct('type', {}, 'value', {}, 'latency', {}, 'position', {}, 'onset', {}, 'duration', {}, ...
                    'discontinuity', {}, 'epoch', {});
    return;
  end
  o = order.';
  events = struct('type', types(o), 'value', num2cell(value(o)), 'latency', num2cell(latency(o)), ...
                  'position', num2cell(position(o)), 'onset', num2cell(onset(o)), ...
                  'duration', num2cell(duration(o)), 'discontinuity', num2cell(cut(o)), ...
                  'epoch', num2cell(epoch(o)));
end
