function file = eegmex_serialport(device, varargin)
%EEGMEX_SERIALPORT  Set up a USB trigger box (a serial port) for trigout.
%
%   IO_LIB = eegmex_serialport(DEVICE)
%   IO_LIB = eegmex_serialport(DEVICE, Name, Value, ...)
%   eegmex_serialport('clear')
%
%   Returns the full path of the serial port library that ships with
%   eegmex, for the global IO_LIB, and sets it up to drive the trigger
%   box at DEVICE: a path on Linux and macOS ('/dev/ttyACM0',
%   '/dev/ttyUSB0', or better a stable name under /dev/serial/by-id/),
%   a COM name on Windows ('COM3', also 'COM10' and above).
%     global IO_LIB
%     IO_LIB = eegmex_serialport('/dev/ttyACM0');
%     trigout(888, 12);      % the byte 12 now, the byte 0 10 ms later
%
%   Options (names case-insensitive)
%     'Protocol'  'byte' (default): the value as one raw byte, 0 to 255,
%                 never through a text encoding; the box sets its lines
%                 to it. 'text': the Template filled in with the value.
%     'Template'  for 'text': a printf-style text with one integer
%                 conversion (%d, %i, %u, %x, %X, %o or %c, with flags
%                 and a width of up to two digits); \n, \r, \t and \\
%                 are a line feed, a carriage return, a tab and a
%                 backslash. Default '%d\n'. Example: 'WRITE %d\n'.
%     'Baud'      line speed, a standard rate (default 115200). USB
%                 boxes mostly ignore it.
%     'Port'      the port address trigout's first argument names for
%                 this device (default: any address no other device
%                 names). Call eegmex_serialport once per device to drive
%                 several boxes at once, each with its own 'Port'.
%   Setting a device again (or another device for the same Port)
%   replaces its settings; eegmex_serialport('clear') forgets them all.
%
%   The device is opened by the first trigout call after this (raw 8N1,
%   no echo, no flow control, no translation; nothing is written at
%   open) and stays open until "clear trigout". Some boards reset when
%   a port is opened: send trigout(PORT, 0, 0) once at the start of the
%   session, before the first trigger that counts. On Linux the modem
%   lines stay up when the device is closed, so a later open does not
%   reset such a board again.
%
%   The device is opened for this program alone where the system allows
%   it; what the box sends (answers to commands) is discarded.
%
%   Each pulse is one write of its byte or text, never waiting for the
%   bytes to leave; a box that takes nothing holds a write at most 2 ms
%   (on Windows too, on a high-resolution timer; before Windows 10
%   version 1803 one tick of the system timer, 15.6 ms by default). A
%   command the box took only part of is completed before anything else
%   is written to it, so the box never reads another code. A write that
%   fails, a cut command, or a device that hung up makes the next trigout
%   call to that box's Port raise an error naming the device and the
%   reason (pulses to other boxes go on); a device that vanished is
%   opened again by the call after, once it is back. A USB-serial
%   adapter whose latency timer is above 1 ms gives a warning at the
%   open with the command that sets it to 1.
%
%   A NUL character in DEVICE or Template is refused (the library would
%   open another device, or send a command cut short).
%
%   The settings travel in the environment variable EEGMEX_SERIALPORT,
%   read by the library on trigout's calls. (The Python package gives
%   them to the library through its export SerialportConfigure instead,
%   so that it never changes the environment while other threads run.)
%
%   See also TRIGOUT, EEGMEX_SIMPORT.  eegmex @EEGMEX_VERSION@, MIT license.

  if nargin < 1 || ~ischar(device) || isempty(device) || size(device, 1) ~= 1
    error('eegmex_serialport: DEVICE must be the text of a device path or COM name');
  end
  if any(device == 0)
    error('eegmex_serialport: DEVICE holds a NUL character');
  end
  if strcmpi(device, 'clear') && nargin == 1
    setenv('EEGMEX_SERIALPORT', '');
    file = eegmex_simport('serialport');
    return;
  end
  if mod(numel(varargin), 2) ~= 0
    error('eegmex_serialport: options come as Name, Value pairs');
  end
  protocol = 'byte';
  template = '%d\n';
  baud = 115200;
  port = '*';
  for k = 1:2:numel(varargin)
    name = varargin{k};
    value = varargin{k + 1};
    if ~ischar(name)
      error('eegmex_serialport: an option name must be text');
    end
    switch lower(name)
      case 'protocol'
        if ~ischar(value) || ~any(strcmpi(value, {'byte', 'text'}))
          error('eegmex_serialport: Protocol must be ''byte'' or ''text''');
        end
        protocol = lower(value);
      case 'template'
        if ~ischar(value) || isempty(value) || size(value, 1) ~= 1
          error('eegmex_serialport: Template must be a line of text');
        end
        if any(value == 0)
          error('eegmex_serialport: Template holds a NUL character');
        end
        rest = strrep(value, '%%', '');
        if numel(regexp(rest, '%[-+ 0#]*[0-9]{0,2}[diuxXoc]')) ~= 1 || numel(strfind(rest, '%')) ~= 1
          error('eegmex_serialport: Template must hold exactly one integer conversion such as %%d');
        end
        template = value;
      case 'baud'
        if ~isnumeric(value) || ~isscalar(value) || ~isreal(value) || value ~= fix(value) || value <= 0
          error('eegmex_serialport: Baud must be a positive whole number');
        end
        baud = double(value);
      case 'port'
        if ~isnumeric(value) || ~isscalar(value) || ~isreal(value) || value ~= fix(value) || ...
            value < 0 || value > 65535
          error('eegmex_serialport: Port must be a whole number from 0 to 65535');
        end
        port = sprintf('%d', double(value));
      otherwise
        error('eegmex_serialport: unknown option ''%s'' (Protocol, Template, Baud or Port)', name);
    end
  end
  file = eegmex_simport('serialport');

  % One entry a device: "<port>,<baud>,<protocol>,<device>,<template>", the texts as hex bytes.
  hex = @(s) sprintf('%02x', utf8_bytes(s));
  mine = sprintf('%s,%d,%s,%s,%s', port, baud, protocol, hex(device), hex(template));
  entries = {};
  old = getenv('EEGMEX_SERIALPORT');
  if ~isempty(old)
    entries = strsplit(old, ';');
  end
  keep = true(size(entries));
  for k = 1:numel(entries)
    f = strsplit(entries{k}, ',');
    keep(k) = numel(f) == 5 && ~strcmp(f{1}, port) && ~strcmp(f{4}, hex(device));
  end
  entries = [entries(keep), {mine}];
  setenv('EEGMEX_SERIALPORT', strjoin(entries, ';'));
end

function b = utf8_bytes(s)
% The text's bytes in UTF-8 (Octave's char arrays already are).
  if exist('OCTAVE_VERSION', 'builtin')
    b = double(s);
  else
    b = double(unicode2native(s, 'UTF-8'));
  end
end
