% Benchmark of eegmex_decimate in Octave (run by scripts/bench_stream.sh): the median time of a push
% of 32 frames x 64 channels (int16 and single), 4th-order b/a, 5000 -> 500 Hz, and the fastest single
% push; prints "name value".
function bench_stream(b, a, rounds)
  nChans = 64;
  HDR = struct('fs', 5000, 'nChans', nChans, 'scale', repmat(0.1, 1, nChans));
  OPT = struct('chanidx', 1:nChans, 'fs', 500, 'filt_b', b, 'filt_a', a);
  rand('state', 1);
  X = int16(floor(rand(4000, nChans) * 6000) - 3000);
  kinds = {'int16', 'single'};
  for k = 1:2
    Xk = cast(X, kinds{k});
    chunks = cell(1, 125);
    for i = 1:125
      chunks{i} = Xk((i - 1) * 32 + (1:32), :);
    end
    times = zeros(1, rounds);
    for r = 1:rounds
      S = eegmex_decimate(HDR, OPT);
      t0 = tic();
      for i = 1:125
        [y, S] = eegmex_decimate(S, chunks{i});
      end
      times(r) = toc(t0) / 125;
    end
    printf('OCTAVE_%s %.3f\n', kinds{k}, median(times) * 1e6);
    best = Inf;  % the fastest single push: what it costs when nothing else runs
    for i = 1:2000
      t0 = tic();
      [y, S] = eegmex_decimate(S, chunks{1 + mod(i, 125)});
      best = min(best, toc(t0));
    end
    printf('OCTAVE_FASTEST_%s %.3f\n', kinds{k}, best * 1e6);
  end
end
