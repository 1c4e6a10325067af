function outdir = build_user_host(outdir, host)
%BUILD_USER_HOST  Build eegfetch and trigout with your own MATLAB or GNU Octave.
%
%   build_user_host()          builds into <repo>/build/user
%   build_user_host(outdir)    builds into outdir
%   outdir = build_user_host(...)
%   build_user_host(outdir, 'matlab')   takes the MATLAB path whatever runs it (the tests use
%                                       this in Octave with a stand-in for mex)
%
%   For platforms without a prebuilt copy (Linux or macOS MATLAB, an Octave
%   the package does not suit). Run it inside the host you will use:
%     cd <repo>/scripts; build_user_host
%     addpath <repo>/build/user        % then: help eegfetch
%
%   GNU Octave: compiles with mkoctfile --mex (needs Octave's development
%   files, e.g. Debian's liboctave-dev).
%   MATLAB: compiles with mex against MATLAB's own mex.h (MATLAB_MEX_FILE is
%   defined by mex). Set up a C++17 compiler of the GCC family with
%   "mex -setup C++": GCC or Clang on Linux and macOS, MinGW-w64 on
%   Windows (the reader uses GCC vector extensions; Visual C++ cannot
%   build it).
%
%   Beside the modules it writes their help files and, on Linux and macOS
%   (with Octave's compiler, or c++ from the PATH under MATLAB), the
%   simulated port library that eegmex_simport() finds, for trying trigout
%   without a port, the serial port library for USB trigger boxes
%   (eegmex_serialport), and on Linux the ppdev library for real parallel
%   ports (eegmex_simport('ppdevport')). On Windows the modules only.

  root = fileparts(fileparts(mfilename('fullpath')));
  if nargin < 1 || isempty(outdir)
    outdir = fullfile(root, 'build', 'user');
  end
  if ~exist(outdir, 'dir')
    mkdir(outdir);
  end
  isOctave = exist('OCTAVE_VERSION', 'builtin') ~= 0;
  if nargin >= 2 && strcmpi(host, 'matlab')
    isOctave = false;
  end

  hostInc = fullfile(root, 'host');
  coreDir = fullfile(root, 'eegfetch', 'core');
  trigSrc = sources(fullfile(root, 'trigout'));
  % The platform layer both modules link has one file per system; the other one is left out.
  platSrc = sources(fullfile(root, 'platform'));
  if ispc
    skip = '_posix.cpp';
  else
    skip = '_windows.cpp';
  end
  platSrc = platSrc(cellfun(@(f) isempty(strfind(f, skip)), platSrc));

  objdir = fullfile(outdir, 'obj');
  if ~exist(objdir, 'dir')
    mkdir(objdir);
  end
  coreObj = compile_core([sources(coreDir), platSrc], {coreDir, root}, objdir, isOctave);
  platObj = coreObj(end - numel(platSrc) + 1:end);
  % The readers' core, compiled once for eegmex_formats and for eegfetch, which reads the streams of
  % XDF files through the readers' own listing of their chunks.
  formatsDir = fullfile(root, 'formats', 'core');
  formatsObj = compile_core(sources(formatsDir), {formatsDir, root}, objdir, isOctave);
  gatewaySrc = [sources(fullfile(root, 'eegfetch')), formatsObj];
  formatsSrc = [sources(fullfile(root, 'formats')), formatsObj];
  % eegmex_decimate: the reader's decimator on chunks of a live source, with eegfetch's checks.
  decimateSrc = [sources(fullfile(root, 'eegfetch', 'decimate')), ...
                 {fullfile(root, 'eegfetch', 'reader_call.cpp'), fullfile(root, 'eegfetch', 'messages.cpp')}];

  if isOctave
    flags = {'--mex', '-std=c++17', '-O2', '-ffp-contract=off', '-DEEGMEX_HOST_OCTAVE', ['-I' hostInc]};
    if ispc
      dl = {};
    else
      dl = {'-ldl'};
    end
    run_mkoctfile([flags, {['-I' coreDir], ['-I' formatsDir], ['-I' root], '-pthread'}, gatewaySrc, coreObj, ...
                   {'-o', fullfile(outdir, ['eegfetch.' mexext])}, dl]);
    run_mkoctfile([flags, {['-I' coreDir], ['-I' fullfile(root, 'eegfetch')], ['-I' root], '-pthread'}, ...
                   decimateSrc, coreObj, ...
                   {'-o', fullfile(outdir, ['eegmex_decimate.' mexext])}, dl]);
    run_mkoctfile([flags, {['-I' root], '-pthread'}, trigSrc, platObj, ...
                   {'-o', fullfile(outdir, ['trigout.' mexext])}, dl]);
    run_mkoctfile([flags, {['-I' formatsDir]}, formatsSrc, ...
                   {'-o', fullfile(outdir, ['eegmex_formats.' mexext])}]);
  else
    % GCC or Clang (MinGW-w64 on Windows): the core uses their vector extensions.
    if ispc
      libs = {};
    else
      libs = {'-ldl'};
    end
    common = {'-R2017b', 'CXXFLAGS=$CXXFLAGS -std=c++17 -ffp-contract=off -pthread', ['-I' hostInc], ...
              '-outdir', outdir};
    mex(common{:}, ['-I' coreDir], ['-I' formatsDir], ['-I' root], '-output', 'eegfetch', gatewaySrc{:}, ...
        coreObj{:}, libs{:});
    mex(common{:}, ['-I' coreDir], ['-I' fullfile(root, 'eegfetch')], ['-I' root], '-output', 'eegmex_decimate', ...
        decimateSrc{:}, coreObj{:}, libs{:});
    mex(common{:}, ['-I' root], '-output', 'trigout', trigSrc{:}, platObj{:}, libs{:});
    mex(common{:}, ['-I' formatsDir], '-output', 'eegmex_formats', formatsSrc{:});
  end

  if exist('OCTAVE_VERSION', 'builtin')
    confirm_recursive_rmdir(false, 'local');  % Octave asks before a recursive rmdir
  end
  rmdir(objdir, 's');
  write_help(root, outdir);
  build_portlibs(root, outdir, isOctave);
  fprintf('eegmex: modules built into %s\n  addpath(''%s'')\n', outdir, outdir);
end

function files = sources(dir_)
  d = dir(fullfile(dir_, '*.cpp'));
  files = cellfun(@(n) fullfile(dir_, n), {d.name}, 'UniformOutput', false);
  if isempty(files)
    error('build_user_host: no C++ sources in %s', dir_);
  end
end

% The reader's numeric core and the platform layer, one object per file with the flags the
% filter kernels need: each kernel is built for its own instruction set (picked at run time),
% and on 32-bit x86 the arithmetic stays in SSE2 registers, whose results match every other
% build bit for bit.
function objs = compile_core(srcs, incDirs, objdir, isOctave)
  if isOctave
    arch = computer();
  else
    arch = computer('arch');
  end
  x86 = ~isempty(regexp(arch, 'x86_64|i.86|glnxa64|maci64|win64|win32', 'once'));
  x86_32 = ~isempty(regexp(arch, 'i.86|win32', 'once'));
  flags = '-std=c++17 -O3 -ffp-contract=off -fPIC -pthread';
  if x86_32
    flags = [flags ' -msse2 -mfpmath=sse'];
  end
  objs = cell(1, numel(srcs));
  for k = 1:numel(srcs)
    [~, name] = fileparts(srcs{k});
    extra = '';
    if x86 && strcmp(name, 'filter_kernel_avx2')
      extra = ' -mavx2 -DEEG_KERNEL_AVX2';
    elseif x86 && strcmp(name, 'filter_kernel_avx512')
      extra = ' -mavx512f -DEEG_KERNEL_AVX512';
    end
    if isOctave
      objs{k} = fullfile(objdir, [name '.o']);
      cmd = sprintf('%s %s%s%s -c "%s" -o "%s"', strtrim(mkoctfile('-p', 'CXX')), flags, extra, ...
                    sprintf(' -I"%s"', incDirs{:}), srcs{k}, objs{k});
      [status, out] = system(cmd);
      if status ~= 0
        error('build_user_host: compiling %s failed:\n%s', srcs{k}, out);
      end
    else
      inc = cellfun(@(d) ['-I' d], incDirs, 'UniformOutput', false);
      mex('-c', '-R2017b', ['CXXFLAGS=$CXXFLAGS ' flags extra], inc{:}, '-outdir', objdir, srcs{k});
      d = dir(fullfile(objdir, [name '.o*']));
      objs{k} = fullfile(objdir, d(1).name);
    end
  end
end

function run_mkoctfile(args)
  [out, status] = mkoctfile(args{:});
  if status ~= 0
    error('build_user_host: mkoctfile failed:\n%s', out);
  end
end

% The help files carry the project's version; it is filled in here as the build tree does.
function write_help(root, outdir)
  version = strtrim(fileread(fullfile(root, 'VERSION')));
  d = dir(fullfile(root, 'm', '*.m'));
  for k = 1:numel(d)
    text = fileread(fullfile(root, 'm', d(k).name));
    text = strrep(text, '@EEGMEX_VERSION@', version);
    fid = fopen(fullfile(outdir, d(k).name), 'w');
    if fid < 0
      error('build_user_host: cannot write %s', fullfile(outdir, d(k).name));
    end
    fwrite(fid, text);
    fclose(fid);
  end
end

% The port libraries are plain shared libraries (no host API), built with the C++ compiler
% Octave uses, or with c++ from the PATH under MATLAB: the simulated port and the serial port
% library everywhere but Windows, and the ppdev library for real ports on Linux.
function build_portlibs(root, outdir, isOctave)
  if ispc
    return;
  end
  if isOctave
    cxx = strtrim(mkoctfile('-p', 'CXX'));
  else
    cxx = 'c++';
  end
  libdir = fullfile(root, 'portlibs');
  if ismac
    build_library(cxx, '-dynamiclib', fullfile(outdir, 'simport.dylib'), {fullfile(libdir, 'simport.cpp')});
    build_library(cxx, '-dynamiclib', fullfile(outdir, 'serialport.dylib'), {fullfile(libdir, 'serialport.cpp')});
  else
    build_library(cxx, '-shared', fullfile(outdir, 'simport.so'), {fullfile(libdir, 'simport.cpp')});
    % GCC would mark some template statics unique, and a library holding one is never unloaded.
    [~, version] = system([cxx ' --version']);
    unique = '';
    if isempty(strfind(lower(version), 'clang'))
      unique = ' -fno-gnu-unique';
    end
    build_library([cxx unique], '-shared', fullfile(outdir, 'serialport.so'), {fullfile(libdir, 'serialport.cpp')});
    build_library(cxx, '-shared', fullfile(outdir, 'ppdevport.so'), ...
                  {fullfile(libdir, 'ppdevport.cpp'), fullfile(libdir, 'ppdev_map.cpp')});
  end
end

function build_library(cxx, shared, target, srcs)
  cmd = sprintf('%s -std=c++17 -O2 -ffp-contract=off -fPIC %s -o "%s"%s -pthread', cxx, shared, target, ...
                sprintf(' "%s"', srcs{:}));
  [status, out] = system(cmd);
  if status ~= 0
    warning('build_user_host: %s was not built:\n%s', target, out);
  end
end
