%EEGFETCH  Read, filter, decimate and scale a headerless multiplexed EEG recording.
%
%   X = eegfetch(fileName, HDR, OPT)
%   eegfetch(fileName, HDR, OPT)          % with OPT.data: fills OPT.data in place
%
%   eegfetch reads HDR.nPoints frames from the start of the binary file
%   fileName (one sample per channel per frame, no header), runs every
%   channel through the IIR filter OPT.filt_b / OPT.filt_a, lowers the rate
%   from HDR.fs to OPT.fs by weighted block decimation, and returns the
%   channels OPT.chanidx, each multiplied by its HDR.scale factor, as a
%   double matrix: one row per output sample, one column per entry of
%   OPT.chanidx. Without OPT.data, X has floor(nPoints/factor) rows, where
%   factor = HDR.fs / OPT.fs; frames after the last full block are read but
%   leave no trace.
%
%   HDR fields (the file)
%     fs            double scalar, required. Sampling rate of the file (Hz).
%     nChans        double scalar, required. Channels in each frame.
%     BinaryFormat  double scalar, required. Sample encoding:
%                     1 = int16, 2 = int32, 3 = float32 (IEEE single).
%     scale         double row vector of nChans values, required. Factor
%                   that each channel's output is multiplied by.
%     endian        char, required. 'l' (little-endian, least significant
%                   byte first) or 'b' (big-endian). Case-sensitive.
%     nPoints       double scalar, optional. Frames to read. Default: the
%                   whole file, floor(file bytes / (bytes per sample *
%                   nChans)); a trailing partial frame is ignored.
%
%   OPT fields (the result)
%     chanidx       double row vector, required. 1-based channel numbers to
%                   return, in output column order; repeats are allowed.
%     fs            double scalar, required. Output rate (Hz). HDR.fs must
%                   be a whole multiple of it.
%     filt_b        double row vector, optional. Numerator coefficients.
%     filt_a        double row vector, optional. Denominator coefficients,
%                   same length as filt_b; filt_a(1) is taken as 1 (the
%                   filter is y(n) = sum b(k)x(n-k) - sum_{k>=2} a(k)y(n-k)).
%                   Give both or neither. Default: no filtering (identity).
%                   Each channel's filter state starts at zero every call.
%     filt_subsample double row vector of factor values, optional. Weights
%                   of the frames of each block: output = sum of weight(i)
%                   * filtered frame i of the block. Default: zeros(1,
%                   factor-1) followed by 1, i.e. the last frame of each
%                   block alone.
%     data          double matrix with numel(chanidx) columns, optional.
%                   When given, eegfetch writes the output rows straight
%                   into this array's storage (no copy is made, nothing is
%                   returned) and leaves all other rows as they were.
%     dataPos       double row vector [destStart destEnd srcStart srcEnd],
%                   optional, used only together with OPT.data: the
%                   placement window (below). Default [0 rows(data) -1 -1].
%
%   Placement window (OPT.data with OPT.dataPos), all values 0-based:
%     srcStart..srcEnd    output samples that are placed (inclusive);
%                         -1 means "not set": from sample 0 / to the last.
%     destStart           row that output sample srcStart goes to;
%     destEnd             last row that may be written (inclusive).
%   Output sample s goes to row destStart + s - srcStart (0-based, i.e.
%   MATLAB row destStart + s - srcStart + 1).
%   Example: OPT.data = zeros(100, 2); OPT.dataPos = [10 19 0 9];
%   output samples 0..9 land in MATLAB rows 11..20; rows 1..10 and
%   21..100 keep their values. [0 4 0 -1] writes samples 0..4 into rows
%   1..5 and drops the rest; srcStart > srcEnd writes nothing.
%
%   Unsafe input
%@UNSAFE_INPUT@
%
%   Errors (the first failing check, in this order, decides the message)
%@ERRORS@
%
%   Examples
%     % 32 channels of int16 at 1000 Hz, channels 1 and 5 at 250 Hz, in uV
%     HDR = struct('fs', 1000, 'nChans', 32, 'BinaryFormat', 1, ...
%                  'scale', 0.1 * ones(1, 32), 'endian', 'l');
%     OPT = struct('chanidx', [1 5], 'fs', 250);
%     X = eegfetch('rec.eeg', HDR, OPT);
%
%     % with a 2nd-order low-pass and the mean of each block of 4 frames
%     [b, a] = butter(2, 100 / 500);      % signal package, or your own
%     OPT.filt_b = b; OPT.filt_a = a; OPT.filt_subsample = [1 1 1 1] / 4;
%     X = eegfetch('rec.eeg', HDR, OPT);
%
%     % append the first 1000 output samples of a second file below row 500
%     OPT.data = zeros(2000, 2); OPT.dataPos = [500 1499 0 999];
%     eegfetch('rec2.eeg', HDR, OPT);     % OPT.data is filled in place
%
%   See also TRIGOUT.  eegmex @EEGMEX_VERSION@, MIT license.
