% eegmex_decimate: the shared cases (tests/python/stream_cases.json) against eegfetch's read of the
% same frames, cut into chunks every way the table says; a saved and loaded state; times, jumps and
% markers; and every refusal, with its identifier, leaving the state as it was.
1;

function X = frames_of(c)
  rand('state', c.seed);
  n = c.hdr.nChans;
  switch c.format
    case 1, X = int16(floor(rand(c.frames, n) * 65536) - 32768);
    case 2, X = int32(floor(rand(c.frames, n) * 4294967296) - 2147483648);
    otherwise, X = single((rand(c.frames, n) - 0.5) * 2000);
  end
end

function [HDR, OPT] = settings_of(c)
  HDR = c.hdr;
  n = HDR.nChans;
  if numel(HDR.scale) == 1, HDR.scale = repmat(HDR.scale, 1, n); end
  for f = fieldnames(HDR).'
    if isnumeric(HDR.(f{1})), HDR.(f{1}) = HDR.(f{1})(:).'; end
  end
  OPT = c.opt;
  if ischar(OPT.chanidx), OPT.chanidx = 1:n; end
  for f = fieldnames(OPT).'
    if isnumeric(OPT.(f{1})) && ~strcmp(f{1}, 'sos'), OPT.(f{1}) = OPT.(f{1})(:).'; end  % sos: K x 6
  end
end

function sizes = cut_sizes(cut, total)
  if ischar(cut)
    most = sscanf(cut, 'random %d');
    sizes = [];
    while sum(sizes) < total, sizes(end + 1) = floor(rand() * (most + 1)); end
  else
    sizes = repmat(cut(:).', 1, ceil(total / max(1, sum(cut))) + 1);
  end
end

cases = jsondecode(fileread(fullfile(getenv('EEGMEX_SOURCE'), 'tests', 'python', 'stream_cases.json'))).cases;
if isstruct(cases), cases = num2cell(cases); end
types = {'int16', 'int32', 'single'};
checked = 0;
for i = 1:numel(cases)
  c = cases{i};
  [HDR, OPT] = settings_of(c);
  X = frames_of(c);
  file = [tempname() '.bin'];
  fid = fopen(file, 'w', 'ieee-le');
  fwrite(fid, X.', types{c.format});
  fclose(fid);
  FH = HDR;
  FH.BinaryFormat = c.format;
  FH.endian = 'l';
  want = eegfetch(file, FH, OPT);
  delete(file);
  if isfield(c, 'push') && strcmp(c.push, 'double'), X = double(X); end
  cuts = c.cuts;
  if ~iscell(cuts), cuts = num2cell(cuts, 2); end
  for j = 1:numel(cuts)
    sizes = cut_sizes(cuts{j}, c.frames);
    S = eegmex_decimate(HDR, OPT);
    Y = zeros(0, numel(OPT.chanidx));
    at = 0;
    for k = 1:numel(sizes)
      n = min(sizes(k), c.frames - at);
      [y, S] = eegmex_decimate(S, X(at + (1:n), :));
      Y = [Y; y];
      at = at + n;
      if k == 3  % the state goes on after a save and a load
        keep = [tempname() '.mat'];
        save('-binary', keep, 'S');
        S = load(keep).S;
        delete(keep);
      end
      if at == c.frames, break; end
    end
    if ~isequal(size(Y), size(want)) || any(Y(:) ~= want(:))
      error('case %s, cut %d: the pushes differ from the read', c.name, j);
    end
    checked = checked + 1;
  end
end
printf('eegmex_decimate: %d cuttings of %d cases equal eegfetch bit for bit\n', checked, numel(cases));

% A copy goes on on its own, between pushes of a stream of other settings.
HDR = struct('fs', 100, 'nChans', 2, 'scale', [1 1]);
X = [1:12; 101:112].';
Sa = eegmex_decimate(HDR, struct('chanidx', [2 1], 'fs', 25, 'filt_b', [0.5 0.5], 'filt_a', [1 0]));
Sx = eegmex_decimate(HDR, struct('chanidx', 1, 'fs', 50));
[~, Sa] = eegmex_decimate(Sa, X(1:5, :));
Sb = Sa;
[ya, Sa] = eegmex_decimate(Sa, X(6:12, :));
[~, Sx] = eegmex_decimate(Sx, X);
[yb, Sb] = eegmex_decimate(Sb, X(6:12, :));
assert(isequal(ya, yb) && isequaln(Sa, Sb) && isequal(size(ya), [2 2]));

% Times: T is the last frame's time of each block; a jump is warned of and listed, never filled.
HDR = struct('fs', 100, 'nChans', 2, 'scale', [1 1]);
OPT = struct('chanidx', [2 1], 'fs', 25);
S = eegmex_decimate(HDR, OPT);
t = [0:5, 9:14] / 100;
X = [1:12; 101:112].';
lastwarn('');
[Y, S, T, G] = eegmex_decimate(S, X, t);
[~, id] = lastwarn();
assert(isequal(Y, [104 4; 108 8; 112 12]));
assert(isequal(T, t([4 8 12]).'));
assert(strcmp(id, 'eegmex_decimate:gap'));
assert(isequal(size(G), [1 2]) && G(1) == 7 && abs(G(2) - 0.04) < 1e-12);
[Y, S2, T, G] = eegmex_decimate(S, [13 113; 14 114; 15 115; 16 116], [15 16 17 18] / 100);
assert(isequal(Y, [116 16]) && T == 0.18 && isempty(G));
assert(isequal(eegmex_place_markers(T, [0.1 0.18 0.181]), [1 1 0]));
assert(isequal(eegmex_place_markers([0.03 0.07 0.11], [0 0.03 0.031 0.07 0.2]), [1 1 2 2 0]));

% Refusals: each with its identifier; S still gives what it gave before.
function expect_error(id, f)
  try
    f();
  catch err
    if ~strcmp(err.identifier, id)
      error('wanted %s, got %s: %s', id, err.identifier, err.message);
    end
    return;
  end
  error('no error; wanted %s', id);
end
expect_error('eegmex_decimate:chunk', @() eegmex_decimate(S, [1 2 3]));
expect_error('eegmex_decimate:chunk', @() eegmex_decimate(S, 'ab'));
expect_error('eegmex_decimate:chunk', @() eegmex_decimate(S, [1 2] + 1i));
expect_error('eegmex_decimate:chunk', @() eegmex_decimate(S, uint8([1 2])));
expect_error('eegmex_decimate:times', @() eegmex_decimate(S, [1 2; 3 4], 0.2));
expect_error('eegmex_decimate:times', @() eegmex_decimate(S, [1 2; 3 4], [0.2 0.1]));
expect_error('eegmex_decimate:times', @() eegmex_decimate(S, [1 2], 0.1));  % before the last time
expect_error('eegmex_decimate:times', @() eegmex_decimate(S, [1 2], NaN));
changed = S;
changed.state(end) = changed.state(end) + 1;
expect_error('eegmex_decimate:state', @() eegmex_decimate(changed, [1 2]));
changed = S;
changed.setup(2) = 3;
expect_error('eegmex_decimate:state', @() eegmex_decimate(changed, [1 2 3]));
expect_error('eegmex_decimate:state', @() eegmex_decimate(struct('check', [1 2]), [1 2]));
expect_error('eegmex_decimate:setup', @() eegmex_decimate(HDR, struct('chanidx', 3, 'fs', 25)));
expect_error('eegmex_decimate:setup', @() eegmex_decimate(HDR, struct('chanidx', 1, 'fs', 30)));
expect_error('eegmex_decimate:setup', @() eegmex_decimate(HDR, struct('chanidx', 1, 'fs', 25, 'maxGap', -1)));
expect_error('eegmex_decimate:arguments', @() eegmex_decimate(S));
try  % sections and b/a together: eegfetch's own message
  eegmex_decimate(HDR, struct('chanidx', 1, 'fs', 25, 'filt_b', [1 0], 'filt_a', [1 0], 'sos', [1 0 0 1 0 0]));
  error('sos with filt_b and filt_a was taken');
catch err
  assert(strcmp(err.identifier, 'eegmex_decimate:setup'));
  assert(strcmp(err.message, 'eegmex_decimate: Give OPT.sos or OPT.filt_a and OPT.filt_b, not both.'));
end
try
  eegmex_decimate(rmfield(HDR, 'scale'), OPT);
catch err
  assert(strcmp(err.message, 'eegmex_decimate: The field HDR.scale was not set'));
end
[Y2, S3, T2] = eegmex_decimate(S, [13 113; 14 114; 15 115; 16 116], [15 16 17 18] / 100);
assert(isequal(Y2, [116 16]) && isequaln(S3, S2) && T2 == 0.18);
disp('test_decimate: all checks passed');
