% The in-place write into OPT.data's storage, and the warning eegfetch:sharedData where that storage
% is shared with another value. The native module (NAME.oct) can tell and warns; the MEX module
% cannot tell and never warns. Both write in place: the shared value changes in either flavour.
1;

% The identifier of the last warning that `call` gave, or '' for none, and its text.
function [id, msg] = warned(call)
  lastwarn('', '');
  call();
  [msg, id] = lastwarn();
end

native = ~strcmp(getenv('EEGMEX_FLAVOUR'), 'mex');
if native
  want = '.oct';
  shared = 'eegfetch:sharedData';
else
  want = ['.' mexext];
  shared = '';
end
[~, ~, ext] = fileparts(which('eegfetch'));
assert(strcmp(ext, want), 'eegfetch resolves to %s', which('eegfetch'));

X = double(reshape(1:64, 16, 4));  % 16 frames of 4 channels; at fs 1 of 4 the 4th frame of each block
name = [tempname() '.bin'];
fid = fopen(name, 'w', 'ieee-le');
fwrite(fid, X', 'int16');
fclose(fid);
cleanup = onCleanup(@() delete(name));
H = struct('fs', 4, 'nChans', 4, 'BinaryFormat', 1, 'scale', ones(1, 4), 'endian', 'l');
O = struct('chanidx', 2, 'fs', 1, 'dataPos', [0 2 0 2]);
rowsOut = X(4:4:12, 2);

% A matrix literal in a loop: the literal in the code shares the storage, on every pass.
for pass = 1:2
  P = O;
  P.data = [0; 0; 0];
  [id, msg] = warned(@() eegfetch(name, H, P));
  assert(strcmp(id, shared), 'literal, pass %d: warning "%s"', pass, id);
  if native
    assert(~isempty(strfind(msg, 'fresh matrix from zeros')), msg);
  end
  assert(isequal(P.data, rowsOut), 'literal, pass %d: %s', pass, mat2str(P.data));
end

% A variable that OPT.data was set from, still alive, and a column cut from a matrix.
D = zeros(3, 1);
P = O;
P.data = D;
assert(strcmp(warned(@() eegfetch(name, H, P)), shared), 'variable');
assert(isequal(D, rowsOut), 'the variable was not written: %s', mat2str(D));
M = -ones(3, 2);
P.data = M(:, 2);
assert(strcmp(warned(@() eegfetch(name, H, P)), shared), 'column of a matrix');
assert(isequal(M, [-ones(3, 1), rowsOut]), 'the matrix was not written: %s', mat2str(M));

% Set to be an error, the warning is raised as one (the rows are written before it).
if native
  warning('error', 'eegfetch:sharedData');
  P = O;
  P.data = [0; 0; 0];
  try
    eegfetch(name, H, P);
    error('no error was raised');
  catch err
    assert(strcmp(err.identifier, 'eegfetch:sharedData'), '%s: %s', err.identifier, err.message);
  end
  warning('on', 'eegfetch:sharedData');
  assert(isequal(P.data, rowsOut));
end

% A fresh matrix held only by OPT: no warning, in a named struct, a temporary one, with a result,
% and again once the variable it came from is gone.
P = O;
P.data = zeros(3, 1);
assert(isempty(warned(@() eegfetch(name, H, P))), 'fresh matrix');
assert(isempty(warned(@() eegfetch(name, H, setfield(O, 'data', zeros(3, 1))))), 'fresh matrix, temporary');
lastwarn('', '');
Y = eegfetch(name, H, P);
assert(isempty(lastwarn()) && isequal(Y, rowsOut), 'fresh matrix with a result');
D = zeros(3, 1);
P.data = D;
clear D
assert(isempty(warned(@() eegfetch(name, H, P))), 'fresh matrix after its variable was cleared');
assert(isequal(P.data, rowsOut));
disp('test_eegfetch_shared: ok');
