% Clearing trigout (clear all, clear functions, clear trigout) while pulses wait: Octave does not
% crash, and every pending write and reset reaches the port before the clear returns.
% clear all also clears this script's variables, so what must survive it lives in the
% environment, and the log reader is defined again after each clear.
clear all
setenv('SIMPORT_LOG', [tempname() '.log']);
setenv('TRIGOUT_TEST_LIB', fullfile(getenv('EEGMEX_BUILD'), 'portlibs', 'simport.so'));
% Each pending pair: 888 <- 1 now, reset after 100 ms; 889 <- 2 after 150 ms, reset 100 ms later.
expected = [888 1; 888 0; 889 2; 889 0];

global IO_LIB
IO_LIB = getenv('TRIGOUT_TEST_LIB');
trigout(888, 1, 100);
trigout(889, 2, 100, 150);
clear all
expected = [888 1; 888 0; 889 2; 889 0];
logw = @() reshape(sscanf(regexprep(fileread(getenv('SIMPORT_LOG')), '[a-z]', ''), '%f'), 3, [])';
w = logw();
assert(isequal(w(:, 2:3), expected), 'clear all: %s', mat2str(w(:, 2:3)));
assert(w(4, 1) - w(3, 1) >= 99.5e6, 'clear all: reset came early');
delete(getenv('SIMPORT_LOG'));

global IO_LIB
IO_LIB = getenv('TRIGOUT_TEST_LIB');
trigout(888, 1, 100);
trigout(889, 2, 100, 150);
clear functions
w = logw();
assert(isequal(w(:, 2:3), expected), 'clear functions: %s', mat2str(w(:, 2:3)));
delete(getenv('SIMPORT_LOG'));

trigout(888, 1, 100);
trigout(889, 2, 100, 150);
clear trigout
w = logw();
assert(isequal(w(:, 2:3), expected), 'clear trigout: %s', mat2str(w(:, 2:3)));
delete(getenv('SIMPORT_LOG'));

% The module loads again and works.
trigout(888, 5, 1);
pause(0.05);
clear trigout
w = logw();
assert(isequal(w(:, 2:3), [888 5; 888 0]), mat2str(w(:, 2:3)));
delete(getenv('SIMPORT_LOG'));
