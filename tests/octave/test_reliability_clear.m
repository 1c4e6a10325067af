% 200 rounds of a few pulses followed by clear all: Octave does not crash, every pulse writes its
% value, the pulses pending at each clear still end (the last write of every round is a reset),
% and the module loads again each round. clear all also clears this script's variables (the loop
% counter among them), so the round lives in the environment.
clear all
setenv('SIMPORT_LOG', [tempname() '.log']);
setenv('TRIGOUT_TEST_LIB', fullfile(getenv('EEGMEX_BUILD'), 'portlibs', 'simport.so'));
for k = 1:200
  setenv('RELIABILITY_ROUND', num2str(k));
  global IO_LIB
  IO_LIB = getenv('TRIGOUT_TEST_LIB');
  trigout(888, 1 + mod(k, 200), 2);
  trigout(889, 3, 1, 1);
  trigout(888, 7, mod(k, 3), mod(k, 2));
  clear all
  r = str2double(getenv('RELIABILITY_ROUND'));
  % The log: one line "<ns> <port> <value> <tag>" per write.
  w = reshape(sscanf(regexprep(fileread(getenv('SIMPORT_LOG')), '[a-z]', ''), '%f'), 3, [])';
  assert(nnz(w(:, 3)) == 3 * r, 'round %d: %d values written', r, nnz(w(:, 3)));
  assert(w(end, 3) == 0, 'round %d: the last pulse did not reset', r);
end
assert(str2double(getenv('RELIABILITY_ROUND')) == 200);
delete(getenv('SIMPORT_LOG'));
