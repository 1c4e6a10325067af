% demo_serialbox: trigger pulses to a USB trigger box, here a stand-in: a pseudo-terminal whose
% far end (tests/octave/pty_far_end.py) timestamps each byte as it arrives, as a box's output
% lines would show it. Then the box's timeline, read back from the far end.
build = getenv('EEGMEX_BUILD');
if isempty(build)
  build = fileparts(which('trigout'));
end
source = fileparts(fileparts(mfilename('fullpath')));
box = [tempname() '-box'];
arrivals = [tempname() '.txt'];
system(sprintf('/usr/bin/python3 %s %s %s 30 &', fullfile(source, 'tests', 'octave', 'pty_far_end.py'), ...
               box, arrivals));
for i = 1:200
  if exist(box, 'file')
    break;
  end
  pause(0.01);
end
old = getenv('EEGMEX_SERIALPORT');
global IO_LIB
IO_LIB = eegmex_serialport('clear');
IO_LIB = eegmex_serialport(box);     % a real box: eegmex_serialport('/dev/ttyACM0') or ('COM3')
trigout(888, 0, 0);                  % the first call opens the device; pulses after it pay nothing
pause(0.1);
opening = numel(strfind(fileread(arrivals), sprintf('\n')));   % the bytes of that call

calls = {
  'trigout(888, 1)',          '1 now, 0 after the default 10 ms'
  'trigout(888, 200, 20, 30)', '200 after 30 ms (a raw byte: no text encoding), 0 20 ms after that'
  'trigout(888, 3, 100)',     '3 now, for 100 ms ...'
  'trigout(888, 4, 30)',      '... 4 written 20 ms later: the reset of 3 is skipped'
};
pauses = [0.05 0.1 0.02 0.15];
printf('Pulses sent to %s:\n', box);
for i = 1:rows(calls)
  printf('  %-27s %% %s\n', calls{i, 1}, calls{i, 2});
  eval([calls{i, 1} ';']);
  pause(pauses(i));
end
clear trigout                        % pending pulses reach the box before it is closed
pause(0.1);
delete(box);                         % the far end ends
setenv('EEGMEX_SERIALPORT', old);

a = reshape(sscanf(fileread(arrivals), '%f'), 2, [])';
delete(arrivals);
a = a(opening + 1:end, :);
printf('\nThe box''s timeline (bytes as the far end read them, on its clock; its own lateness\n');
printf('in reading, a few ms on a busy machine, is in these times):\n');
printf('  %10s  %5s  %s\n', 'time (ms)', 'byte', 'since the byte before (ms)');
for i = 1:rows(a)
  since = '';
  if i > 1
    since = sprintf('%.2f', (a(i, 1) - a(i - 1, 1)) / 1e6);
  end
  printf('  %10.2f  %5d  %s\n', (a(i, 1) - a(1, 1)) / 1e6, a(i, 2), since);
end
