% eegfetch's messages as Octave shows them ("eegfetch: " before the text), the precedence of
% the checks, and unsafe inputs that must end in a clear error, never in a crash.
1;

function C = seth(C, f, v)
  C.H.(f) = v;
end
function C = seto(C, f, v)
  C.O.(f) = v;
end
function C = droph(C, f)
  C.H = rmfield(C.H, f);
end
function C = dropo(C, f)
  C.O = rmfield(C.O, f);
end

function expect_error(C, want, what)
  try
    switch C.nargs
      case 2
        eegfetch(C.name, C.H);
      case 4
        eegfetch(C.name, C.H, C.O, 1);
      otherwise
        if C.nout == 3
          [a, b, c] = eegfetch(C.name, C.H, C.O);
        else
          eegfetch(C.name, C.H, C.O);
        end
    end
  catch err
    if ! strcmp(err.message, ['eegfetch: ' want])
      error('%s: got "%s", want "eegfetch: %s"', what, err.message, want);
    end
    return;
  end
  error('%s: no error, want "%s"', what, want);
end

% A valid call: 4 int16 channels at 1000 Hz read at 250 Hz into OPT.data.
name = [tempname() '.bin'];
fid = fopen(name, 'w');
fwrite(fid, int16(mod((0:159) * 37, 201) - 100), 'int16', 0, 'ieee-le');
fclose(fid);
cleanup = onCleanup(@() delete(name));

base.name = name;
base.nargs = 3;
base.nout = 1;
base.H = struct('fs', 1000, 'nChans', 4, 'BinaryFormat', 1, 'nPoints', 40, ...
                'scale', [1 2 3 4], 'endian', 'l');
base.O = struct('chanidx', [2 4], 'fs', 250, 'data', zeros(10, 2), 'dataPos', [0 9 0 -1], ...
                'filt_a', [1 -0.5], 'filt_b', [0.5 0.5], 'filt_subsample', [0.25 0.25 0.25 0.25]);
X = eegfetch(base.name, base.H, base.O);
assert(size(X), [10 2]);

% {change, message}, in the order of the checks.
cases = {
  @(C) setfield(C, 'nargs', 2),                 'Exactly three input arguments required.'
  @(C) setfield(C, 'nargs', 4),                 'Exactly three input arguments required.'
  @(C) setfield(C, 'nout', 3),                  'One or two output arguments required.'
  @(C) setfield(C, 'name', 42),                 'Could not read file name.'
  @(C) setfield(C, 'name', [C.name char(0) 'x']), 'The file name must not hold a NUL character.'
  @(C) setfield(C, 'name', '/nonexistent/x'),   'Could not open eeg file.'
  @(C) setfield(C, 'H', 7),                     'HDR has to be a struct.'
  @(C) droph(C, 'fs'),                          'The field HDR.fs was not set'
  @(C) droph(C, 'nChans'),                      'The field HDR.nChans was not set'
  @(C) droph(C, 'BinaryFormat'),                'The field HDR.BinaryFormat was not set'
  @(C) droph(C, 'scale'),                       'The field HDR.scale was not set'
  @(C) droph(C, 'endian'),                      'The field HDR.endian was not set'
  @(C) setfield(C, 'H', repmat(C.H, 0, 1)),     'HDR must not be an empty struct array.'
  @(C) seth(C, 'fs', 'x'),                      'HDR.fs must be a real scalar.'
  @(C) seth(C, 'fs', [1000 1000]),              'HDR.fs argument must be real scalar.'
  @(C) seth(C, 'fs', 1000 + 1i),                'HDR.fs must be a real scalar.'
  @(C) seth(C, 'fs', sparse(1000)),             'HDR.fs must not be sparse.'
  @(C) seth(C, 'fs', NaN),                      'HDR.fs must be a finite number within the signed 32-bit range.'
  @(C) seth(C, 'fs', Inf),                      'HDR.fs must be a finite number within the signed 32-bit range.'
  @(C) seth(C, 'fs', 2^31),                     'HDR.fs must be a finite number within the signed 32-bit range.'
  @(C) seth(C, 'fs', 0),                        'HDR.fs must be at least 1.'
  @(C) seth(C, 'nChans', true),                 'HDR.nChans must be a real scalar.'
  @(C) seth(C, 'nChans', []),                   'HDR.nChans argument must be real scalar.'
  @(C) seth(C, 'nChans', -Inf),                 'HDR.nChans must be a finite number within the signed 32-bit range.'
  @(C) seth(C, 'nChans', -4),                   'HDR.nChans must be at least 1.'
  @(C) seth(C, 'BinaryFormat', {1}),            'HDR.BinaryFormat must be a real scalar.'
  @(C) seth(C, 'BinaryFormat', [1 1]),          'HDR.BinaryFormat argument must be real scalar.'
  @(C) seth(C, 'BinaryFormat', 5),              'Unknown Binary Format!'
  @(C) seth(C, 'BinaryFormat', NaN),            'Unknown Binary Format!'
  @(C) seth(C, 'dataOffset', 'x'),              'HDR.dataOffset must be a real scalar.'
  @(C) seth(C, 'dataOffset', 2.5),              'HDR.dataOffset must be a whole number of bytes from 0 to 2^53.'
  @(C) seth(C, 'dataOffset', -1),               'HDR.dataOffset must be a whole number of bytes from 0 to 2^53.'
  @(C) seth(C, 'recordSamples', [1 2]),         'HDR.recordSamples must have HDR.nChans entries.'
  @(C) seth(C, 'recordSamples', [1 2 3 -1]),    'HDR.recordSamples entries must be whole numbers from 0 to 2147483647.'
  @(C) seth(C, 'recordSamples', [0 0 0 0]),     'HDR.recordSamples must make records of 1 byte to 1 GiB.'
  @(C) seth(C, 'recordSamples', [1 2 3 4]),     'OPT.chanidx selects channels with different HDR.recordSamples counts: read the channels of one rate at a time.'
  @(C) seth(C, 'recordSamples', [1 0 1 0]),     'OPT.chanidx selects a channel with no samples in a record (HDR.recordSamples is 0).'
  @(C) seth(C, 'offset', [1 2]),                'HDR.offset must have HDR.nChans entries.'
  @(C) seth(C, 'nPoints', 'many'),              'HDR.nPoints must be a real scalar.'
  @(C) seth(C, 'nPoints', zeros(1, 0)),         'HDR.nPoints argument must be real scalar.'
  @(C) seth(C, 'nPoints', 1e10),                'HDR.nPoints must be a finite number within the signed 32-bit range.'
  @(C) seth(C, 'nPoints', -1),                  'HDR.nPoints must not be negative.'
  @(C) seth(C, 'scale', 'abcd'),                'HDR.scale must be a real scalar vector.'
  @(C) seth(C, 'scale', [1 2 3 4]'),            'HDR.scale has to be a vector.'
  @(C) seth(C, 'scale', [1 2 3]),               'HDR.scale has to be a vector with the size of nChanns.'
  @(C) seth(C, 'scale', sparse([1 2 3 4])),     'HDR.scale must not be sparse.'
  @(C) seth(C, 'scale', [1 2 3 4i]),            'HDR.scale must be a real scalar vector.'
  @(C) seth(C, 'endian', 1),                    'HDR.endian must be a character.'
  @(C) seth(C, 'endian', 'lb'),                 'HDR.endian argument must be character.'
  @(C) seth(C, 'endian', 'B'),                  'HDR.endian must be ''l'' or ''b'', see documentation.'
  @(C) setfield(C, 'O', 'opt'),                 'OPT has to be a struct.'
  @(C) dropo(C, 'chanidx'),                     'The field OPT.chanidx was not set'
  @(C) dropo(C, 'fs'),                          'The field OPT.fs was not set'
  @(C) setfield(C, 'O', repmat(C.O, 1, 0)),     'OPT must not be an empty struct array.'
  @(C) seto(C, 'chanidx', 'ab'),                'OPT.chanidx must be a real scalar vector.'
  @(C) seto(C, 'chanidx', [2; 4]),              'OPT.chanidx has to be a vector.'
  @(C) seto(C, 'chanidx', sparse([2 4])),       'OPT.chanidx must not be sparse.'
  @(C) seto(C, 'chanidx', [2 0]),               'OPT.chanidx entries must be channel numbers from 1 to HDR.nChans.'
  @(C) seto(C, 'chanidx', [5 4]),               'OPT.chanidx entries must be channel numbers from 1 to HDR.nChans.'
  @(C) seto(C, 'chanidx', [NaN 4]),             'OPT.chanidx entries must be channel numbers from 1 to HDR.nChans.'
  @(C) seto(C, 'chanidx', [-Inf 4]),            'OPT.chanidx entries must be channel numbers from 1 to HDR.nChans.'
  @(C) seth(C, 'scale', NaN(size(C.H.scale))),  'HDR.scale of a channel OPT.chanidx selects is not a finite number: its scale is unknown.'
  @(C) seto(C, 'fs', 'f'),                      'OPT.fs must be a real scalar.'
  @(C) seto(C, 'fs', [250 250]),                'OPT.fs argument must be real scalar.'
  @(C) seto(C, 'fs', NaN),                      'OPT.fs must be a finite number within the signed 32-bit range.'
  @(C) seto(C, 'fs', 0.5),                      'OPT.fs must be at least 1.'
  @(C) seto(C, 'fs', 300),                      ' The base frequency has to be a multiple of the requested frequency.'
  @(C) seto(C, 'fs', 2000),                     ' The base frequency has to be a multiple of the requested frequency.'
  @(C) seto(C, 'data', 'ab'),                   'OPT.data must be a real scalar matrix.'
  @(C) seto(C, 'data', zeros(10, 3)),           'OPT.data must have the same size as chanidx.'
  @(C) seto(C, 'data', single(zeros(10, 2))),   'OPT.data must be a real double matrix.'
  @(C) seto(C, 'data', int16(zeros(10, 2))),    'OPT.data must be a real double matrix.'
  @(C) seto(C, 'data', complex(zeros(10, 2))),  'OPT.data must be a real double matrix.'
  @(C) seto(C, 'data', sparse(10, 2)),          'OPT.data must be a real double matrix.'
  @(C) seto(C, 'dataPos', 'abcd'),              'OPT.dataPos must be a real scalar vector.'
  @(C) seto(C, 'dataPos', [0 9 0 -1]'),         'OPT.dataPos must be a vector.'
  @(C) seto(C, 'dataPos', [0 9 0]),             'OPT.dataPos must have the size 4'
  @(C) seto(C, 'dataPos', [0 9 0 NaN]),         'OPT.dataPos entries must be finite numbers within the signed 32-bit range.'
  @(C) seto(C, 'dataPos', [0 -2^32 0 -1]),      'OPT.dataPos entries must be finite numbers within the signed 32-bit range.'
  @(C) dropo(C, 'filt_b'),                      'OPT.filt_a or OPT.filt_b was not set.'
  @(C) dropo(C, 'filt_a'),                      'OPT.filt_a or OPT.filt_b was not set.'
  @(C) seto(C, 'filt_a', 'a'),                  'OPT.filt_a must be a real scalar vector.'
  @(C) seto(C, 'filt_a', eye(2)),               'OPT.filt_a has to be a vector.'
  @(C) seto(C, 'filt_b', {0.5 0.5}),            'OPT.filt_b must be a real scalar vector.'
  @(C) seto(C, 'filt_b', [0.5; 0.5]),           'OPT.filt_b has to be a vector.'
  @(C) seto(C, 'filt_b', [1 2 3]),              'OPT.filt_a and OPT.filt_b must have the same size.'
  @(C) seto(C, 'filt_a', sparse([1 -0.5])),     'OPT.filt_a must not be sparse.'
  @(C) seto(C, 'filt_b', [0.5 0.5i]),           'OPT.filt_b must be a real scalar vector.'
  @(C) seto(C, 'filt_subsample', 'wwww'),       'OPT.filt_subsample must be a real scalar vector.'
  @(C) seto(C, 'filt_subsample', ones(2, 4)),   'OPT.filt_subsample has to be a vector.'
  @(C) seto(C, 'filt_subsample', [0.5 0.5]),    'FIR filter has to correspondent with the sampling rate.'
  @(C) seto(C, 'filt_subsample', sparse(ones(1, 4))), 'OPT.filt_subsample must not be sparse.'
  @(C) seto(C, 'newest', 'yes'),                'OPT.newest must be a logical or numeric scalar.'
  @(C) seto(C, 'newest', [true true]),          'OPT.newest must be a scalar.'
  @(C) seto(C, 'newest', NaN),                  'OPT.newest must not be NaN.'
  @(C) seto(dropo(C, 'data'), 'newest', true),  'OPT.newest needs OPT.data.'
  @(C) seto(seto(C, 'dataPos', [0 1 0 1]), 'newest', 1), 'OPT.newest places the rows itself: give OPT.newest or OPT.dataPos, not both.'
  @(C) seto(C, 'threads', 0),                   'OPT.threads must be a whole number of threads from 1 to 16.'
  @(C) seto(C, 'threads', 2.5),                 'OPT.threads must be a whole number of threads from 1 to 16.'
  @(C) seto(C, 'threads', [1 2]),               'OPT.threads must be a whole number of threads from 1 to 16.'
};

for k = 1:rows(cases)
  expect_error(cases{k, 1}(base), cases{k, 2}, sprintf('case %d', k));
end

% Precedence: with a later check failing too, the earlier message still wins (every pair is
% covered by the embedded-host tests; these are the ones users meet).
pairs = {
  seth(droph(base, 'BinaryFormat'), 'fs', 'x'),          'The field HDR.BinaryFormat was not set'
  dropo(seth(base, 'fs', 'x'), 'chanidx'),               'HDR.fs must be a real scalar.'
  seth(dropo(base, 'fs'), 'scale', [1 2]),               'HDR.scale has to be a vector with the size of nChanns.'
  seto(seth(base, 'endian', 'x'), 'fs', 300),            'HDR.endian must be ''l'' or ''b'', see documentation.'
  seto(seto(base, 'chanidx', [9 1]), 'fs', 300),         'OPT.chanidx entries must be channel numbers from 1 to HDR.nChans.'
  seto(seto(base, 'fs', 300), 'data', 'x'),              ' The base frequency has to be a multiple of the requested frequency.'
  dropo(seto(base, 'dataPos', [1 2]), 'filt_a'),         'OPT.dataPos must have the size 4'
  seto(dropo(base, 'filt_b'), 'filt_subsample', 1),      'OPT.filt_a or OPT.filt_b was not set.'
};
for k = 1:rows(pairs)
  expect_error(pairs{k, 1}, pairs{k, 2}, sprintf('pair %d', k));
end

% The file is opened before HDR is looked at.
expect_error(setfield(setfield(base, 'name', '/nonexistent/x'), 'H', 'no'), 'Could not open eeg file.', 'open first');

% OPT.dataPos without OPT.data is ignored, whatever its shape.
O = rmfield(base.O, 'data');
O.dataPos = {'anything'};
X = eegfetch(base.name, base.H, O);
assert(size(X), [10 2]);

% Unsafe inputs beyond the table: each gives an error or a result, never a crash.
odd = {[], NaN, -Inf, Inf, 1e300, -1e300, int64(-9e18), uint64(18e18), 'x', {}, struct(), @sin, true, 1:0};
fields = {'fs', 'nChans', 'BinaryFormat', 'nPoints', 'scale', 'endian'};
for f = fields
  for v = odd
    C = seth(base, f{1}, v{1});
    try
      eegfetch(C.name, C.H, C.O);
    catch err
      assert(strncmp(err.message, 'eegfetch: ', 10), err.message);
    end
  end
end
fields = {'chanidx', 'fs', 'data', 'dataPos', 'filt_a', 'filt_b', 'filt_subsample'};
for f = fields
  for v = odd
    C = seto(base, f{1}, v{1});
    try
      eegfetch(C.name, C.H, C.O);
    catch err
      assert(strncmp(err.message, 'eegfetch: ', 10), err.message);
    end
  end
end
% The module still answers after all that.
assert(size(eegfetch(base.name, base.H, base.O)), [10 2]);
disp('test_eegfetch_messages: ok');
