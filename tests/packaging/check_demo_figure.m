function check_demo_figure(outfile, committed)
% The demo draws its PNG: a real picture of the expected size (not a blank or a stub), and
% the numbers it reports show the filter at work: the 10 Hz rhythm passes, the 120 Hz
% artefact in the stop band is strongly attenuated, and the port saw every pulse. The copy
% committed for the README passes the same file checks.
  if exist(outfile, 'file')
    delete(outfile);
  end
  s = demo_figure(outfile);
  check_png(outfile);
  check_png(committed);
  assert(abs(s.gain10) < 1, '10 Hz changed by %.1f dB', s.gain10);
  assert(s.gain120 < -30, '120 Hz only %.1f dB down', s.gain120);
  assert(s.gain50 < -6, '50 Hz only %.1f dB down', s.gain50);
  assert(s.writes >= 9, 'the port log shows %d writes', s.writes);
  printf('check_demo_figure: %s and %s are real figures\n', outfile, committed);
end

% PNG signature, IHDR dimensions and a size no blank image of those dimensions compresses to.
function check_png(file)
  fid = fopen(file, 'r');
  assert(fid >= 0, 'no figure at %s', file);
  bytes = fread(fid, Inf, 'uint8=>double')';
  fclose(fid);
  assert(numel(bytes) > 24 && isequal(bytes(1:8), [137 80 78 71 13 10 26 10]), '%s is not a PNG', file);
  assert(isequal(char(bytes(13:16)), 'IHDR'), '%s has no IHDR', file);
  width = bytes(17:20) * [2^24; 2^16; 2^8; 1];
  height = bytes(21:24) * [2^24; 2^16; 2^8; 1];
  assert(width >= 800 && height >= 800, '%s is only %dx%d', file, width, height);
  assert(numel(bytes) > 30000, '%s is only %d bytes', file, numel(bytes));
end
