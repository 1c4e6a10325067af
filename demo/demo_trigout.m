% demo_trigout: a few trigger pulses through the simulated port library, then the port's
% timeline (every write with its time) read back from the library's write log.
% demo_eegfetch writes a recording that carries these pulses as its BrainVision markers, as an
% amplifier records them from the trigger lines.
build = getenv('EEGMEX_BUILD');
if isempty(build)
  build = fileparts(which('trigout'));  % the build tree holds trigout.mex and portlibs/
end
if isempty(build)
  build = 'build';
end
logfile = [tempname() '.log'];
setenv('SIMPORT_LOG', logfile);
global IO_LIB
IO_LIB = fullfile(build, 'portlibs', 'simport.so');

calls = {
  'trigout(888, 1)',          '1 now, reset after the default 10 ms'
  'trigout(888, 2, 20, 30)',  '2 after 30 ms, reset 20 ms after that'
  'trigout(888, 3, 100)',     '3 now, for 100 ms ...'
  'trigout(888, 4, 30)',      '... 4 written 20 ms later: the reset of 3 is skipped'
  'trigout(889, 255, 5)',     '255 on another port, for 5 ms'
};
pauses = [0.05 0.1 0.02 0.15 0.05];
printf('Pulses sent:\n');
for i = 1:rows(calls)
  printf('  %-26s %% %s\n', calls{i, 1}, calls{i, 2});
  eval([calls{i, 1} ';']);
  pause(pauses(i));
end
clear trigout  % lets every pending pulse end first

fid = fopen(logfile, 'r');
c = textscan(fid, '%f %f %f %s');
fclose(fid);
delete(logfile);
ns = c{1};
port = c{2};
value = c{3};
printf('\nPort timeline (from the simulated library''s write log):\n');
printf('  %10s  %5s  %5s  %s\n', 'time (ms)', 'port', 'value', 'since last write on this port (ms)');
for i = 1:numel(ns)
  previous = find(port(1:i - 1) == port(i), 1, 'last');
  since = '';
  if ~isempty(previous)
    since = sprintf('%.2f', (ns(i) - ns(previous)) / 1e6);
  end
  printf('  %10.2f  %5d  %5d  %s\n', (ns(i) - ns(1)) / 1e6, port(i), value(i), since);
end
