function bench_w3(file, targetFs, b, a, rounds, calls)
% Octave side of W3: a BDF file read with the HDR eegmex_edf gives, every channel at the file's rate
% to targetFs through the filter b, a; median of `rounds` warm-cache runs, in turn with the host's
% floor (eegmex_result: a matrix of the result's size, one value written into each page). Then the
% online loop: the first half of the file grows by 1/8 s of records (pieces of 100 ms and less) before
% each of `calls` calls with OPT.resume and OPT.newest (a 2 s window); the call times.
% Prints "eegfetch median_s=... peak_rss_mb=...", "floor median_s=...", "online median_ms=... p99_ms=...".
  HDR = eegmex_edf(file);
  OPT = struct('chanidx', HDR.fsChans, 'fs', targetFs, 'filt_b', b, 'filt_a', a);
  nPoints = HDR.nRecords * HDR.recordSamples(HDR.fsChans(1));   % frames at fs in the file
  nOut = floor(nPoints / (HDR.fs / targetFs));
  t = zeros(2, rounds);
  for r = 1:rounds
    X = [];
    t0 = tic;
    X = eegfetch(HDR.dataFile, HDR, OPT);
    t(1, r) = toc(t0);
    assert(isequal(size(X), [nOut, numel(HDR.fsChans)]));
    X = [];
    t0 = tic;
    X = eegmex_result(nOut, numel(HDR.fsChans));
    t(2, r) = toc(t0);
  end
  X = [];
  printf('eegfetch median_s=%.4f peak_rss_mb=%.1f rows=%d\n', median(t(1, :)), rss('VmHWM'), nOut);
  printf('floor median_s=%.4f\n', median(t(2, :)));

  % The online loop on a copy that grows.
  fid = fopen(file, 'r');
  grown = [tempname() '.bdf'];
  out = fopen(grown, 'w');
  recordBytes = 3 * sum(HDR.recordSamples);
  half = HDR.dataOffset + floor(HDR.nRecords / 2) * recordBytes;
  copyBytes(fid, out, half);
  O = OPT;
  O.resume = true;
  O.newest = true;
  O.data = zeros(2 * targetFs, numel(HDR.fsChans));
  G = HDR;
  G.dataFile = grown;
  step = recordBytes / 8;  % 1/8 s, written in two pieces
  times = zeros(1, calls);
  eegfetch(grown, G, O);
  for c = 1:calls
    copyBytes(fid, out, floor(step / 2));
    copyBytes(fid, out, step - floor(step / 2));
    t0 = tic;
    eegfetch(grown, G, O);
    times(c) = toc(t0);
  end
  fclose(fid);
  fclose(out);
  delete(grown);
  times = sort(times);
  printf('online median_ms=%.3f p99_ms=%.3f\n', 1e3 * median(times), 1e3 * times(ceil(0.99 * calls)));
end

function copyBytes(from, to, n)
  fwrite(to, fread(from, n, '*uint8'));
  fflush(to);
end

function v = rss(field)
  v = NaN;
  text = fileread('/proc/self/status');
  m = regexp(text, [field ':\s*(\d+)'], 'tokens', 'once');
  if ~isempty(m)
    v = str2double(m{1}) / 1024;
  end
end
