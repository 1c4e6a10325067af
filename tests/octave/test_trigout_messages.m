% trigout in Octave: IO_LIB must be a global, every message reaches Octave with the module's
% name in front, and uint8 or NaN arguments behave as documented.
clear all
build = getenv('EEGMEX_BUILD');
lib = fullfile(build, 'portlibs', 'simport.so');
logfile = [tempname() '.log'];
setenv('SIMPORT_LOG', logfile);
% Writes in the simulated port's log, one row [ns port value] each.
logw = @() reshape(sscanf(regexprep(fileread(logfile), '[a-z]', ''), '%f'), 3, [])';

function expect_error(f, message)
  failed = false;
  try
    f();
  catch e
    failed = true;
    assert(strcmp(e.message, message), 'got "%s", expected "%s"', e.message, message);
  end
  assert(failed, 'no error, expected "%s"', message);
end

% IO_LIB only in the base workspace, not declared global.
IO_LIB = lib;
expect_error(@() trigout(888, 1), 'trigout: IO_LIB not found or is nor global variable.');
clear IO_LIB

global IO_LIB
IO_LIB = [lib char(0) 'x'];  % the name before the NUL would load
expect_error(@() trigout(888, 1), 'trigout: IO_LIB must not hold a NUL character.');
IO_LIB = fullfile(build, 'portlibs', 'no_such_library.so');
expect_error(@() trigout(888, 1), 'trigout: LoadLibrary Failed. Check IO_LIB.');
IO_LIB = fullfile(build, 'portlibs', 'simport_noinp.so');
expect_error(@() trigout(888, 1), 'trigout: GetProcAddress for Inp32 Failed.');
IO_LIB = fullfile(build, 'portlibs', 'simport_closed.so');
expect_error(@() trigout(888, 1), 'trigout: Parellel Port library is not loaded.(Try running as an administrator).');

IO_LIB = lib;
expect_error(@() trigout(888), 'trigout: Two or three or four input arguments required');
expect_error(@() trigout(888, 1, 2, 3, 4), 'trigout: Two or three or four input arguments required');
failed = false;
try
  x = trigout(888, 1);
catch e
  failed = strcmp(e.message, 'trigout: No output argument allowed');
end
assert(failed, 'a result was not refused');
expect_error(@() trigout(888, NaN), 'trigout: value must be a finite real number.');
expect_error(@() trigout(NaN, 1), 'trigout: port must be a finite real number.');
expect_error(@() trigout([], 1), 'trigout: port must be a finite real number.');
expect_error(@() trigout(888, 'a'), 'trigout: value must be a finite real number.');
expect_error(@() trigout(888, 1, -10), 'trigout: duration must not be negative.');
expect_error(@() trigout(888, 1, 10, -1), 'trigout: delay must not be negative.');
expect_error(@() trigout(888, 1, Inf), 'trigout: duration must be a finite real number.');
clear trigout  % lets go of the port library, which writes out its log
assert(~exist(logfile, 'file') || isempty(logw()), 'a refused call wrote to the port');

% uint8 and other integer classes are read by their class.
trigout(uint16(888), uint8(200), 5);
pause(0.1);
trigout(single(889.7), int8(-1), 5);
pause(0.1);
trigout(888, 3.7, 5);
pause(0.1);
clear trigout  % the port library is let go of: its log is all written
w = logw();
assert(isequal(w(:, 2:3), [888 200; 888 0; 889 255; 889 0; 888 3; 888 0]), mat2str(w(:, 2:3)));
delete(logfile);
