function bench_xdf(bin, xdf, big, rounds)
% BENCH_XDF  eegfetch on a plain recording like W1 and on an XDF file holding the same frames, in turn
% (the load of a shared machine falls on both alike), and the listing of XDF files. Prints medians.
  b = [0.00018321602336963949 0.00073286409347855797 0.0010992961402178369 0.00073286409347855797 0.00018321602336963949];
  a = [1 -3.3440678377118727 4.2388639508840633 -2.4093428565863162 0.51747819978803977];
  n = 64;
  plain = struct('fs', 5000, 'nChans', n, 'BinaryFormat', 1, 'scale', 0.1 * ones(1, n), 'endian', 'l');
  s = eegmex_xdf(xdf);
  H = s(1).HDR;
  H.scale = plain.scale;
  opt = struct('chanidx', 1:n, 'fs', 500, 'filt_a', a, 'filt_b', b);
  tp = zeros(1, rounds); tx = tp;
  for r = 1:rounds
    tic; X = eegfetch(bin, plain, opt); tp(r) = toc;
    clear X;
    tic; Y = eegfetch(xdf, H, opt); tx(r) = toc;
    if r == 1
      X = eegfetch(bin, plain, opt);
      printf('same output as the plain file: %d (%d x %d)\n', isequal(X, Y), rows(Y), columns(Y));
      clear X;
    end
    clear Y;
  end
  [hp, hx] = deal(peak(@() eegfetch(bin, plain, opt)), peak(@() eegfetch(xdf, H, opt)));
  printf('peak RSS above the start of the call: plain %.1f MB, XDF %.1f MB (the result is %.1f MB)\n', hp, hx, ...
         300000 * 64 * 8 / 2^20);
  printf('eegfetch W1 plain file:        median %.3f s\n', median(tp));
  printf('eegfetch W1 in XDF (1000/chunk): median %.3f s  ratio %.2f (goal <= 1.5)\n', median(tx), median(tx) / median(tp));
  for f = {xdf, big}
    if isempty(f{1}), continue; end
    t = zeros(1, rounds);
    for r = 1:rounds
      tic; s = eegmex_xdf(f{1}); t(r) = toc;
    end
    d = dir(f{1});
    printf('listing %s (%.2f GB, %d streams, %d samples): median %.3f s (goal <= 0.2 s for 1 GB)\n', f{1}, d.bytes / 1e9, ...
           numel(s), sum([s.sampleCount]), median(t));
  end
end

% The peak resident memory a call adds, in MB (Linux: the peak is reset through /proc/self/clear_refs).
function mb = peak(call)
  fid = fopen('/proc/self/clear_refs', 'w');
  if fid < 0, mb = NaN; return; end
  fprintf(fid, '5'); fclose(fid);
  before = status_kb('VmRSS');
  X = call(); %#ok<NASGU>
  mb = (status_kb('VmHWM') - before) / 1024;
end

function kb = status_kb(field)
  t = fileread('/proc/self/status');
  kb = str2double(regexp(t, [field ':\s*(\d+)'], 'tokens', 'once'){1});
end
