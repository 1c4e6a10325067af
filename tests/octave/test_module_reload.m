% After clear NAME, the module's image is unmapped and a rebuilt NAME.oct (or NAME.mex) at the same
% path is the one that runs. A native module's image goes when Octave lets go of the libraries
% nothing refers to, which it does while it waits at its prompt; this runs in an interactive Octave
% fed from a pipe, where waitfor runs the same hooks as the waiting prompt. Also: trigout cleared
% with a pulse pending writes the reset before the clear returns, its image goes, and it loads again.
1;

function remove_files(folder, commands)
  confirm_recursive_rmdir(false);
  rmdir(folder, 's');
  delete(commands);
end

build = getenv('EEGMEX_BUILD');
if strcmp(getenv('EEGMEX_FLAVOUR'), 'mex')
  ext = ['.' mexext];
  folders = sprintf('addpath(''%s''); addpath(''%s'');', build, fullfile(build, 'mex'));
else
  ext = '.oct';
  folders = sprintf('addpath(''%s'');', build);
end
generation = @(g) fullfile(build, 'tests', 'octave', sprintf('reload%d', g), ['eegmex_reload' ext]);
if ~exist(generation(1), 'file') || ~exist(generation(2), 'file')
  % The memory-check builds (scripts/asan-octave.sh) make the modules only.
  printf('test_module_reload: skipped: %s holds no builds of eegmex_reload\n', build);
  return;
end
folder = tempname();
mkdir(folder);
module = fullfile(folder, ['eegmex_reload' ext]);
copyfile(generation(1), module);
logfile = [tempname() '.log'];
commands = [tempname() '.m'];
cleanup = onCleanup(@() remove_files(folder, commands));

session = {
  folders
  sprintf('addpath(''%s'');', folder)
  sprintf('setenv(''SIMPORT_LOG'', ''%s'');', logfile)
  'mapped = @(name) ~isempty(strfind(fileread(''/proc/self/maps''), name));'
  'g1 = eegmex_reload();'
  'clear eegmex_reload'
  'u = str2double(getenv(''EEGMEX_RELOAD_UNLOADS''));'
  'waitfor(0, ''timeout'', 0.2);'
  sprintf('m = mapped(''%s'');', module)
  sprintf('delete(''%s''); copyfile(''%s'', ''%s'');', module, generation(2), module)
  'g2 = eegmex_reload();'
  'global IO_LIB'
  sprintf('IO_LIB = ''%s'';', fullfile(build, 'portlibs', 'simport.so'))
  'trigout(888, 1, 100);'
  'clear trigout'
  sprintf('w1 = numel(strfind(fileread(''%s''), sprintf(''\\n'')));', logfile)
  'waitfor(0, ''timeout'', 0.2);'
  sprintf('t = mapped(''trigout%s'');', ext)
  'trigout(889, 2, 1); pause(0.05); clear trigout'
  sprintf('w2 = numel(strfind(fileread(''%s''), sprintf(''\\n'')));', logfile)
  'printf(''result: %d %d %d %d %d %d %d\n'', g1, u, m, g2, w1, t, w2);'
  };
fid = fopen(commands, 'w');
fprintf(fid, '%s\n', session{:});
fclose(fid);
octave = fullfile(OCTAVE_HOME(), 'bin', 'octave-cli');
[status, out] = system(sprintf('"%s" -H --no-gui --quiet --interactive --no-line-editing < "%s" 2>&1', ...
                               octave, commands));
r = sscanf(regexp(out, 'result:[^\n]*', 'match', 'once'), 'result: %d %d %d %d %d %d %d');
assert(status == 0 && numel(r) == 7, 'the session failed:\n%s', out);
assert(r(1) == 1 && r(2) == 1, 'first build: generation %d, %d unloads', r(1), r(2));
assert(r(3) == 0, 'the cleared module is still mapped');
assert(r(4) == 2, 'after clear and a rebuild, generation %d ran:\n%s', r(4), out);
assert(r(5) == 2, 'trigout: %d writes when the clear returned, not 2', r(5));
assert(r(6) == 0, 'the cleared trigout is still mapped');
assert(r(7) == 4, 'trigout loaded again: %d writes, not 4', r(7));
delete(logfile);
disp('test_module_reload: ok');
