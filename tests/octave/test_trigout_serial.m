% trigout with a trigger box on a serial port in Octave: eegmex_serialport's options and the
% setting it leaves, raw bytes above 127 and text commands reaching a pseudo-terminal's far end
% (tests/octave/pty_far_end.py), and the latency-timer warning through Octave's warnings.
clear all
source_dir = getenv('EEGMEX_SOURCE');
confirm_recursive_rmdir(false);
tmp = tempname();
mkdir(tmp);
cleanup = onCleanup(@() rmdir(tmp, 's'));
setenv('EEGMEX_SERIALPORT', '');
setenv('SERIALPORT_SYSFS_ROOT', fullfile(tmp, 'sys'));

function expect_error(f, pattern)
  failed = false;
  try
    f();
  catch e
    failed = true;
    assert(~isempty(regexp(e.message, pattern, 'once')), 'got "%s", expected /%s/', e.message, pattern);
  end
  assert(failed, 'no error, expected /%s/', pattern);
end

% The bytes the far end received so far.
function b = received(out)
  b = [];
  if exist(out, 'file')
    v = sscanf(fileread(out), '%f');
    b = v(2:2:end)';
  end
end

function b = await_bytes(out, n)
  for i = 1:500
    b = received(out);
    if numel(b) >= n
      return;
    end
    pause(0.01);
  end
end

% Options: checked before anything is set.
expect_error(@() eegmex_serialport(), 'DEVICE must be');
expect_error(@() eegmex_serialport('/dev/x', 'Protocol', 'ascii'), 'Protocol must be');
expect_error(@() eegmex_serialport('/dev/x', 'Template', 'WRITE %s'), 'one integer conversion');
expect_error(@() eegmex_serialport('/dev/x', 'Template', '%d %d'), 'one integer conversion');
expect_error(@() eegmex_serialport('/dev/x', 'Port', 70000), 'Port must be');
expect_error(@() eegmex_serialport('/dev/x', 'Baud', -1), 'Baud must be');
expect_error(@() eegmex_serialport('/dev/x', 'Colour', 1), 'unknown option');
expect_error(@() eegmex_serialport('/dev/x', 'Port'), 'Name, Value pairs');
expect_error(@() eegmex_serialport(['/dev/x' 0 'y']), 'DEVICE holds a NUL character');
expect_error(@() eegmex_serialport('/dev/x', 'Template', ['%d' 0 '\n']), 'Template holds a NUL character');
assert(isempty(getenv('EEGMEX_SERIALPORT')));

% One entry per device; a device set again, or another for the same Port, replaces the old one.
lib = eegmex_serialport('/dev/a', 'port', 888);
assert(exist(lib, 'file') == 2 && ~isempty(strfind(lib, 'serialport')));
eegmex_serialport('/dev/b', 'PORT', 889, 'protocol', 'TEXT', 'Template', 'WRITE %d\n', 'Baud', 9600);
eegmex_serialport('/dev/c', 'Port', 888);
hex = @(s) sprintf('%02x', double(s));
want = {sprintf('889,9600,text,%s,%s', hex('/dev/b'), hex('WRITE %d\n')), ...
        sprintf('888,115200,byte,%s,%s', hex('/dev/c'), hex('%d\n'))};
assert(strcmp(getenv('EEGMEX_SERIALPORT'), strjoin(want, ';')), getenv('EEGMEX_SERIALPORT'));
eegmex_serialport('clear');
assert(isempty(getenv('EEGMEX_SERIALPORT')));

% Two boxes at once: raw bytes on port 888, text commands on port 889.
python = '/usr/bin/python3';
far = fullfile(source_dir, 'tests', 'octave', 'pty_far_end.py');
boxA = fullfile(tmp, 'boxA'); outA = fullfile(tmp, 'a.txt');
boxB = fullfile(tmp, 'boxB'); outB = fullfile(tmp, 'b.txt');
% Without a sanitizer runtime preloaded into Octave (scripts/asan-octave.sh): the far end is no part
% of what is checked.
system(sprintf('env -u LD_PRELOAD %s %s %s %s 60 &', python, far, boxA, outA));
system(sprintf('env -u LD_PRELOAD %s %s %s %s 60 &', python, far, boxB, outB));
for i = 1:500
  if exist(boxA, 'file') && exist(boxB, 'file')
    break;
  end
  pause(0.01);
end
% The first box is a USB-serial adapter whose latency timer is 16 ms: one warning at the open.
[~, tty] = system(['readlink ' boxA]);
[~, name] = fileparts(strtrim(tty));
mkdir(fullfile(tmp, 'sys', 'bus', 'usb-serial', 'devices', name));
fid = fopen(fullfile(tmp, 'sys', 'bus', 'usb-serial', 'devices', name, 'latency_timer'), 'w');
fprintf(fid, '16\n');
fclose(fid);

global IO_LIB
IO_LIB = eegmex_serialport(boxA, 'Port', 888);
IO_LIB = eegmex_serialport(boxB, 'Port', 889, 'Protocol', 'text', 'Template', 'WRITE %d\n');
lastwarn('');
values = [1 127 128 200 255];
for v = values
  trigout(888, v, 2);
  if v == values(1)
    [msg, id] = lastwarn();
    assert(~isempty(strfind(msg, 'latency timer is 16 ms')), 'warning: "%s"', msg);
    lastwarn('');
  end
  await_bytes(outA, 2 * find(values == v));
end
[msg, id] = lastwarn();
assert(isempty(msg), 'one warning only, then "%s"', msg);
trigout(889, uint8(42), 2);
trigout(889, 300, 2, 20);
clear trigout                      % pending pulses reach the boxes before they are closed
a = await_bytes(outA, 10);
assert(isequal(a, reshape([values; zeros(size(values))], 1, [])), 'box A got %s', mat2str(a));
b = char(await_bytes(outB, 32));
assert(strcmp(b, sprintf('WRITE 42\nWRITE 0\nWRITE 44\nWRITE 0\n')), 'box B got "%s"', b);

% A box that went away: the next call names it and the reason.
delete(boxA);
pause(0.2);
delete(boxB);
expect_error(@() trigout(888, 1), ['trigout: serialport: cannot open ' regexptranslate('escape', boxA) ': ']);
clear trigout
setenv('EEGMEX_SERIALPORT', '');
disp('test_trigout_serial: ok');
