function bench_online(file, source, b, a, label, calls, fullCalls)
% One checkpoint of the online-reading benchmark. `file` holds the first frames of `source` (W1's
% shape: 64 channels int16 at 5 kHz); each call first appends the next 100 ms (500 frames) of
% `source` to `file`, as an amplifier would, then reads at 500 Hz through the filter b, a:
%   appending: OPT.data receives the output samples new since the previous call;
%   sliding:   OPT.data (1000 rows, 2 s) receives the newest 1000 output samples.
% Times `calls` calls with OPT.resume after one untimed call that sets the stream up, then
% `fullCalls` of the same calls without it, and an empty module call for the host's own cost.
% Prints one line per pattern: medians and 99th percentiles in ms.
  g.nChans = 64; g.factor = 10; g.frameBytes = 2 * g.nChans; g.step = 500; g.window = 1000;
  g.HDR = struct('fs', 5000, 'nChans', g.nChans, 'BinaryFormat', 1, 'scale', 0.1 * ones(1, g.nChans), 'endian', 'l');
  g.base = struct('chanidx', 1:g.nChans, 'fs', 500, 'filt_b', b, 'filt_a', a);
  g.file = file;
  info = dir(file);
  g.frames = info.bytes / g.frameBytes;
  g.src = fopen(source, 'r');
  fseek(g.src, g.frames * g.frameBytes, 'bof');
  g.out = fopen(file, 'a');
  empty = zeros(1, calls);
  for k = 1:calls
    t = tic; eegmex_empty(); empty(k) = toc(t);
  end
  for pattern = {'appending', 'sliding'}
    [resumed, g] = run_calls(g, pattern{1}, true, calls + 1);
    resumed = resumed(2:end);
    [full, g] = run_calls(g, pattern{1}, false, fullCalls);
    top = sort(resumed, 'descend');
    printf('%-8s %-9s resume: median %6.3f ms, p99 %6.3f ms, max %6.3f ms | full read: median %7.1f ms, p99 %7.1f ms | %6.0fx | empty call %.3f ms\n', ...
           label, pattern{1}, 1e3 * median(resumed), 1e3 * p99(resumed), 1e3 * top(1), 1e3 * median(full), 1e3 * p99(full), ...
           median(full) / median(resumed), 1e3 * median(empty));
  end
  fclose(g.out);
  fclose(g.src);
end

function [times, g] = run_calls(g, pattern, resume, n)
  OPT = g.base;
  if resume
    OPT.resume = true;
  end
  appending = strcmp(pattern, 'appending');
  if appending
    OPT.data = zeros(g.step / g.factor, g.nChans);
  else
    OPT.data = zeros(g.window, g.nChans);
  end
  times = zeros(1, n);
  for c = 1:n
    done = floor(g.frames / g.factor);
    fwrite(g.out, fread(g.src, g.step * g.frameBytes, '*uint8'));
    fflush(g.out);
    g.frames = g.frames + g.step;
    nOut = floor(g.frames / g.factor);
    if appending
      OPT.dataPos = [0, rows(OPT.data) - 1, done, -1];
    else
      OPT.dataPos = [0, g.window - 1, nOut - g.window, nOut - 1];
    end
    t = tic;
    eegfetch(g.file, g.HDR, OPT);
    times(c) = toc(t);
  end
end

function v = p99(x)
  x = sort(x);
  v = x(max(1, ceil(0.99 * numel(x))));
end
