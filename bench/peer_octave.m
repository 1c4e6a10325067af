% Octave side of the benchmark: the reader module and two plain Octave peers, timed with a warm cache.
%   peer_octave(mode, file, nChans, fmt, endian, fs, targetFs, b, a, weights, chanidx, scale, rounds)
% mode: 'eegfetch' (the module on the path), 'whole' (fread of the whole file, filter, indexing,
% scaling), 'chunked' (fread of chunks, filter with its state carried from chunk to chunk), 'result'
% (the host's floor: eegmex_result on the path creates a matrix of eegfetch's result size, writes
% one value into each page and returns it). The peers
% filter every channel and then index, as the module's definition does.
% Prints "median_s=... peak_rss_mb=... base_rss_mb=... rows=...".
function peer_octave(mode, file, nChans, fmt, endian, fs, targetFs, b, a, weights, chanidx, scale, rounds)
  base = rssMb('VmRSS');
  precisions = {'int16=>double', 'int32=>double', 'float32=>double'};
  prec = precisions{fmt};
  if endian == 'b'
    machine = 'ieee-be';
  else
    machine = 'ieee-le';
  end
  factor = fs / targetFs;
  d = dir(file);
  frames = floor(d.bytes / (nChans * [2 4 4](fmt)));
  times = zeros(1, rounds);
  for r = 1:rounds
    X = []; x = []; y = [];  % nothing of the previous round stays alive through the next
    t0 = tic;
    switch mode
      case 'eegfetch'
        HDR = struct('fs', fs, 'nChans', nChans, 'BinaryFormat', fmt, 'scale', scale, 'endian', endian);
        OPT = struct('chanidx', chanidx, 'fs', targetFs, 'filt_a', a, 'filt_b', b, 'filt_subsample', weights);
        X = eegfetch(file, HDR, OPT);
      case 'result'
        X = eegmex_result(floor(frames / factor), numel(chanidx));
      case 'whole'
        fid = fopen(file, 'r');
        x = fread(fid, [nChans, Inf], prec, 0, machine);
        fclose(fid);
        y = filter(b, a, x.');
        y = y(:, chanidx);
        n = floor(size(y, 1) / factor);
        X = reshape(weights * reshape(y(1:n * factor, :), factor, []), n, numel(chanidx));
        X = X .* scale(chanidx);
      case 'chunked'
        fid = fopen(file, 'r');
        chunk = factor * 20000;
        zi = zeros(numel(b) - 1, nChans);
        parts = {};
        while true
          x = fread(fid, [nChans, chunk], prec, 0, machine);
          if isempty(x)
            break;
          end
          m = floor(size(x, 2) / factor) * factor;  % the file's last partial block is dropped
          [y, zi] = filter(b, a, x(:, 1:m).', zi);
          y = y(:, chanidx);
          parts{end + 1} = reshape(weights * reshape(y, factor, []), m / factor, numel(chanidx)) .* scale(chanidx);
          if m < chunk
            break;
          end
        end
        fclose(fid);
        X = vertcat(parts{:});
    end
    times(r) = toc(t0);
  end
  printf('median_s=%.4f peak_rss_mb=%.1f base_rss_mb=%.1f rows=%d\n', median(times), rssMb('VmHWM'), base, rows(X));
end

function mb = rssMb(field)
  txt = fileread('/proc/self/status');
  tok = regexp(txt, [field ':\s*(\d+)'], 'tokens', 'once');
  mb = str2double(tok{1}) / 1024;
end
