%TRIGOUT  Send a trigger pulse to a parallel port through a port I/O library.
%
%   trigout(port, value)
%   trigout(port, value, duration)
%   trigout(port, value, duration, delay)
%
%   Writes the byte value to the I/O port address port, either during the
%   call (delay 0) or delay milliseconds after it, and writes 0 to the same
%   port duration milliseconds after that. The call returns at once: the
%   delayed write and the reset run on the module's one timer thread,
%   which keeps every pending pulse (a call starts no thread of its own).
%
%   Arguments (real numbers of any numeric class; the first element is
%   used and truncated toward zero)
%     port      I/O port address (e.g. 888 = 0x378, the first parallel
%               port); the low 16 bits are used: 888.9 addresses 888.
%     value     byte to write; the low 8 bits are used: 256 writes 0,
%               3.7 writes 3, -1 writes 255, uint8(200) writes 200.
%     duration  milliseconds from the write of value to the reset,
%               0 to 2147483647. Default 10.
%     delay     milliseconds from the call to the write of value,
%               0 to 2147483647. Default 0: value is written during the
%               call.
%   trigout returns nothing.
%
%   Unsafe input (refused with an error, before any write)
%     - port or value empty, complex, sparse, not numeric (char,
%       logical, struct, cell), NaN or Inf;
%     - duration or delay not a finite real number, negative after
%       truncation (-0.5 is 0), or over 2147483647 ms;
%     - an empty or non-text IO_LIB is a library that cannot be loaded.
%   The library is bound before the arguments are read, so a missing or
%   broken IO_LIB is reported first.
%
%   IO_LIB
%     The port I/O library is named by the global variable IO_LIB, read
%     anew on every call: the library's file, as a full path or a name
%     the system's library search finds. It must be global:
%       global IO_LIB
%       IO_LIB = 'C:\path\to\your\portio.dll';
%     The library must export Out32(port, value), Inp32(port) and
%     IsInpOutDriverOpen(), the usual interface of Windows port I/O
%     driver libraries (stdcall on 32-bit Windows);
%     IsInpOutDriverOpen() must return nonzero; it is asked on every
%     call. A library may also export PortLibraryMessage(), asked right
%     after it: why the driver is closed (raised instead of the fixed
%     message) or, when it is open, a warning shown once the call is done.
%     A library driving several devices may export PortLibraryPortOpen(port),
%     asked in place of IsInpOutDriverOpen() for the call's own port, so
%     that one device's fault never refuses a pulse to another. The
%     library of the last successful call stays loaded, so the
%     next call with the same IO_LIB does not load it again; each pulse
%     keeps its own library's entries and holds that library until its
%     reset is done, so IO_LIB may change between calls (a library neither
%     named nor held by a pulse is unloaded on the calling thread, at the
%     latest by the next call or by clearing trigout).
%
%   Port libraries we ship
%     simport     simulated ports, every platform: no hardware; each port
%                 keeps its last value and, when the environment variable
%                 SIMPORT_LOG names a file, every write is appended to it as
%                 "<ns> <port> <value> sim" (monotonic nanoseconds), within
%                 about 50 ms, and all of them by the time "clear trigout"
%                 returns.
%                 SIMPORT_DRIVER_CLOSED=1 makes it report a closed driver;
%                 SIMPORT_WRITE_US=n makes each write n microseconds slower.
%                 Its file: eegmex_simport().
%     serialport  USB trigger boxes and other serial-port devices (each
%                 value as one raw byte, or as a text command): set up
%                 with IO_LIB = eegmex_serialport(DEVICE, ...); see
%                 help eegmex_serialport.
%     ppdevport   real parallel ports on Linux through the kernel's ppdev
%                 driver: port = the base address from
%                 /proc/sys/dev/parport/parportN/base-addr (data register),
%                 base+2 the control register. Needs the ppdev module, lp
%                 unloaded, and read-write access to /dev/parportN (group
%                 lp). Its file: eegmex_simport('ppdevport').
%     On Windows name the port I/O driver library installed for your
%     port.
%
%   Timing
%     - With no delay, value is on the port before trigout returns.
%     - The reset comes about duration ms after the write of value
%       (operating-system sleeps: a few ms later, never earlier).
%     - Overlapping pulses: the reset writes 0 only if the last byte this
%       module wrote to the pulse's port is still this pulse's value. A
%       newer pulse on that port with another value keeps the port at the
%       newer value and the older reset is skipped; a newer pulse there
%       with the same value is ended early by the older pulse's reset.
%       Pulses on other ports do not matter: each port is reset after its
%       own pulse.
%     - Value 0 writes 0 at once and again after the duration.
%     - Waits run to absolute deadlines on the monotonic clock, measured
%       from the actual write of value; several pulses may wait at once,
%       all kept by one timer thread of the module. Linux: that thread
%       runs without timer slack; Windows: a high-resolution waitable
%       timer where the system has one.
%     - The reset test and the reset write are one step under a lock, so
%       a value another call writes in between is never cleared.
%     - When the module is cleared (clear trigout, clear all, clear
%       functions) or Octave exits, pending pulses first finish as
%       scheduled, writes and resets included: the clear may take up to
%       the longest pending pulse.
%     - After clear trigout, a rebuilt trigout.mex loads at the next call;
%       a rebuilt trigout.oct once Octave has been back at its prompt (in
%       one script, the old build runs on: start a new Octave).
%
%   Errors
%     trigout: Two or three or four input arguments required
%     trigout: No output argument allowed
%     trigout: IO_LIB not found or is nor global variable.
%     trigout: IO_LIB must not hold a NUL character.
%     trigout: LoadLibrary Failed. Check IO_LIB.
%     trigout: GetProcAddress for Oup32 Failed.        (no Out32 export)
%     trigout: GetProcAddress for Inp32 Failed.
%     trigout: GetProcAddress for IsOpen Failed.       (no IsInpOutDriverOpen)
%     trigout: Parellel Port library is not loaded.(Try running as an administrator).
%              (IsInpOutDriverOpen returned 0; a library that says why,
%              such as serialport, gives its own reason instead, e.g.
%              "trigout: serialport: cannot open /dev/ttyACM0: ...")
%     trigout: port must be a finite real number.
%     trigout: value must be a finite real number.
%     trigout: duration must be a finite real number.
%     trigout: duration must not be negative.
%     trigout: duration must be at most 2147483647 ms.
%     trigout: delay must be a finite real number.
%     trigout: delay must not be negative.
%     trigout: delay must be at most 2147483647 ms.
%     trigout: Out of memory while binding the port library.
%     trigout: Out of memory for the pulse request.
%     trigout: Could not start the pulse thread; a value written by this call was reset.
%              (the system refused the timer thread, which the first
%              pulse after each load starts)
%   Nothing is written to the port when any of these is raised, except
%   for the last, where a value already written is reset.
%
%   Examples
%     global IO_LIB; IO_LIB = eegmex_simport();   % simulated port
%     trigout(888, 255);              % 255 now, 0 about 10 ms later
%     trigout(888, 1, 50, 20);        % 1 after 20 ms, 0 50 ms after that
%
%     % overlapping pulses: 1, then 2 after 5 ms; the port ends at 0 once
%     % the second pulse's 10 ms are over, the first reset is skipped
%     trigout(888, 1); pause(0.005); trigout(888, 2);
%
%   See also EEGFETCH, EEGMEX_SIMPORT, EEGMEX_SERIALPORT.  eegmex @EEGMEX_VERSION@, MIT license.
