% Clearing trigout (clear all, clear functions, clear trigout) while pulses wait: Octave does not
% crash, and every pending write and reset still reaches the port before the clear returns.
% (clear all also clears this script's variables, hence the environment and helper files.)
clear all
setenv('SIMPORT_LOG', [tempname() '.log']);
setenv('TRIGOUT_TEST_LIB', fullfile(getenv('EEGMEX_BUILD'), 'portlibs', 'simport.so'));

trigout_pending_pulses();
clear all
trigout_check_pulses('clear all');

trigout_pending_pulses();
clear functions
trigout_check_pulses('clear functions');

trigout_pending_pulses();
clear trigout
trigout_check_pulses('clear trigout');

% The module loads again and works.
global IO_LIB
IO_LIB = getenv('TRIGOUT_TEST_LIB');
trigout(888, 5, 1);
pause(0.05);
w = trigout_log(getenv('SIMPORT_LOG'));
assert(isequal(w(:, 2:3), [888 5; 888 0]));
delete(getenv('SIMPORT_LOG'));
