function HDR = eegmex_vhdr(vhdrFile)
%EEGMEX_VHDR  Read a BrainVision header (.vhdr) into an HDR for eegfetch.
%
%   HDR = eegmex_vhdr(vhdrFile)
%
%   Reads the text header of a BrainVision recording (the .vhdr of the
%   .vhdr/.vmrk/.eeg triple) and returns an HDR struct that eegfetch
%   takes as it is, with the file names of the data and the markers:
%
%     HDR = eegmex_vhdr('rec.vhdr');
%     X = eegfetch(HDR.dataFile, HDR, struct('chanidx', 1:HDR.nChans, 'fs', HDR.fs));
%     M = eegmex_vmrk(HDR.markerFile);
%
%   X then holds every channel at the recorded rate, in the unit of each
%   channel (HDR.unit, usually microvolts), one row per data point.
%
%   HDR fields
%     fs            Sampling rate in Hz: 1e6 / SamplingInterval (the
%                   header gives the interval in microseconds).
%     nChans        NumberOfChannels.
%     BinaryFormat  1 for INT_16, 2 for INT_32, 3 for IEEE_FLOAT_32.
%     scale         1 x nChans: each channel's resolution (the value of
%                   one count in the channel's unit); an empty resolution
%                   is 1.
%     endian        'l', or 'b' when [Binary Infos] says
%                   UseBigEndianOrder=YES.
%     label         1 x nChans cell: channel names, "\1" turned back into
%                   the comma it stands for.
%     reference     1 x nChans cell: each channel's reference channel name
%                   (often empty).
%     unit          1 x nChans cell: each channel's unit; an empty or
%                   missing unit is 'µV', as the format defines.
%     dataFile      Full path of the data file (DataFile).
%     markerFile    Full path of the marker file (MarkerFile).
%   HDR has no nPoints, so eegfetch reads the data file to its current
%   end: a recording still being written is read as far as it goes.
%   DataFile and MarkerFile are taken relative to the folder of the header
%   unless they are absolute paths.
%
%   What is read
%     - Only binary data in MULTIPLEXED orientation (one sample of every
%       channel per frame, frames from byte 0), INT_16, INT_32 or
%       IEEE_FLOAT_32, in either byte order: what eegfetch reads.
%     - Both code pages of the format: Codepage=UTF-8 (the default) and
%       Codepage=ANSI (Windows-1252, the Latin-1 code page of Windows).
%       A header without a Codepage line that is not valid UTF-8 is read
%       as Latin-1, as older recorders wrote it. Names and units come out
%       as the characters they are ('µV' in both code pages).
%     - Keys are matched without regard to case; blank lines and comment
%       lines (starting with ';' or '#') are skipped, and so are the
%       sections not needed here ([Coordinates], ...). Everything after a
%       [Comment] line is free text and is not read.
%
%   Errors
%   Every error names the header file and what is wrong with it, as
%   "eegmex_vhdr: <file>: <problem>". Unsupported recordings (identifier
%   eegmex_vhdr:unsupported): VECTORIZED orientation, ASCII data, other
%   binary formats (UINT_16, ...), a DataType other than TIMEDOMAIN, a
%   sampling rate that is not a whole number of Hz (eegfetch works with
%   whole rates). Damaged headers (eegmex_vhdr:damaged): a first line that
%   is not a BrainVision header line, a missing section or key, a line
%   that is neither a comment nor key=value, a key given twice, a number
%   that is not one, a channel count that disagrees with the [Channel
%   Infos] entries (missing, extra or repeated Ch<n>), a channel entry
%   with fewer than three fields. Missing files (eegmex_vhdr:file): the
%   header itself or the data file it names. A header is never read
%   partly: either every field above is right or there is an error.
%
%   Examples
%     % every channel at 250 Hz through a low-pass, in microvolts
%     HDR = eegmex_vhdr('rec.vhdr');
%     factor = HDR.fs / 250;
%     [b, a] = butter(4, 100 / (HDR.fs / 2));   % signal package, or your own
%     OPT = struct('chanidx', 1:HDR.nChans, 'fs', 250, 'filt_b', b, ...
%                  'filt_a', a, 'filt_subsample', ones(1, factor) / factor);
%     X = eegfetch(HDR.dataFile, HDR, OPT);
%
%     % channels by name
%     OPT.chanidx = find(ismember(HDR.label, {'Cz', 'Pz'}));
%
%     % X in volts, when every channel has a voltage unit
%     perUnit = containers.Map({'V', 'mV', 'µV', 'uV', 'nV'}, {1, 1e-3, 1e-6, 1e-6, 1e-9});
%     HDR.scale = HDR.scale .* cellfun(@(u) perUnit(u), HDR.unit);
%
%   See also EEGMEX_VMRK, EEGFETCH.  eegmex @EEGMEX_VERSION@, MIT license.

  if nargin ~= 1 || ~ischar(vhdrFile) || isempty(vhdrFile) || size(vhdrFile, 1) ~= 1
    error('eegmex_vhdr:usage', 'eegmex_vhdr: give the header file name as text: HDR = eegmex_vhdr(vhdrFile)');
  end
  file = absolute_path(vhdrFile);
  lines = eegmex_text_lines(file, 'eegmex_vhdr');
  if isempty(regexp(lines{1}, 'Brain ?Vision.*Header File', 'once'))
    fail(file, 'damaged', 'the first line is not a BrainVision header line but "%s"', lines{1});
  end
  ini = read_sections(lines, file, {'common infos', 'binary infos', 'channel infos'});
  common = 'Common Infos';

  format = upper(value(ini, file, common, 'DataFormat'));
  if strcmp(format, 'ASCII')
    fail(file, 'unsupported', 'ASCII data (DataFormat=ASCII) is not supported, only BINARY');
  elseif ~strcmp(format, 'BINARY')
    fail(file, 'unsupported', 'DataFormat=%s is not supported, only BINARY', format);
  end
  orientation = upper(value(ini, file, common, 'DataOrientation'));
  if ~strcmp(orientation, 'MULTIPLEXED')
    fail(file, 'unsupported', 'DataOrientation=%s is not supported, only MULTIPLEXED', orientation);
  end
  type = value(ini, file, common, 'DataType', 'TIMEDOMAIN');
  if ~strcmpi(type, 'TIMEDOMAIN')
    fail(file, 'unsupported', 'DataType=%s is not supported, only TIMEDOMAIN', type);
  end

  binary = value(ini, file, 'Binary Infos', 'BinaryFormat');
  formats = {'INT_16', 'INT_32', 'IEEE_FLOAT_32'};
  code = find(strcmpi(binary, formats));
  if isempty(code)
    fail(file, 'unsupported', 'BinaryFormat=%s is not supported, only INT_16, INT_32 and IEEE_FLOAT_32', binary);
  end
  bigEndian = upper(value(ini, file, 'Binary Infos', 'UseBigEndianOrder', 'NO'));
  if strcmp(bigEndian, 'YES')
    endian = 'b';
  elseif strcmp(bigEndian, 'NO')
    endian = 'l';
  else
    fail(file, 'damaged', 'UseBigEndianOrder=%s is neither YES nor NO', bigEndian);
  end

  nText = value(ini, file, common, 'NumberOfChannels');
  if isempty(regexp(nText, '^\d+$', 'once')) || str2double(nText) < 1
    fail(file, 'damaged', 'NumberOfChannels=%s is not a channel count', nText);
  end
  nChans = str2double(nText);

  interval = value(ini, file, common, 'SamplingInterval');
  us = number(interval);
  if ~(us > 0)
    fail(file, 'damaged', 'SamplingInterval=%s is not a positive number of microseconds', interval);
  end
  fs = 1e6 / us;
  if abs(fs - round(fs)) > 1e-9 * fs || round(fs) < 1
    fail(file, 'unsupported', 'SamplingInterval=%s us is %.9g Hz, not a whole number of Hz as eegfetch needs', ...
         interval, fs);
  end
  fs = round(fs);

  [label, reference, scale, unit] = channels(ini, file, nChans);

  folder = fileparts(file);
  dataFile = beside(folder, value(ini, file, common, 'DataFile'));
  markerFile = beside(folder, value(ini, file, common, 'MarkerFile'));
  if exist(dataFile, 'file') ~= 2
    fail(file, 'file', 'the data file %s is missing', dataFile);
  end

  HDR = struct('fs', fs, 'nChans', nChans, 'BinaryFormat', code, 'scale', scale, 'endian', endian, ...
               'label', {label}, 'reference', {reference}, 'unit', {unit}, ...
               'dataFile', dataFile, 'markerFile', markerFile);
end

% [Channel Infos]: Ch<n>=<name>,<reference>,<resolution>[,<unit>[,...]] for n = 1..nChans,
% each exactly once and no other key.
function [label, reference, scale, unit] = channels(ini, file, nChans)
  s = section(ini, file, 'Channel Infos');
  label = cell(1, nChans);
  reference = cell(1, nChans);
  unit = cell(1, nChans);
  scale = zeros(1, nChans);
  seen = false(1, nChans);
  for k = 1:numel(s.keys)
    t = regexp(s.keys{k}, '^ch(\d+)$', 'tokens', 'once');
    if isempty(t)
      fail(file, 'damaged', '[Channel Infos] holds "%s", which is not a channel entry Ch<n>', s.names{k});
    end
    n = str2double(t{1});
    if n < 1 || n > nChans
      fail(file, 'damaged', '[Channel Infos] has %s but NumberOfChannels=%d', s.names{k}, nChans);
    end
    fields = regexp(s.values{k}, ',', 'split');
    if numel(fields) < 3
      fail(file, 'damaged', '%s=%s has fewer than three fields (name, reference, resolution)', s.names{k}, s.values{k});
    end
    label{n} = strrep(fields{1}, '\1', ',');
    reference{n} = strrep(fields{2}, '\1', ',');
    resolution = strtrim(fields{3});
    if isempty(resolution)
      scale(n) = 1;
    else
      scale(n) = number(resolution);
      if ~isfinite(scale(n))
        fail(file, 'damaged', 'the resolution "%s" of %s is not a number', fields{3}, s.names{k});
      end
    end
    unit{n} = '';
    if numel(fields) >= 4
      unit{n} = strtrim(fields{4});
    end
    if isempty(unit{n})
      unit{n} = native2unicode(uint8([194 181 86]), 'UTF-8');  % µV, the format's default
    end
    seen(n) = true;
  end
  if ~all(seen)
    fail(file, 'damaged', 'NumberOfChannels=%d but [Channel Infos] has %d entries, without Ch%d', ...
         nChans, numel(s.keys), find(~seen, 1));
  end
end

% A number in the C locale's notation, or NaN.
function x = number(text)
  text = strtrim(text);
  x = NaN;
  if ~isempty(regexp(text, '^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$', 'once'))
    x = str2double(text);
  end
end

function p = beside(folder, name)
  if is_absolute(name)
    p = name;
  else
    p = fullfile(folder, name);
  end
end

function yes = is_absolute(name)
  yes = ~isempty(regexp(name, '^([\\/]|[A-Za-z]:[\\/])', 'once'));
end

function p = absolute_path(name)
  if is_absolute(name)
    p = name;
  else
    p = fullfile(pwd, name);
  end
end

function fail(file, kind, fmt, varargin)
  error(['eegmex_vhdr:' kind], ['eegmex_vhdr: %s: ' fmt], file, varargin{:});
end

% The value of key in section, or fallback when the key is absent and a fallback is given.
function v = value(ini, file, name, key, fallback)
  s = section(ini, file, name);
  k = find(strcmp(s.keys, lower(key)), 1);
  if ~isempty(k)
    v = s.values{k};
  elseif nargin >= 5
    v = fallback;
  else
    fail(file, 'damaged', 'the [%s] section has no %s', name, key);
  end
end

function s = section(ini, file, name)
  k = find(strcmp(ini.names, lower(name)), 1);
  if isempty(k)
    fail(file, 'damaged', 'the header has no [%s] section', name);
  end
  s = ini.sections{k};
end

% The key=value lines of the wanted sections (lower-case names). Lines of other sections are not
% looked at; a [Comment] line ends the part that is read.
function ini = read_sections(lines, file, wanted)
  ini = struct('names', {{}}, 'sections', {{}});
  current = 0;
  for i = 2:numel(lines)
    line = strtrim(lines{i});
    head = regexp(line, '^\[(.*)\]$', 'tokens', 'once');
    if ~isempty(head)
      name = lower(strtrim(head{1}));
      if strcmp(name, 'comment')
        break;
      end
      current = 0;
      if any(strcmp(name, wanted))
        if any(strcmp(ini.names, name))
          fail(file, 'damaged', 'the [%s] section appears twice', head{1});
        end
        ini.names{end + 1} = name;
        ini.sections{end + 1} = struct('keys', {{}}, 'names', {{}}, 'values', {{}});
        current = numel(ini.names);
      end
      continue;
    end
    if current == 0 || isempty(line) || line(1) == ';' || line(1) == '#'
      continue;
    end
    eq = find(line == '=', 1);
    if isempty(eq) || eq == 1
      fail(file, 'damaged', 'line %d is neither a comment nor key=value: "%s"', i, line);
    end
    key = strtrim(line(1:eq - 1));
    s = ini.sections{current};
    if any(strcmp(s.keys, lower(key)))
      fail(file, 'damaged', 'line %d gives %s a second time', i, key);
    end
    s.keys{end + 1} = lower(key);
    s.names{end + 1} = key;
    s.values{end + 1} = strtrim(line(eq + 1:end));
    ini.sections{current} = s;
  end
end
