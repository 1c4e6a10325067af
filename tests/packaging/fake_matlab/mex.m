function mex(varargin)
% Stand-in for MATLAB's mex in the test of build_user_host's MATLAB path. It takes the
% arguments that path passes (-c, -R2017b, CXXFLAGS=..., -I, -outdir, -output, sources,
% objects, libraries) and builds with Octave's compiler, defining MATLAB_MEX_FILE as MATLAB's
% mex does, so the modules compile in that configuration against a mex.h. Anything else it
% is given is an error, so a changed call in build_user_host shows here. It compiles without
% optimisation (-O0 after the path's own flags): what it proves is the MATLAB path's calls and the
% MATLAB_MEX_FILE configuration; the optimised build of the same sources is proven by the Octave
% path and the package, and compiling it a third time would take minutes for nothing more.
  compileOnly = false;
  outdir = pwd();
  output = '';
  flags = {};
  files = {};
  i = 1;
  while i <= nargin
    a = varargin{i};
    if strcmp(a, '-c')
      compileOnly = true;
    elseif strcmp(a, '-R2017b')
      % the classic array API (mxGetPr): what Octave's mex.h offers anyway
    elseif strcmp(a, '-outdir') || strcmp(a, '-output')
      i = i + 1;
      if strcmp(a, '-outdir')
        outdir = varargin{i};
      else
        output = varargin{i};
      end
    elseif strncmp(a, 'CXXFLAGS=$CXXFLAGS ', 19)
      flags = [flags, strsplit(strtrim(a(20:end)), ' ')]; %#ok<AGROW>
    elseif strncmp(a, '-I', 2) || strncmp(a, '-l', 2)
      flags{end + 1} = a; %#ok<AGROW>
    elseif a(1) ~= '-' && exist(a, 'file')
      files{end + 1} = a; %#ok<AGROW>
    else
      error('mex stand-in: unexpected argument %s', a);
    end
    i = i + 1;
  end
  assert(~isempty(files), 'mex stand-in: nothing to build');
  if compileOnly
    cxx = strtrim(mkoctfile('-p', 'CXX'));
    inc = strtrim(mkoctfile('-p', 'INCFLAGS'));
    for k = 1:numel(files)
      [~, name] = fileparts(files{k});
      cmd = sprintf('%s -c -fPIC -DMATLAB_MEX_FILE %s %s -O0 "%s" -o "%s"', cxx, inc, strjoin(flags, ' '), files{k}, ...
                    fullfile(outdir, [name '.o']));
      [status, out] = system(cmd);
      assert(status == 0, 'mex stand-in: compiling %s failed:\n%s', files{k}, out);
    end
  else
    assert(~isempty(output), 'mex stand-in: no -output');
    old = getenv('CXXFLAGS');
    setenv('CXXFLAGS', '-O0');  % mkoctfile's own optimisation flags, replaced
    [out, status] = mkoctfile('--mex', '-DMATLAB_MEX_FILE', flags{:}, files{:}, '-o', ...
                              fullfile(outdir, [output '.' mexext()]));
    setenv('CXXFLAGS', old);
    assert(status == 0, 'mex stand-in: building %s failed:\n%s', output, out);
  end
end
