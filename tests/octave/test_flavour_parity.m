% The native modules (NAME.oct) behave as the MEX modules (NAME.mex) do in the same Octave: each
% case below runs once with each flavour first on the path, and what the caller sees must be the
% same: results, error messages and identifiers, warnings, what the in-place form writes into
% storage shared with other variables (or loses, for values without storage of their own), and
% the result of a call without an output (ans). The flavours come from EEGMEX_BUILD and its mex/.
1;

function name = recording(X, fmt)
  name = [tempname() '.bin'];
  fid = fopen(name, 'w', 'ieee-le');
  fwrite(fid, X', fmt);
  fclose(fid);
end

% Every observation of one flavour, in a struct that isequal compares field by field.
function o = observe(folder, ext)
  addpath(folder);
  clear eegfetch trigout
  for f = {'eegfetch', 'trigout'}
    [d, ~, e] = fileparts(which(f{1}));
    assert(strcmp(d, folder) && strcmp(e, ext), '%s resolves to %s', f{1}, which(f{1}));
  end

  X = double(reshape(1:64, 16, 4));
  o.X = X;
  name = recording(X, 'int16');
  cleanup = onCleanup(@() delete(name));
  H = struct('fs', 4, 'nChans', 4, 'BinaryFormat', 1, 'scale', ones(1, 4), 'endian', 'l');
  O = struct('chanidx', [4 1], 'fs', 1);

  % Errors: message and identifier, the first fault of each call.
  calls = {@() eegfetch(name, H), @() eegfetch(5, H, O), @() eegfetch(['ab'; 'cd'], H, O), ...
           @() eegfetch(name, rmfield(H, 'fs'), O), @() eegfetch(name, H, setfield(O, 'fs', 3)), ...
           @() eegfetch(name, H, setfield(O, 'data', int16(zeros(4, 2)))), ...
           @() trigout(888), @() trigout(888, 1, 2, 3, 4), @() trigout('x', 1)};
  o.errors = {};
  for k = 1:numel(calls)
    try
      calls{k}();
      o.errors{end + 1} = 'no error';
    catch err
      o.errors{end + 1} = {err.message, err.identifier};
    end
  end
  try
    [a, b, c] = eegfetch(name, H, O); %#ok<ASGLU>
  catch err
    o.errors{end + 1} = {err.message, err.identifier};
  end

  % A warning: text and identifier.
  lastwarn('', '');
  Z = eegfetch(name, setfield(H, 'nPoints', 40), O);
  [msg, id] = lastwarn();
  o.warning = {msg, id, Z};

  % A file that ends within a block: the rows of blocks it never completes are zeros.
  short = recording(double(reshape(1:72, 18, 4)), 'int16');
  cleanupShort = onCleanup(@() delete(short));
  o.short = eegfetch(short, setfield(H, 'nPoints', 41), setfield(O, 'chanidx', [2 4 2]));

  % No output asked for: the new matrix becomes ans.
  eegfetch(name, H, O);
  o.ans = ans;

  % In place into storage shared with another variable: a whole matrix, a column slice, a scalar.
  D = zeros(4, 2);
  P = setfield(O, 'data', D);
  eegfetch(name, H, P);
  o.shared = {D, P.data};
  M = -ones(4, 3);
  P = setfield(O, 'data', M(:, 2:3));
  eegfetch(name, H, P);
  o.slice = {M, P.data};
  s = 0;
  P = struct('chanidx', 1, 'fs', 4, 'dataPos', [0 0 3 3], 'data', s);
  eegfetch(name, H, P);
  o.scalar = {s, P.data};

  % Values without storage of their own: a range and a diagonal matrix; the returned copy.
  P = struct('chanidx', [1 2 3 4 1], 'fs', 4, 'data', 0:4, 'dataPos', [0 0 2 2]);
  Y = eegfetch(name, H, P);
  o.range = {P.data, Y};
  P = setfield(O, 'data', 2 * eye(2));
  Y = eegfetch(name, H, P);
  o.diagonal = {P.data, Y, full(P.data)};

  % Arguments held as ranges, a lazy index, integers and a logical flag read as their values.
  [~, order] = sort([3 1 2 4]);
  P = struct('chanidx', order, 'fs', 2, 'filt_b', [0.5 0.5], 'filt_a', [1 0], 'resume', true);
  o.values = eegfetch(name, setfield(H, 'scale', (1:4) * 0.5), P);
  o.integers = eegfetch(name, setfield(H, 'fs', int8(4)), setfield(O, 'chanidx', uint16([2 3])));

  rmpath(folder);
  clear eegfetch trigout
end

build = getenv('EEGMEX_BUILD');
global IO_LIB
IO_LIB = fullfile(build, 'portlibs', 'no_such_library.so');
native = observe(build, '.oct');
mex = observe(fullfile(build, 'mex'), ['.' mexext]);
for f = fieldnames(native)'
  assert(isequal(native.(f{1}), mex.(f{1})), 'the flavours differ in %s:\n native: %s\n mex:    %s', f{1}, ...
         disp(native.(f{1})), disp(mex.(f{1})));
end
% The cases do what they are meant to: rows were written where storage was shared, lost where not.
assert(any(native.shared{1}(:) ~= 0) && isequal(native.shared{1}, native.shared{2}));
assert(isequal(native.slice{1}(:, 2:3), native.slice{2}) && all(native.slice{1}(:, 1) == -1));
X = native.X;
assert(native.scalar{1} == X(4, 1) && native.scalar{2} == X(4, 1));
assert(isequal(native.range{1}, 0:4) && isequal(native.range{2}, X(3, [1 2 3 4 1])));
assert(isequal(native.diagonal{3}, 2 * eye(2)) && isequal(native.diagonal{2}, X([4 8], [4 1])));
assert(numel(native.errors) == 10 && all(cellfun(@iscell, native.errors)));
assert(~isempty(strfind(native.warning{1}, 'only 16 whole frames')));
S = reshape(1:72, 18, 4);
assert(isequal(native.short, [S(4:4:16, [2 4 2]); zeros(6, 3)]));
disp('test_flavour_parity: ok');
