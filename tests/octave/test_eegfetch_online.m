% eegfetch with OPT.resume in Octave: a recording that grows call by call, read with the sliding
% window and with the appending window (two streams of one file), gives bit for bit what the same calls without OPT.resume
% give, also across `clear eegfetch`; the recording's last frames match Octave's own filter; bad
% OPT.resume values are refused with their messages.
1;

% The resumed call and the same call without OPT.resume, each into its own copy of `data`: an
% element assigned after `OPT.data = data` makes Octave copy the storage, so the write in place
% reaches nothing else. Both results.
function [got, want] = read_both(name, HDR, OPT, data, pos)
  OPT.dataPos = pos;
  OPT.data = data;
  OPT.data(1) = data(1);
  full = OPT;
  full.data(1) = data(1);
  OPT.resume = true;
  eegfetch(name, HDR, OPT);
  got = OPT.data;
  eegfetch(name, HDR, full);
  want = full.data;
  assert(~isequal(got, data) || isequal(want, data), 'the resumed call wrote nothing');
end

function t = ifelse_text(c, a, b)
  if c
    t = a;
  else
    t = b;
  end
end

rand('seed', 3);
nChans = 5; factor = 4; window = 30;
HDR = struct('fs', 1000, 'nChans', nChans, 'BinaryFormat', 2, 'scale', [1 -2 0.5 3 1e-3], 'endian', 'b');
b = [0.2 0.3 0.2]; a = [1 -1.2 0.5];
OPT = struct('chanidx', [4 1 4], 'fs', 250, 'filt_b', b, 'filt_a', a);
OPT2 = OPT;
OPT2.chanidx = [2 5 3];  % another stream of the same file
name = [tempname() '.bin'];
X = zeros(0, nChans);
sliding = zeros(window, 3);
appended = zeros(2000, 3);
done = 0;
for step = 1:25
  more = round(rand() * 300) + (step == 7) * 9000;  % now and then many reads' worth at once
  Y = round((rand(more, nChans) - 0.5) * 2e6);
  fid = fopen(name, 'a', 'ieee-be');
  fwrite(fid, Y.', 'int32');
  fclose(fid);
  X = [X; Y];
  nOut = floor(rows(X) / factor);
  if step == 15
    clear eegfetch;  % drops what earlier calls kept: the next call reads from byte 0
  end
  pos = [0, window - 1, nOut - window, nOut - 1];
  [got, want] = read_both(name, HDR, OPT, sliding, pos);
  assert(isequal(typecast(got(:), 'uint64'), typecast(want(:), 'uint64')), 'sliding window, step %d', step);
  sliding = got;
  pos = [done, rows(appended) - 1, done, -1];
  [got, want] = read_both(name, HDR, OPT2, appended, pos);
  assert(isequal(typecast(got(:), 'uint64'), typecast(want(:), 'uint64')), 'appending, step %d', step);
  appended = got;
  done = nOut;
end
% The newest rows against Octave's own filter (another order of rounding: 1e-10 relative).
F = filter(b, a, X);
last = F(factor * (nOut - window + 1):factor:factor * nOut, [4 1 4]) .* HDR.scale([4 1 4]);
assert(max(abs(sliding(:) - last(:))) <= 1e-10 * max(abs(last(:))), 'sliding window against filter');

bad = {'yes', [1 1], 1 + 1i, NaN};
messages = {'OPT.resume must be a logical or numeric scalar.', 'OPT.resume must be a scalar.', ...
            'OPT.resume must be real.', 'OPT.resume must not be NaN.'};
for k = 1:numel(bad)
  opt = OPT;
  opt.data = zeros(4, 3);
  opt.resume = bad{k};
  try
    eegfetch(name, HDR, opt);
    error('no error for OPT.resume %d', k);
  catch e
    assert(strcmp(e.message, ['eegfetch: ' messages{k}]) || strcmp(e.message, messages{k}), e.message);
  end
  assert(all(opt.data(:) == 0), 'a refused call wrote into OPT.data');
end
opt = OPT;
opt.resume = sparse(1);
try
  eegfetch(name, HDR, opt);
  error('no error for a sparse OPT.resume');
catch e
  assert(~isempty(strfind(e.message, 'OPT.resume must not be sparse.')), e.message);
end
delete(name);

% OPT.newest: the newest rows(OPT.data) output samples in the last rows, rows above them as they were
% while the file has fewer; with OPT.resume too, [X, info] tells what each call did.
name = [tempname() '.bin'];
H1 = struct('fs', 1, 'nChans', 1, 'BinaryFormat', 1, 'scale', 1, 'endian', 'l');
O1 = struct('chanidx', 1, 'fs', 1, 'newest', true, 'resume', true);
O1.data = NaN(5, 1);
for v = 101:107
  fid = fopen(name, 'a');
  fwrite(fid, v, 'int16');
  fclose(fid);
  [Y, info] = eegfetch(name, H1, O1);
  n = v - 100;
  want = [NaN(max(5 - n, 0), 1); (max(v - 4, 101):v).'];
  assert(isequaln(Y, want), 'OPT.newest after %d samples', n);
  assert(info.frames == n && info.outputs == n, 'info counts after %d samples', n);
  assert(info.resumedFrames == n - 1, 'info.resumedFrames after %d samples', n);
  assert(strcmp(info.fullReadReason, ifelse_text(n == 1, 'no stream yet', '')), info.fullReadReason);
end
% The dataPos recipe with the same N - 1 outputs, as the docs now write it.
O2 = rmfield(O1, {'newest', 'resume'});
O2.data = NaN(5, 1);
nOut = 4;
N = 5;
O2.dataPos = [max(N - nOut, 0), N - 1, max(nOut - N, 0), nOut - 1];
H1.nPoints = 4;
assert(isequaln(eegfetch(name, H1, O2), [NaN; 101; 102; 103; 104]), 'the dataPos recipe');
delete(name);
disp('test_eegfetch_online: ok');
