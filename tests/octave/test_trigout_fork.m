% trigout in a child of Octave's fork(): the child's pulse is reset by a timer thread of its own (the
% parent's does not exist there), and its exit handler writes a pending reset before the child ends.
global IO_LIB
build = getenv('EEGMEX_BUILD');
lib = fullfile(build, 'portlibs', 'simport.so');
% The parent pulses through a copy of the simulated port that logs nothing, so that the child loads
% the logging library (and starts its log writer) itself.
parentLib = [tempname() '.so'];
copyfile(lib, parentLib);
IO_LIB = parentLib;
trigout(900, 1, 5);  % the parent's timer thread runs from here
pause(0.05);
logFile = [tempname() '.log'];
setenv('SIMPORT_LOG', logFile);
IO_LIB = lib;
pid = fork();
if pid == 0
  trigout(888, 77, 5);
  pause(0.2);
  trigout(889, 5, 300);  % still pending when the child clears the module
  clear trigout
  exit(0);
end
status = NaN;
for i = 1:1000
  [got, status] = waitpid(pid, WNOHANG());
  if got == pid
    break;
  end
  pause(0.01);
end
if got != pid
  kill(pid, 9);
  error('the child did not end: its pulse module hung');
end
w = reshape(sscanf(regexprep(fileread(logFile), '[a-z]', ''), '%f'), 3, [])';
assert(isequal(w(w(:, 2) == 888, 3)', [77 0]), 'child pulse: %s', mat2str(w(:, 2:3)));
assert(isequal(w(w(:, 2) == 889, 3)', [5 0]), 'child pending reset: %s', mat2str(w(:, 2:3)));
delete(logFile);
delete(parentLib);
disp('trigout in a forked child: pulse reset, pending reset written');
