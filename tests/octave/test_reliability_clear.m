% 200 rounds of a few pulses followed by clear all: Octave does not crash, every pulse writes its
% value, the pulses pending at each clear still end (the last write of every round is a reset),
% and the module loads again each round. clear all also clears this script's variables (the loop
% counter among them), so the round lives in the environment. EEGMEX_CLEAR_ROUNDS sets another
% number of rounds: scripts/valgrind-octave.sh runs 20, since valgrind runs one thread at a time
% (the rounds beyond find no more there) and a leak or a stale access shows in the first round.
clear all
setenv('SIMPORT_LOG', [tempname() '.log']);
setenv('TRIGOUT_TEST_LIB', fullfile(getenv('EEGMEX_BUILD'), 'portlibs', 'simport.so'));
if isempty(getenv('EEGMEX_CLEAR_ROUNDS'))
  setenv('EEGMEX_CLEAR_ROUNDS', '200');
end
for k = 1:str2double(getenv('EEGMEX_CLEAR_ROUNDS'))
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
assert(str2double(getenv('RELIABILITY_ROUND')) == str2double(getenv('EEGMEX_CLEAR_ROUNDS')));
delete(getenv('SIMPORT_LOG'));
