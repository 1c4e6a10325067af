function bench_live(d, runs, headerRuns, calls, b, a)
% Octave side of the recording-reader benchmark (scripts/bench_live.sh writes the files into d):
%   d/markers.vmrk  eegmex_vmrk, `runs` calls
%   d/annot.edf     [HDR, events] = eegmex_edf, `runs` calls
%   d/status.bdf    [HDR, events] = eegmex_edf, `runs` calls (HDR only beside it); then the online loop
%                   on a growing copy of its first half: one record (1/8 s) appended before each of
%                   `calls` calls of eegfetch (OPT.resume, OPT.newest, a 2 s window at 256 Hz through
%                   the filter b, a, the data channels) and eegmex_events(HDR, state, info.frames)
%   d/h256.edf      HDR = eegmex_edf, `headerRuns` calls
% Beside each reader, the call of the module behind it alone (eegmex_formats: the C++ reader and the
% host's struct arrays of its records; the reader adds its checks and, for eegmex_edf, the HDR's shaping).
% Every timed series follows untimed calls (warm cache, memory touched). Prints one line a figure:
% "NAME median_s=... runs=... events=...", and "online ..." with medians and 99th percentiles in ms.
  f = fullfile(d, 'markers.vmrk');
  [t, M] = timed(@() eegmex_vmrk(f), runs);
  report('vmrk', t, numel(M));
  report('vmrk_module', timed(@() eegmex_formats('vmrk', f), runs), 0);

  f = fullfile(d, 'annot.edf');
  [t, E] = timed(@() events_of(f), runs);
  report('edfplus', t, numel(E));
  report('edfplus_module', timed(@() eegmex_formats('edf', f), runs), 0);

  f = fullfile(d, 'status.bdf');
  [t, E] = timed(@() events_of(f), runs);
  report('bdf_events', t, numel(E));
  t = timed(@() eegmex_edf(f), runs);
  report('bdf_header', t, 0);
  report('bdf_module', timed(@() eegmex_formats('edf', f), runs), 0);
  online(f, calls, b, a);

  f = fullfile(d, 'h256.edf');
  t = timed(@() eegmex_edf(f), headerRuns);
  report('header256', t, 0);
  report('header256_module', timed(@() eegmex_formats('edf', f), headerRuns), 0);
  [t, E] = timed(@() events_of(f), headerRuns);
  report('header256_events', t, numel(E));
end

function E = events_of(f)
  [~, E] = eegmex_edf(f);
end

function [t, out] = timed(fn, n)
  for k = 1:3  % untimed: the cache and the memory the calls use
    out = fn();
  end
  t = zeros(1, n);
  for k = 1:n
    out = [];
    t0 = tic;
    out = fn();
    t(k) = toc(t0);
  end
end

function report(name, t, events)
  printf('%s median_s=%.6f runs=%d events=%d\n', name, median(t), numel(t), events);
end

function online(file, calls, b, a)
  HDR = eegmex_edf(file);
  recordBytes = 3 * sum(HDR.recordSamples);
  records = HDR.nRecords;
  start = floor(records / 2);
  if start + calls + 1 > records
    error('bench_live: %d records, too few for %d calls after the first half', records, calls);
  end
  fid = fopen(file, 'r');
  grown = [tempname() '.bdf'];
  out = fopen(grown, 'w');
  unwind_protect
    copyBytes(fid, out, HDR.dataOffset + start * recordBytes);
    G = HDR;  % no nPoints: eegfetch reads the whole records the file holds at each call
    G.dataFile = grown;
    chans = setdiff(HDR.fsChans, HDR.statusChan);
    O = struct('chanidx', chans, 'fs', 256, 'filt_b', b, 'filt_a', a, 'resume', true, 'newest', true);
    O.data = zeros(2 * 256, numel(chans));
    O.data(1) = 0;
    [~, info] = eegfetch(grown, G, O);
    [ev, state] = eegmex_events(G, [], info.frames);  % the first call: the events of the first half
    first = numel(ev);
    times = zeros(3, calls);
    found = 0;
    step = recordBytes;  % one record, 1/8 s, written in two pieces
    for c = 1:calls
      copyBytes(fid, out, floor(step / 2));
      copyBytes(fid, out, step - floor(step / 2));
      t0 = tic;
      [~, info] = eegfetch(grown, G, O);
      t1 = toc(t0);
      [ev, state] = eegmex_events(G, state, info.frames);
      t2 = toc(t0);
      times(:, c) = [t1; t2 - t1; t2];
      found = found + numel(ev);
    end
  unwind_protect_cleanup
    fclose(fid);
    fclose(out);
    delete(grown);
  end_unwind_protect
  if ~isempty(state.startedOver)
    error('bench_live: the last call started over: %s', state.startedOver);
  end
  s = sort(times, 2);
  q = @(k) 1e3 * [median(times(k, :)), s(k, ceil(0.99 * calls))];
  printf('online events_ms=%.4f events_p99_ms=%.4f fetch_ms=%.4f fetch_p99_ms=%.4f both_ms=%.4f both_p99_ms=%.4f calls=%d record_s=%g first_events=%d new_events=%d\n', ...
         q(2), q(1), q(3), calls, HDR.recordDuration, first, found);
end

function copyBytes(from, to, n)
  fwrite(to, fread(from, n, '*uint8'));
  fflush(to);
end
