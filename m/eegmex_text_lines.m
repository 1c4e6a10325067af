function lines = eegmex_text_lines(file, caller)
% EEGMEX_TEXT_LINES  The lines of a BrainVision text file (.vhdr, .vmrk), decoded.
%   lines = eegmex_text_lines(file, caller) reads the whole file as UTF-8 unless it says
%   Codepage=ANSI (Windows-1252), and as Latin-1 when a file that names no code page is not
%   valid UTF-8; a leading byte order mark is dropped. Errors name `file` and carry the
%   identifier caller:file, caller:unsupported or caller:damaged. Used by eegmex_vhdr and
%   eegmex_vmrk.
  fail = @(kind, fmt, varargin) error([caller ':' kind], [caller ': %s: ' fmt], file, varargin{:});
  fid = -1;
  if exist(file, 'file') == 2
    fid = fopen(file, 'r');
  end
  if fid < 0
    fail('file', 'cannot open the file');
  end
  bytes = fread(fid, Inf, '*uint8')';
  fclose(fid);
  if numel(bytes) >= 3 && isequal(bytes(1:3), uint8([239 187 191]))
    bytes = bytes(4:end);  % byte order mark
  end
  ascii = char(bytes);
  ascii(bytes > 127) = '?';
  page = regexp(ascii, '^[ \t]*Codepage[ \t]*=[ \t]*(\S+)', 'tokens', 'once', 'lineanchors', 'ignorecase');
  if ~isempty(page) && strcmpi(page{1}, 'ANSI')
    try
      txt = native2unicode(bytes, 'windows-1252');
    catch
      txt = native2unicode(bytes, 'ISO-8859-1');  % bytes that Windows-1252 leaves undefined
    end
  elseif ~isempty(page) && ~strcmpi(page{1}, 'UTF-8')
    fail('unsupported', 'Codepage=%s is not supported, only UTF-8 and ANSI', page{1});
  elseif valid_utf8(bytes)
    txt = native2unicode(bytes, 'UTF-8');
  elseif isempty(page)
    txt = native2unicode(bytes, 'ISO-8859-1');
  else
    fail('damaged', 'the file says Codepage=UTF-8 but is not valid UTF-8');
  end
  lines = regexp(txt, '\r\n|\n|\r', 'split');
  if isempty(lines) || isempty(strtrim([lines{:}]))
    fail('damaged', 'the file is empty');
  end
end

% Whether bytes is well-formed UTF-8 (no overlong forms, surrogates or code points past U+10FFFF).
function ok = valid_utf8(bytes)
  b = double(bytes);
  n = numel(b);
  i = find(b > 127, 1);
  while ~isempty(i)
    c = b(i);
    lo = 128;
    hi = 191;
    if c >= 194 && c <= 223
      len = 1;
    elseif c >= 224 && c <= 239
      len = 2;
      if c == 224, lo = 160; elseif c == 237, hi = 159; end
    elseif c >= 240 && c <= 244
      len = 3;
      if c == 240, lo = 144; elseif c == 244, hi = 143; end
    else
      ok = false;
      return;
    end
    if i + len > n || b(i + 1) < lo || b(i + 1) > hi || any(b(i + 2:i + len) < 128 | b(i + 2:i + len) > 191)
      ok = false;
      return;
    end
    next = find(b(i + len + 1:end) > 127, 1);
    i = i + len + next;
  end
  ok = true;
end
