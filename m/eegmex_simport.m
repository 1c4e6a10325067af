function file = eegmex_simport(name)
%EEGMEX_SIMPORT  File of the simulated port I/O library that ships with eegmex.
%
%   file = eegmex_simport()
%   file = eegmex_simport('ppdevport')   % the Linux ppdev library instead
%   (eegmex_serialport finds the serial port library through it)
%
%   Returns the full path of the simulated port library (simport.so on
%   Linux, simport.dylib on macOS, simport.dll on Windows), for trying
%   trigout without a parallel port:
%     global IO_LIB
%     IO_LIB = eegmex_simport();
%     trigout(888, 1);
%
%   The simulated library keeps the last value written to each port and,
%   when the environment variable SIMPORT_LOG names a file, appends every
%   write to it as one line "<ns> <port> <value> <tag>" (monotonic
%   nanoseconds, port, value, "sim"), within about 50 ms of the
%   write and all of them by the time "clear trigout" returns:
%     setenv('SIMPORT_LOG', fullfile(tempdir, 'ports.log'));
%   SIMPORT_DRIVER_CLOSED=1 makes it report a closed driver.
%
%   It is looked for beside this file, beside the trigout module, and in a
%   portlibs folder next to either (the build tree), on Windows also in a
%   portlibs-mexw32 or portlibs-mexw64 folder (the release). Raises an error
%   when it is not found.
%
%   See also TRIGOUT.  eegmex @EEGMEX_VERSION@, MIT license.

  if nargin < 1
    name = 'simport';
  end
  if ispc
    name = [name '.dll'];
  elseif ismac
    name = [name '.dylib'];
  else
    name = [name '.so'];
  end
  dirs = {fileparts(mfilename('fullpath'))};
  mod = which('trigout');
  if ~isempty(mod)
    dirs{end + 1} = fileparts(mod);
  end
  subs = {'', 'portlibs'};
  if ispc
    % The Windows release keeps each architecture's libraries in a folder of its own.
    subs{end + 1} = ['portlibs-' mexext()];
  end
  for k = 1:numel(dirs)
    for sub = subs
      file = fullfile(dirs{k}, sub{1}, name);
      if exist(file, 'file')
        return;
      end
    end
  end
  error('eegmex_simport: %s not found beside %s', name, strjoin(dirs, ' or '));
end
