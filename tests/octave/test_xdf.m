% XDF in Octave, in each flavour of the modules: the demo's recording (EEG with a marker stream among
% its chunks, clock offsets) listed, read through eegfetch equal to the stream's own samples, output rows'
% times and the markers' rows consistent with the samples' times; a cut file warns, a damaged one errors
% with its identifier and the chunk's offset.
addpath(fullfile(getenv('EEGMEX_SOURCE'), 'demo'));
folder = tempname(); mkdir(folder);
cleanup = onCleanup(@() confirm_recursive_rmdir(false) || rmdir(folder, 's'));
evalc('demo_xdf(folder)');
file = fullfile(folder, 'demo_xdf.xdf');
s = eegmex_xdf(file);
assert(numel(s) == 2 && isequal([s.id], [1 2]) && isequal({s.type}, {'EEG', 'Markers'}));
assert(s(1).sampleCount == 5000 && isequal(s(1).label{8}, 'E8') && rows(s(1).clockOffsets) == 5);
assert(isempty(s(2).HDR) && s(1).HDR.xdfStream == 1);
[v, t] = eegmex_xdf(file, 1);
H = s(1).HDR; H.scale = 0.5 * ones(1, 8);
X = eegfetch(file, H, struct('chanidx', [8 1], 'fs', 500));
assert(isequal(X, 0.5 * v(:, [8 1])));
O = struct('chanidx', 1:8, 'fs', 100);
Y = eegfetch(file, H, O);
rt = eegmex_xdf_times(H, O);
assert(isequal(rt, t(5:5:end)) && numel(rt) == rows(Y));
r = eegmex_xdf_times(H, O, [2 2000]);
assert(r(1) == t(10) && isnan(r(2)));
ev = eegmex_xdf_events(file, s(1), O);
[texts, mt] = eegmex_xdf(file, 2);
assert(isequal({ev.text}, texts') && isequal([ev.time]', mt));
for e = ev
  [~, k] = min(abs(t - e.time));
  assert(e.position == k && e.row == ceil(k / 5));
end
% A cut file: the whole chunks, with a warning naming the cut one; eegfetch reads them.
fid = fopen(file, 'rb'); bytes = fread(fid, Inf, 'uint8=>uint8'); fclose(fid);
cut = fullfile(folder, 'cut.xdf');
fid = fopen(cut, 'wb'); fwrite(fid, bytes(1:round(end / 2))); fclose(fid);
lastwarn('');
evalc('c = eegmex_xdf(cut);');
[msg, id] = lastwarn();
assert(strcmp(id, 'eegmex_xdf:truncated') && ~isempty(strfind(msg, 'runs past the end of the file')));
assert(c(1).sampleCount > 0 && c(1).sampleCount < 5000 && ~c(1).footer);
Hc = c(1).HDR; Hc.dataFile = cut;
Z = eegfetch(cut, Hc, struct('chanidx', 1:8, 'fs', 500));
assert(isequal(Z, v(1:c(1).sampleCount, :)));
% A damaged header: the identifier and the chunk's offset.
bad = bytes; at = strfind(char(bytes'), '</type>'); bad(at(1) + 2) = 'x';
fid = fopen(cut, 'wb'); fwrite(fid, bad); fclose(fid);
try
  eegmex_xdf(cut);
  error('no error');
catch err
  assert(strcmp(err.identifier, 'eegmex_xdf:damaged'), err.message);
  assert(~isempty(regexp(err.message, 'chunk at byte \d+ \(StreamHeader\): XML not well formed', 'once')), err.message);
end
% eegmex_events follows the file as it grows in random pieces, with eegfetch: every event once, as a
% whole read gives them, none past the frames read.
grow = fullfile(folder, 'grow.xdf');
fclose(fopen(grow, 'wb'));
Hg = H; Hg.dataFile = grow;
O = struct('chanidx', 1:8, 'fs', 100, 'data', zeros(1000, 8), 'resume', true);
state = []; got = struct('time', {}, 'text', {}, 'value', {}, 'stream', {}, 'position', {});
rand('seed', 5);
cuts = [sort(unique(round(numel(bytes) * (0.05 + 0.95 * rand(1, 15))))) numel(bytes)];
at = 0;
for c = cuts
  fid = fopen(grow, 'ab'); fwrite(fid, bytes(at + 1:c)); fclose(fid); at = c;
  if c < 1500, continue; end   % not yet the stream headers
  [O.data, info] = eegfetch(grow, Hg, O);
  [ev, state] = eegmex_events(Hg, state, info.frames);
  assert(all([ev.position] <= info.frames));
  got = [got ev];
end
whole = eegmex_xdf_events(file, s(1));
assert(isequal(O.data, Y) && isequal({got.text}, {whole.text}) && isequal([got.time], [whole.time]) && ...
       isequal([got.position], [whole.position]));
