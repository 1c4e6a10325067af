function write_sets(folder)
% WRITE_SETS  EEGLAB datasets in MAT v7 (Octave's save -v7), laid out as the format lays them out,
% for test_eeglab_mne.m and tests/python/test_eeglab.py. Into `folder`:
%   cont.set, cont.fdt   continuous, 6 channels at 512 Hz, 1537 frames, a variable EEG; channel
%                        labels, types and positions (one channel without); text and numeric event
%                        types, fractional latencies (one single), durations (one empty, one NaN), two
%                        boundaries
%   top.set              the same dataset with its fields as variables of their own (same .fdt)
%   embedded.set         the same dataset with the samples inside the .set (single)
%   epochs.set, epochs.fdt   3 epochs of 100 frames at 250 Hz from -0.2 s, one 'stim' event at 0 s
%                        of each epoch and a 'resp' in the second
%   epochs_embedded.set  the same epochs with the 4 x 100 x 3 samples inside the .set
% The samples are float32 frames (all channels of a frame together), the extremes of float32 among
% them.
  n = 6;
  pnts = 1537;
  k = 0:n * pnts - 1;
  x = single(100 * sin(0.37 * k) + mod(k * 7919, 1000) / 10 - 50);
  x(1:4) = [realmax('single'), -realmax('single'), realmin('single') / 8, -0];   % largest, a subnormal, -0
  X = reshape(x, n, pnts);
  fid = fopen(fullfile(folder, 'cont.fdt'), 'w');
  fwrite(fid, X, 'float32');
  fclose(fid);

  EEG = dataset('cont.set', n, pnts, 1, 512, 0, 'cont.fdt');
  EEG.chanlocs = struct('labels', {'Fp1', 'Fz', 'C3', 'EOG left', 'A1-A2', 'Pz'}, ...
                        'type', {'EEG', 'EEG', 'EEG', 'EOG', 'EEG', 'EEG'}, ...
                        'X', {80.8, 60.7, 0.5, [], -10, -71.7}, 'Y', {26.1, 0, 71.9, [], 20, 0}, ...
                        'Z', {-4, 59.5, 50.5, [], 30, 70.1});
  EEG.event = struct('type', {'stim', 'resp', 'boundary', 7, 'boundary', 'stim', 3}, ...
                     'latency', {100, 250.25, 700.5, 900, 1200.5, single(1300.75), 1536}, ...
                     'duration', {0, 12, 250, [], NaN, 2.5, 0});
  save('-v7', fullfile(folder, 'cont.set'), 'EEG');
  EEG.filename = 'top.set';
  save('-v7', fullfile(folder, 'top.set'), '-struct', 'EEG');
  EEG.filename = 'embedded.set';
  EEG.data = X;
  save('-v7', fullfile(folder, 'embedded.set'), 'EEG');

  n = 4;
  pnts = 100;
  trials = 3;
  k = 0:n * pnts * trials - 1;
  X = reshape(single(20 * cos(0.05 * k) + mod(k, 17)), n, pnts, trials);
  fid = fopen(fullfile(folder, 'epochs.fdt'), 'w');
  fwrite(fid, X, 'float32');
  fclose(fid);
  EEG = dataset('epochs.set', n, pnts, trials, 250, -0.2, 'epochs.fdt');
  EEG.chanlocs = struct('labels', {'O1', 'Oz', 'O2', 'Iz'});
  zero = (0:trials - 1) * pnts + 51;             % 0 s of each epoch: its frame 51
  EEG.event = struct('type', {'stim', 'stim', 'resp', 'stim'}, 'latency', {zero(1), zero(2), zero(2) + 30, zero(3)}, ...
                     'duration', {0, 0, 0, 0}, 'epoch', {1, 2, 2, 3});
  EEG.epoch = struct('event', {1, [2 3], 4}, 'eventtype', {'stim', {'stim', 'resp'}, 'stim'}, ...
                     'eventlatency', {0, {0, 120}, 0});
  save('-v7', fullfile(folder, 'epochs.set'), 'EEG');
  EEG.filename = 'epochs_embedded.set';
  EEG.data = X;
  save('-v7', fullfile(folder, 'epochs_embedded.set'), 'EEG');
end

function EEG = dataset(name, nbchan, pnts, trials, srate, xmin, data)
  EEG = struct('setname', name, 'filename', name, 'filepath', '', 'nbchan', nbchan, 'trials', trials, ...
               'pnts', pnts, 'srate', srate, 'xmin', xmin, 'xmax', xmin + (pnts - 1) / srate, ...
               'times', 1000 * (xmin + (0:pnts - 1) / srate), 'data', data, 'icawinv', [], 'icasphere', [], ...
               'icaweights', [], 'icaact', [], 'chanlocs', [], 'urchanlocs', [], ...
               'chaninfo', struct('plotrad', [], 'shrink', [], 'nosedir', '+X'), 'ref', 'common', ...
               'event', [], 'urevent', [], 'epoch', [], 'datfile', '', 'history', '', 'saved', 'yes');
end
