% Runs the cases of fetch_cases.json through Octave's eegfetch on the recordings the Python tests
% wrote into `folder`, and writes each result beside them: NAME.octave.bin (the result's doubles,
% column-major) and NAME.octave.txt (error, warnings and info), for the Python tests to compare.
function octave_cases(table, folder)
  cases = jsondecode(fileread(table)).cases;
  if isstruct(cases)
    cases = num2cell(cases);
  end
  for k = 1:numel(cases)
    c = cases{k};
    HDR = rows_of(c.hdr);
    OPT = rows_of(c.opt);
    if isfield(c, 'data')
      columns = numel(OPT.chanidx);
      if isfield(c, 'dataColumns')
        columns = c.dataColumns;
      end
      OPT.data = zeros(c.data, columns);
    end
    file = fullfile(folder, [c.name '.bin']);
    out = fopen(fullfile(folder, [c.name '.octave.txt']), 'w');
    lastwarn('');
    try
      [X, info] = eegfetch(file, HDR, OPT);
      fprintf(out, 'info %d %d %d %s\n', info.frames, info.outputs, info.resumedFrames, info.fullReadReason);
      w = lastwarn();
      if ~isempty(w)
        fprintf(out, 'warning %s\n', w);
      end
      f = fopen(fullfile(folder, [c.name '.octave.bin']), 'w');
      fwrite(f, X, 'double');
      fclose(f);
    catch err
      fprintf(out, 'error %s\n', err.message);
    end
    fclose(out);
  end
end

% JSON arrays come as columns; the modules take rows. A matrix (OPT.sos) stays as it is.
function s = rows_of(s)
  for f = fieldnames(s).'
    v = s.(f{1});
    if (isnumeric(v) || islogical(v)) && isvector(v)
      s.(f{1}) = v(:).';
    end
  end
end
