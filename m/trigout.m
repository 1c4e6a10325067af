%TRIGOUT  Send a trigger pulse to a parallel port through a port I/O library.
%
%   trigout(port, value)
%   trigout(port, value, duration)
%   trigout(port, value, duration, delay)
%
%   Writes the byte value to the I/O port address port, either during the
%   call (delay 0) or delay milliseconds after it, and writes 0 to the same
%   port duration milliseconds after that. The call returns at once: the
%   delayed write and the reset run on a background thread, one per call.
%
%   Arguments (numbers are truncated toward zero)
%     port      double, the I/O port address (e.g. 888 = 0x378, LPT1);
%               the low 16 bits are used; 888.9 addresses 888.
%     value     double, the byte to write; the low 8 bits are used
%               (256 writes 0, 3.7 writes 3).
%     duration  double, milliseconds from the write of value to the reset.
%               Default 10.
%     delay     double, milliseconds from the call to the write of value.
%               Default 0: value is written during the call.
%   trigout returns nothing.
%
%   IO_LIB
%     The port I/O library is named by the global variable IO_LIB, read
%     anew on every call (a full path, or a name the system's library
%     search finds):
%       global IO_LIB
%       IO_LIB = 'C:\Windows\System32\inpoutx64.dll';
%     The library must export Out32(port, value), Inp32(port) and
%     IsInpOutDriverOpen(); IsInpOutDriverOpen must return nonzero. Each
%     call loads the library and its pulse thread releases it.
%
%   Port libraries we ship
%@PORT_LIBRARIES@
%
%   Timing
%     - With no delay, value is on the port before trigout returns.
%     - The reset comes about duration ms after the write of value
%       (operating-system sleeps: a few ms later, never earlier).
%     - Overlapping pulses: the reset writes 0 only if the last byte this
%       module wrote is still this pulse's value (whatever port it went
%       to). A newer pulse with another value keeps the port at the newer
%       value and the older reset is skipped; a newer pulse with the same
%       value is ended early by the older pulse's reset.
%     - Value 0 writes 0 at once and again after the duration.
%@TIMING_EXTRA@
%
%   Errors
%@ERRORS@
%
%   Examples
%     global IO_LIB; IO_LIB = eegmex_simport();   % simulated port
%     trigout(888, 255);              % 255 now, 0 about 10 ms later
%     trigout(888, 1, 50, 20);        % 1 after 20 ms, 0 50 ms after that
%
%   See also EEGFETCH, EEGMEX_SIMPORT.  eegmex @EEGMEX_VERSION@, MIT license.
