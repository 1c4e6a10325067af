% `help eegfetch` and `help trigout` show their text from the build tree, in the flavour the run
% is meant for (EEGMEX_FLAVOUR: native or mex), carry the project's
% version, describe every field and argument, and quote every message the module sources can
% raise or warn with. The messages are taken from the sources at test time, so a message
% added or reworded in a module without its help fails here.
1;

function msgs = help_messages(files)
% The message strings in C++ sources: every string literal (adjacent literals joined) that
% holds a blank, outside comments and #include lines, with escapes resolved and a trailing
% line feed dropped (the host strips it when it shows the message). printf conversions are
% kept as they are; check_help turns them into wildcards.
  msgs = {};
  for k = 1:numel(files)
    text = fileread(files{k});
    text = strip_comments(text);
    text = regexprep(text, '(?m)^\s*#\s*include[^\n]*', '');
    % adjacent literals "a" "b" are one literal
    text = regexprep(text, '"\s*\n\s*"', '');
    text = regexprep(text, '"[ \t]+"', '');
    lits = regexp(text, '"((?:[^"\\\n]|\\.)*)"', 'tokens');
    for i = 1:numel(lits)
      s = lits{i}{1};
      if isempty(strfind(s, ' '))
        continue;
      end
      s = strrep(s, '\"', '"');
      s = strrep(s, '\\', '\');
      s = regexprep(s, '\\n$', '');
      s = strrep(s, '\n', ' ');
      msgs{end + 1} = s; %#ok<AGROW>
    end
  end
  msgs = unique(msgs);
end

function out = strip_comments(text)
% Drops // and /* */ comments, leaving string and character literals intact.
  out = blanks(0);
  i = 1;
  n = numel(text);
  buf = repmat(' ', 1, n);
  m = 0;
  while i <= n
    c = text(i);
    if c == '"' || c == ''''
      j = i + 1;
      while j <= n && text(j) ~= c
        if text(j) == '\'
          j = j + 1;
        end
        j = j + 1;
      end
      seg = text(i:min(j, n));
      buf(m + 1:m + numel(seg)) = seg;
      m = m + numel(seg);
      i = j + 1;
    elseif c == '/' && i < n && text(i + 1) == '/'
      while i <= n && text(i) ~= sprintf('\n')
        i = i + 1;
      end
    elseif c == '/' && i < n && text(i + 1) == '*'
      j = strfind(text(i + 2:end), '*/');
      if isempty(j)
        i = n + 1;
      else
        i = i + 2 + j(1) + 1;
      end
    else
      m = m + 1;
      buf(m) = c;
      i = i + 1;
    end
  end
  out = buf(1:m);
end

% The extension of the flavour this run is meant for: NAME.oct (native) or NAME.mex.
function ext = module_extension()
  if strcmp(getenv('EEGMEX_FLAVOUR'), 'mex')
    ext = ['.' mexext];
  else
    ext = '.oct';
  end
end

function check_help(name, sourceGlobs, mustMention)
  src = getenv('EEGMEX_SOURCE');
  shown = evalc(sprintf('help %s', name));
  where = which(name);
  [~, ~, ext] = fileparts(where);
  assert(strcmp(ext, module_extension()), '%s resolves to %s, not to the %s module', name, where, module_extension());
  flat = regexprep(shown, '\s+', ' ');
  assert(numel(flat) > 2000, 'help %s is only %d characters', name, numel(flat));

  version = strtrim(fileread(fullfile(src, 'VERSION')));
  assert(~isempty(strfind(flat, ['eegmex ' version])), 'help %s does not carry version %s', name, version);
  assert(isempty(regexp(flat, '@[A-Z_]+@', 'once')), 'help %s holds an unfilled placeholder', name);

  for i = 1:numel(mustMention)
    assert(~isempty(strfind(flat, mustMention{i})), 'help %s does not mention "%s"', name, mustMention{i});
  end

  files = {};
  for g = 1:numel(sourceGlobs)
    d = dir(fullfile(src, sourceGlobs{g}));
    files = [files, cellfun(@(n) fullfile(d(1).folder, n), {d.name}, 'UniformOutput', false)]; %#ok<AGROW>
  end
  assert(~isempty(files), 'no sources found for %s', name);
  msgs = help_messages(files);
  assert(numel(msgs) >= 5, 'only %d messages found in the %s sources', numel(msgs), name);
  missing = {};
  for i = 1:numel(msgs)
    m = regexprep(strtrim(msgs{i}), '\s+', ' ');
    pattern = regexprep(m, '([\\\^\$\.\|\?\*\+\(\)\[\]\{\}])', '\\$1');
    pattern = regexprep(pattern, '%(l|ll|z)?[sdiuxfg]', '.+?');
    if isempty(regexp(flat, pattern, 'once'))
      missing{end + 1} = msgs{i}; %#ok<AGROW>
    end
  end
  if ~isempty(missing)
    error('help %s lacks %d message(s):\n  %s', name, numel(missing), strjoin(missing, sprintf('\n  ')));
  end
  printf('help %s: %d messages found in %d source files, all quoted\n', name, numel(msgs), numel(files));
end

check_help('eegfetch', {'eegfetch/*.h', 'eegfetch/*.cpp', 'eegfetch/core/*.cpp'}, ...
           {'X = eegfetch(fileName, HDR, OPT)', 'HDR.fs', 'nChans', 'BinaryFormat', 'nPoints', 'scale', ...
            'endian', 'chanidx', 'filt_a', 'filt_b', 'filt_subsample', 'dataPos', 'OPT.data', ...
            'Placement window', 'Unsafe input', 'Examples', 'Default'});
check_help('eegmex_decimate', {'eegfetch/decimate/*.cpp'}, ...
           {'S = eegmex_decimate(HDR, OPT)', 'OPT.maxGap', 'eegmex_decimate:gap', 'eegmex_decimate:state', ...
            'eegmex_place_markers', 'BinaryFormat'});
check_help('trigout', {'trigout/*.cpp'}, ...
           {'trigout(port, value, duration, delay)', 'IO_LIB', 'Out32', 'Inp32', 'IsInpOutDriverOpen', ...
            'duration', 'delay', 'Default 10', 'Timing', 'eegmex_simport'});
