function [HDR, events] = eegmex_edf(file)
%EEGMEX_EDF  Read an EDF, EDF+, BDF or BDF+ header and its events into an HDR.
%
%   [HDR, events] = eegmex_edf(file)
%
%   Reads the header of an EDF or BDF recording (plain, or EDF+ / BDF+
%   continuous) and returns an HDR struct in the form eegfetch takes,
%   with each channel's name, unit, transducer, prefiltering and the
%   start time; and the recording's events: the EDF+ / BDF+ annotations
%   and, in a BDF file, the changes of the Status channel's low 16 bits.
%
%   eegfetch takes HDR as it is: EDF and BDF store the samples in data
%   records after the header (recordSamples(1) samples of channel 1, then
%   recordSamples(2) of channel 2, ..., record after record), BDF samples
%   are 24-bit (BinaryFormat 4), and offset carries the physical offsets,
%   so that eegfetch returns each channel in its unit. It reads the
%   channels of one rate at a time:
%     X = eegfetch(HDR.dataFile, HDR, struct('chanidx', HDR.fsChans, 'fs', HDR.fs));
%
%   HDR fields (the ones eegmex_vhdr gives, plus the record layout)
%     fs            The sampling rate in Hz of the data channels (all but
%                   the annotation channels) whose samples per record is
%                   the most common among them; on a tie, the larger
%                   count. See "Rate" below.
%     nChans        All signals of the file, annotation channels included.
%     BinaryFormat  1 for EDF (int16), 4 for BDF (24-bit integers).
%     scale         1 x nChans: (physical max - physical min) /
%                   (digital max - digital min), so that a sample in the
%                   channel's unit is digital * scale + offset.
%                   1 for an annotation channel.
%     offset        1 x nChans: physical min - digital min * scale; 0 for
%                   an annotation channel.
%     endian        'l' (EDF and BDF are little-endian).
%     label         1 x nChans cell: the channel names, without the spaces
%                   that pad them.
%     unit          1 x nChans cell: each channel's physical dimension
%                   as written ('uV', 'mV', ...).
%     dataFile      The full path of the file (header and data are one file).
%     nPoints       The samples of a channel at fs in the whole records
%                   the file holds now: records * samples per record.
%     dataOffset    Header bytes before the first record: 256 * (nChans + 1).
%     recordSamples 1 x nChans: each channel's samples per data record.
%     channelFs     1 x nChans: each channel's rate in Hz,
%                   fs * recordSamples / recordSamples at fs.
%     fsChans       The channels (numbers) at fs: the data channels whose
%                   recordSamples is that of fs. In a BDF file the Status
%                   channel is among them when it has their rate.
%     annotation    1 x nChans logical: the "EDF Annotations" or
%                   "BDF Annotations" channels (no samples, text).
%     transducer, prefilter   1 x nChans cells, as written.
%     physicalMin, physicalMax, digitalMin, digitalMax   1 x nChans.
%     startTime     [year month day hour minute second]: the header's
%                   start date and time, plus the fraction of a second the
%                   first record starts after it (EDF+). Years 85-99 are
%                   1985-1999, 00-84 are 2000-2084; an EDF+ recording field
%                   "Startdate dd-MMM-yyyy" gives the full year.
%     patient, recording   The identification fields, without padding.
%     format        'EDF', 'EDF+C', 'BDF' or 'BDF+C'.
%     nRecords      The whole data records in the file now.
%     recordDuration  Seconds per record: recordSamples at fs / fs.
%
%   Rate
%   A record's duration is written in 8 characters, so it can be rounded:
%   one sample per record at 256 Hz is 0.00390625 s, written ".0039063".
%   When the duration fills all 8 characters, it stands for every duration
%   within half a unit of its last digit, and fs is the simplest rate r
%   whose duration samples / r lies there: the smallest denominator (a
%   whole number when one fits); among those, the one with the largest
%   factor 2^a * 5^b (rates are round in binary or decimal: 256, 2048,
%   16384, 1000, 30000); then the nearest to samples / duration. So
%   ".0039063" with one sample per record gives 256, not 255.9967, and
%   OPT.fs = 64 divides it. A duration of fewer than 8 characters is taken
%   as exact. A rate that is not a whole number of Hz is refused, as
%   eegfetch works with whole rates.
%
%   Records: the file gives the whole records it holds now. A header that
%   says -1 records (a recording still being written) or fewer records
%   than the file holds gives all of them; a file with fewer whole records
%   than its header says gives those, with the warning eegmex_edf:truncated.
%   A partly written last record is left out.
%
%   events
%   A 1 x n struct array, in the order of onset (a 0 x 0 struct with the
%   same fields when there are none):
%     type      'annotation' or 'status'.
%     onset     Seconds after the first sample. EDF+ onsets are counted
%               from the time the first record's time-keeping annotation
%               gives, so the first sample is at 0.
%     duration  Seconds; 0 for an annotation that gives none. For a
%               status event, how long the value lasted.
%     text      The annotation's text (UTF-8, or Latin-1 when it is not
%               valid UTF-8); for a status event, its value in decimal.
%               A time-stamped list of several texts gives one event each.
%     value     The status value (low 16 bits); NaN for an annotation.
%     position  The data point at fs nearest the onset, counted from 1:
%               round(onset * fs) + 1.
%   The time-keeping annotations (the empty first annotation of each
%   record) are not events. Status events (BDF, a channel labelled
%   Status): each sample where the low 16 bits change to a value other
%   than 0 (the first sample, when it is not 0) starts an event; it lasts
%   until the next change. The upper 8 bits (the amplifier's own status)
%   are left out.
%
%   Errors
%   Every error names the file and the field, as "eegmex_edf: <file>:
%   <field> ...". Damaged headers (eegmex_edf:damaged): a first byte that
%   is neither EDF's "0" nor BDF's 255, a file shorter than its header, a
%   number field that is not a number (or not a whole one where counts
%   are; a physical minimum or maximum may have a decimal comma), a number of signals below 1, a header size other than
%   256 * (signals + 1), a record duration of 0 or less, fewer than one
%   sample per record, a digital minimum not below the digital maximum or
%   outside the sample format (-32768..32767, -8388608..8388607), equal
%   physical minimum and maximum, a start date or time that is not
%   dd.mm.yy / hh.mm.ss. Unsupported recordings (eegmex_edf:unsupported):
%   EDF+D and BDF+D (discontinuous: records with gaps between them), a
%   file with only annotation channels, a rate that is not a whole number
%   of Hz. eegmex_edf:file: the file cannot be opened.
%
%   Example
%     [HDR, events] = eegmex_edf('rec.bdf');
%     HDR.label(HDR.fsChans)         % the channels at HDR.fs
%     stim = events(strcmp({events.type}, 'status') & [events.value] == 1);
%     t = [stim.onset];              % seconds after the first sample
%
%   See also EEGFETCH, EEGMEX_VHDR.  eegmex @EEGMEX_VERSION@, MIT license.

  if nargin ~= 1 || ~ischar(file) || isempty(file) || size(file, 1) ~= 1
    error('eegmex_edf:usage', 'eegmex_edf: give the file name as text: [HDR, events] = eegmex_edf(file)');
  end
  file = absolute_path(file);
  fid = -1;
  if exist(file, 'file') == 2
    fid = fopen(file, 'r', 'ieee-le');
  end
  if fid < 0
    fail(file, 'file', 'cannot open the file');
  end
  closer = onCleanup(@() fclose(fid));
  fseek(fid, 0, 'eof');
  fileBytes = ftell(fid);
  fseek(fid, 0, 'bof');

  head = fread(fid, 256, '*uint8')';
  if numel(head) < 256
    fail(file, 'damaged', 'the file is %d bytes, shorter than the 256-byte fixed header', numel(head));
  end
  if head(1) == 255
    isBdf = true;
    bps = 3;
    digRange = [-8388608 8388607];
  elseif strcmp(strtrim(char(head(1:8))), '0')
    isBdf = false;
    bps = 2;
    digRange = [-32768 32767];
  else
    fail(file, 'damaged', 'version (bytes 1-8) is "%s", neither EDF''s "0" nor a BDF first byte 255', ...
         printable(head(1:8)));
  end
  field = @(a, b) latin1(head(a:b));
  patient = strtrim(field(9, 88));
  recording = strtrim(field(89, 168));
  reserved = strtrim(field(193, 236));
  plus = regexp(reserved, '^[EB]DF\+([CD])', 'tokens', 'once');
  fmt = 'EDF';
  if isBdf
    fmt = 'BDF';
  end
  if ~isempty(plus)
    if plus{1} == 'D'
      fail(file, 'unsupported', ['reserved (bytes 193-236) says "%s": discontinuous recordings (%s+D, records with ' ...
                                 'gaps between them) are not supported, only continuous ones'], reserved(1:5), fmt);
    end
    fmt = [fmt '+C'];
  end
  nRecordsHeader = whole(file, field(237, 244), 'number of data records (bytes 237-244)');
  if nRecordsHeader < -1
    fail(file, 'damaged', 'number of data records (bytes 237-244) is %d, neither -1 (unknown) nor a count', nRecordsHeader);
  end
  durationText = strtrim(field(245, 252));
  duration = number(durationText);
  if ~(duration > 0)
    fail(file, 'damaged', 'duration of a data record (bytes 245-252) "%s" is not a positive number of seconds', ...
         durationText);
  end
  ns = whole(file, field(253, 256), 'number of signals (bytes 253-256)');
  if ns < 1
    fail(file, 'damaged', 'number of signals (bytes 253-256) is %d, not 1 or more', ns);
  end
  headerBytes = whole(file, field(185, 192), 'number of bytes in header (bytes 185-192)');
  if headerBytes ~= 256 * (ns + 1)
    fail(file, 'damaged', 'number of bytes in header (bytes 185-192) is %d, but %d signals make %d', ...
         headerBytes, ns, 256 * (ns + 1));
  end
  if fileBytes < headerBytes
    fail(file, 'damaged', 'the file is %d bytes, shorter than its %d-byte header (%d signals)', fileBytes, ...
         headerBytes, ns);
  end

  % The signal headers: each field for all signals, then the next field.
  block = fread(fid, 256 * ns, '*uint8')';
  widths = [16 80 8 8 8 8 8 80 8 32];
  ends = cumsum(widths * ns);
  starts = [1, ends(1:end - 1) + 1];
  texts = cell(1, numel(widths));
  for f = 1:numel(widths)
    rows = reshape(block(starts(f):ends(f)), widths(f), ns)';
    texts{f} = arrayfun(@(k) strtrim(latin1(rows(k, :))), 1:ns, 'UniformOutput', false);
  end
  label = texts{1};
  annotation = strcmp(label, 'EDF Annotations') | strcmp(label, 'BDF Annotations');
  % An annotation channel's ranges are not used, so they are not checked.
  physicalMin = signal_numbers(file, texts{4}, label, 'physical minimum', false, ~annotation);
  physicalMax = signal_numbers(file, texts{5}, label, 'physical maximum', false, ~annotation);
  digitalMin = signal_numbers(file, texts{6}, label, 'digital minimum', true, ~annotation);
  digitalMax = signal_numbers(file, texts{7}, label, 'digital maximum', true, ~annotation);
  recordSamples = signal_numbers(file, texts{9}, label, 'number of samples in each data record', true, true(1, ns));
  for k = 1:ns
    if recordSamples(k) < 1
      fail(file, 'damaged', 'signal %d (%s): number of samples in each data record is %d, not 1 or more', k, ...
           label{k}, recordSamples(k));
    end
    if annotation(k)
      continue;
    end
    if ~(digitalMin(k) < digitalMax(k)) || digitalMin(k) < digRange(1) || digitalMax(k) > digRange(2)
      fail(file, 'damaged', ['signal %d (%s): digital minimum %d and maximum %d are not an increasing range ' ...
                             'within %d..%d'], k, label{k}, digitalMin(k), digitalMax(k), digRange);
    end
    if ~isfinite(physicalMin(k)) || ~isfinite(physicalMax(k)) || physicalMin(k) == physicalMax(k)
      fail(file, 'damaged', 'signal %d (%s): physical minimum %s and maximum %s are not a range', k, label{k}, ...
           texts{4}{k}, texts{5}{k});
    end
  end
  data = find(~annotation);
  if isempty(data)
    fail(file, 'unsupported', 'label: all %d signals are annotation channels; there are no samples to read', ns);
  end

  % The rate: the most common samples per record among the data channels (the larger on a tie).
  counts = unique(recordSamples(data));
  votes = arrayfun(@(c) sum(recordSamples(data) == c), counts);
  n = max(counts(votes == max(votes)));
  fs = record_rate(n, durationText, duration);
  if abs(fs - round(fs)) > 1e-9 * fs
    fail(file, 'unsupported', ['duration of a data record (bytes 245-252) "%s" with %d samples per record is ' ...
                               '%.9g Hz, not a whole number of Hz as eegfetch needs'], durationText, n, fs);
  end
  fs = round(fs);

  startTime = start_time(file, field(169, 176), field(177, 184), recording, ~isempty(plus));

  recordBytes = sum(recordSamples) * bps;
  nRecords = floor((fileBytes - headerBytes) / recordBytes);
  if nRecordsHeader >= 0 && nRecords < nRecordsHeader
    warning('eegmex_edf:truncated', ...
            'eegmex_edf: %s: number of data records (bytes 237-244) says %d, but the file holds %d whole records; reading those', ...
            file, nRecordsHeader, nRecords);
  end

  scale = ones(1, ns);
  offset = zeros(1, ns);
  scale(data) = (physicalMax(data) - physicalMin(data)) ./ (digitalMax(data) - digitalMin(data));
  offset(data) = physicalMin(data) - digitalMin(data) .* scale(data);
  channelFs = fs * recordSamples / n;

  % Events: the annotation channels' time-stamped lists, then the status channel.
  events = struct('type', {}, 'onset', {}, 'duration', {}, 'text', {}, 'value', {}, 'position', {});
  firstOnset = 0;
  if any(annotation) && nRecords > 0
    [events, firstOnset] = annotations(fid, file, find(annotation), recordSamples, bps, headerBytes, nRecords);
  end
  startTime(6) = startTime(6) + firstOnset;
  status = find(~annotation & strcmpi(label, 'Status'), 1);
  if isBdf && ~isempty(status) && nRecords > 0
    events = [events, status_events(fid, status, recordSamples, headerBytes, nRecords, channelFs(status))];
  end
  if ~isempty(events)
    [~, order] = sort([events.onset]);
    events = events(order);
    for k = 1:numel(events)
      events(k).position = round(events(k).onset * fs) + 1;
    end
  end

  HDR = struct('fs', fs, 'nChans', ns, 'BinaryFormat', 1 + 3 * isBdf, 'scale', scale, 'offset', offset, ...
               'endian', 'l', 'label', {label}, 'unit', {texts{3}}, 'dataFile', file, 'nPoints', nRecords * n, ...
               'dataOffset', headerBytes, 'recordSamples', recordSamples, 'channelFs', channelFs, ...
               'fsChans', data(recordSamples(data) == n), 'annotation', annotation, ...
               'transducer', {texts{2}}, 'prefilter', {texts{8}}, 'physicalMin', physicalMin, ...
               'physicalMax', physicalMax, 'digitalMin', digitalMin, 'digitalMax', digitalMax, ...
               'startTime', startTime, 'patient', patient, 'recording', recording, 'format', fmt, ...
               'nRecords', nRecords, 'recordDuration', n / fs);
end

% The rate of n samples per record of a duration written as text (value d). A duration that fills
% the 8 characters may have been rounded: every rate whose duration n / r rounds to it is a
% candidate, and the simplest wins (see the help).
function r = record_rate(n, text, d)
  r = n / d;
  if numel(text) < 8
    return;
  end
  mantissa = regexprep(text, '[eE].*$', '');
  e = 0;
  if numel(mantissa) < numel(text)
    e = str2double(text(numel(mantissa) + 2:end));
  end
  dot = find(mantissa == '.', 1);
  decimals = 0;
  if ~isempty(dot)
    decimals = numel(mantissa) - dot;
  end
  half = 0.5 * 10 ^ (e - decimals);
  lo = n / (d + half) * (1 - 1e-12);
  hi = n / max(d - half, d * 1e-3) * (1 + 1e-12);
  q = (1:1000)';
  pLo = ceil(lo * q);
  pHi = floor(hi * q);
  k = find(pLo <= pHi, 1);
  if isempty(k) || pHi(k) - pLo(k) > 1e6
    return;
  end
  p = pLo(k):pHi(k);
  round25 = ones(size(p));
  for f = [2 5]
    rest = p ./ round25;
    while true
      more = mod(rest, f) == 0;
      if ~any(more)
        break;
      end
      round25(more) = round25(more) * f;
      rest(more) = rest(more) / f;
    end
  end
  best = find(round25 == max(round25));
  [~, i] = min(abs(p(best) / q(k) - n / d));
  r = p(best(i)) / q(k);
end

% The annotations of the annotation channels in every record: TALs "+onset[\x15duration]\x14text
% \x14...\x14\x00". The first TAL of the first record keeps the time of the first sample; onsets
% are returned relative to it.
function [events, firstOnset] = annotations(fid, file, chans, recordSamples, bps, headerBytes, nRecords)
  recordBytes = sum(recordSamples) * bps;
  bytes = zeros(0, 1, 'uint8');
  firstRecord = [];
  for c = chans
    count = recordSamples(c) * bps;
    fseek(fid, headerBytes + sum(recordSamples(1:c - 1)) * bps, 'bof');
    b = fread(fid, count * nRecords, sprintf('%d*uint8=>uint8', count), recordBytes - count);
    if isempty(firstRecord)
      firstRecord = b(1:count)';
    end
    bytes = [bytes; b]; %#ok<AGROW>
  end
  bytes = bytes';
  pattern = '[+-]\d+\.?\d*(\x15\d+\.?\d*)?\x14[^\x00]*?\x14\x00';
  firstOnset = 0;
  [s, e] = regexp(ascii_copy(firstRecord), pattern, 'start', 'end', 'once');
  if ~isempty(s)
    keeper = split_tal(firstRecord(s:e));
    if isempty(keeper.texts{1})
      firstOnset = keeper.onset;
    end
  end
  [s, e] = regexp(ascii_copy(bytes), pattern, 'start', 'end');
  events = struct('type', {}, 'onset', {}, 'duration', {}, 'text', {}, 'value', {}, 'position', {});
  for k = 1:numel(s)
    t = split_tal(bytes(s(k):e(k)));
    for j = 1:numel(t.texts)
      if isempty(t.texts{j})
        continue;  % the time-keeping annotation of a record
      end
      events(end + 1) = struct('type', 'annotation', 'onset', t.onset - firstOnset, 'duration', t.duration, ...
                               'text', decode(t.texts{j}), 'value', NaN, 'position', 0); %#ok<AGROW>
    end
  end
end

% One TAL's bytes, "+onset[\x15duration]\x14text\x14...\x14\x00", as onset, duration (0 when
% not given) and the texts as bytes.
function t = split_tal(b)
  cuts = find(b == 20);
  head = b(1:cuts(1) - 1);
  mark = find(head == 21, 1);
  t.duration = 0;
  if ~isempty(mark)
    t.duration = str2double(char(head(mark + 1:end)));
    head = head(1:mark - 1);
  end
  t.onset = str2double(char(head));
  t.texts = arrayfun(@(j) b(cuts(j) + 1:cuts(j + 1) - 1), 1:numel(cuts) - 1, 'UniformOutput', false);
end

% Events of a BDF Status channel: a change of the low 16 bits to a value other than 0 starts an
% event that lasts until the next change.
function events = status_events(fid, c, recordSamples, headerBytes, nRecords, rate)
  recordBytes = sum(recordSamples) * 3;
  count = recordSamples(c) * 3;
  fseek(fid, headerBytes + sum(recordSamples(1:c - 1)) * 3, 'bof');
  b = fread(fid, count * nRecords, sprintf('%d*uint8=>uint8', count), recordBytes - count);
  b = reshape(double(b), 3, []);
  v = b(1, :) + 256 * b(2, :);
  changes = find(v ~= [0, v(1:end - 1)]);
  bounds = [changes, numel(v) + 1];
  on = find(v(changes) ~= 0);
  s = changes(on);
  events = struct('type', 'status', 'onset', num2cell((s - 1) / rate), ...
                  'duration', num2cell((bounds(on + 1) - s) / rate), ...
                  'text', arrayfun(@(x) sprintf('%d', x), v(s), 'UniformOutput', false), ...
                  'value', num2cell(v(s)), 'position', 0);
  events = reshape(events, 1, []);
end

% Text of annotation bytes: UTF-8 when it is valid UTF-8, else Latin-1.
function t = decode(bytes)
  if all(bytes < 128)
    t = char(bytes);
    return;
  end
  t = native2unicode(bytes, 'UTF-8');
  if ~isequal(unicode2native(t, 'UTF-8'), bytes)
    t = latin1(bytes);
  end
end

% The bytes as characters, one per byte, with bytes past ASCII as 'x', for the pattern matching.
function s = ascii_copy(bytes)
  bytes(bytes > 127) = 'x';
  s = char(bytes);
end

function t = latin1(bytes)
  if all(bytes < 128)
    t = char(bytes);
  else
    t = native2unicode(bytes, 'ISO-8859-1');
  end
end

% Start date and time; the year from an EDF+ recording field "Startdate dd-MMM-yyyy" when there is one.
function t = start_time(file, dateText, timeText, recording, isPlus)
  d = regexp(dateText, '^(\d\d)\.(\d\d)\.(\d\d)$', 'tokens', 'once');
  if isempty(d)
    fail(file, 'damaged', 'startdate (bytes 169-176) "%s" is not dd.mm.yy', dateText);
  end
  h = regexp(timeText, '^(\d\d)\.(\d\d)\.(\d\d)$', 'tokens', 'once');
  if isempty(h)
    fail(file, 'damaged', 'starttime (bytes 177-184) "%s" is not hh.mm.ss', timeText);
  end
  d = reshape(str2double(d), 1, []);
  year = d(3) + 1900 + 100 * (d(3) < 85);
  full = regexp(recording, '^Startdate \d\d-[A-Za-z]{3}-(\d{4})( |$)', 'tokens', 'once');
  if isPlus && ~isempty(full)
    year = str2double(full{1});
  end
  t = [year, d(2), d(1), reshape(str2double(h), 1, [])];
end

% The numbers of one signal field, each checked; whole numbers where counts are wanted.
function x = signal_numbers(file, texts, label, name, isWhole, checked)
  if ~isWhole
    x = cellfun(@(t) number(strrep(t, ',', '.')), texts);  % a decimal comma, as some writers put it
  else
    x = cellfun(@number, texts);
  end
  for k = find(checked & (~isfinite(x) | (isWhole & x ~= round(x))))
    kind = 'a number';
    if isWhole
      kind = 'a whole number';
    end
    fail(file, 'damaged', 'signal %d (%s): %s "%s" is not %s', k, label{k}, name, texts{k}, kind);
  end
end

function x = whole(file, text, name)
  text = strtrim(text);
  if isempty(regexp(text, '^[+-]?\d+$', 'once'))
    fail(file, 'damaged', '%s "%s" is not a whole number', name, text);
  end
  x = str2double(text);
end

% A number in the C locale's notation, or NaN.
function x = number(text)
  text = strtrim(text);
  x = NaN;
  if ~isempty(regexp(text, '^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$', 'once'))
    x = str2double(text);
  end
end

function s = printable(bytes)
  s = '';
  for b = double(bytes)
    if b >= 32 && b < 127
      s(end + 1) = char(b); %#ok<AGROW>
    else
      s = [s sprintf('\\x%02X', b)]; %#ok<AGROW>
    end
  end
end

function p = absolute_path(name)
  if ~isempty(regexp(name, '^([\\/]|[A-Za-z]:[\\/])', 'once'))
    p = name;
  else
    p = fullfile(pwd, name);
  end
end

function fail(file, kind, fmt, varargin)
  error(['eegmex_edf:' kind], ['eegmex_edf: %s: ' fmt], file, varargin{:});
end
