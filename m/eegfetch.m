%EEGFETCH  Read a multiplexed EEG recording: filter, decimate, scale.
%
%   X = eegfetch(fileName, HDR, OPT)
%   eegfetch(fileName, HDR, OPT)     % with OPT.data: fills OPT.data in place
%   [X, info] = eegfetch(fileName, HDR, OPT)   % info: what the call did
%
%   eegfetch reads HDR.nPoints frames from the start of the binary file
%   fileName (one sample per channel per frame, after HDR.dataOffset
%   bytes of header, or in the records HDR.recordSamples describes), runs every
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
%     BinaryFormat 4 is 24-bit two's complement (3 bytes: BDF files).
%     dataOffset    double scalar, optional. Bytes before the first frame
%                   (a header): a whole number from 0 to 2^53. Default 0.
%     recordSamples double row vector of nChans counts, optional: the
%                   record layout of EDF and BDF files. Each record holds
%                   recordSamples(1) samples of channel 1, then
%                   recordSamples(2) of channel 2, and so on. The channels
%                   of OPT.chanidx must share one count (the frames per
%                   record); channels of other rates are skipped undecoded.
%                   Only whole records are read. Default: frames.
%     channelFs     double row vector of nChans rates in Hz, optional, with
%                   recordSamples: each channel's rate. The selected
%                   channels are read at their rate, not at HDR.fs: OPT.fs
%                   divides it and HDR.nPoints counts their samples. Without
%                   it the selection is taken to be at HDR.fs.
%     offset        double row vector of nChans values, optional. The
%                   filter then takes x * scale + offset for every sample x
%                   (unfiltered: exactly that); nothing is scaled after it.
%     eegmex_edf(file) gives an HDR with these fields for EDF and BDF.
%     xdfStream     double scalar, optional: the id of one stream of an XDF
%                   file, whose samples are then the frames, wherever its
%                   chunks lie among other streams' (int8 read as
%                   int16, int16, int32, float32).
%                   eegmex_xdf(file) gives the HDR of each stream.
%
%   OPT fields (the result)
%     chanidx       double row vector, required. 1-based channel numbers to
%                   return, in output column order; repeats are allowed.
%     fs            double scalar, required. Output rate (Hz). HDR.fs must
%                   be a whole multiple of it.
%     filt_b        double row vector, optional. Numerator coefficients.
%     filt_a        double row vector, optional. Denominator coefficients,
%                   same length as filt_b. filt_a(1) is not used: it is
%                   taken as 1, so the filter is
%                     y(n) = b(1)x(n) + ... + b(L)x(n-L+1)
%                            - a(2)y(n-1) - ... - a(L)y(n-L+1),
%                   like filter(b, a, x) with a(1) = 1 (direct form II
%                   transposed). Give both or neither. Default: no
%                   filtering (identity). Each channel has its own filter
%                   state, which starts at zero in every call.
%     sos           K x 6 double matrix, optional, not with filt_b/filt_a.
%                   The filter as K second-order sections, one row
%                   [b0 b1 b2 a0 a1 a2] each, as scipy, MNE and MATLAB
%                   design them (output 'sos'); every a0 must be
%                   exactly 1 (a row with another a0 is refused, as
%                   scipy.signal.sosfilt refuses it). Each channel's
%                   filtered samples equal sosfilt's bit for bit: per
%                   section y = b0*x + z0; z0 = (b1*x - a1*y) + z1;
%                   z1 = b2*x - a2*y. Sections keep filters finite that
%                   are unstable as rounded b/a (an 8th-order 0.1-30 Hz
%                   band-pass at 5 kHz). Empty: no filtering.
%     filt_subsample double row vector of factor values, optional. Weights
%                   of the frames of each block: output = sum of weight(i)
%                   * filtered frame i of the block. Default: zeros(1,
%                   factor-1) followed by 1, i.e. the last frame of each
%                   block alone.
%     data          double matrix with numel(chanidx) columns, optional.
%                   When given, eegfetch writes the output rows straight
%                   into this array's storage (no copy is made) and leaves
%                   all other rows as they were. Nothing is returned unless
%                   a result is asked for; then it is a copy of the filled
%                   matrix.
%     threads       numeric scalar from 1 to 16, optional: the most threads
%                   a read uses (small reads keep to one). Default: the
%                   environment variable EEGMEX_NUM_THREADS, as the first
%                   call after loading found it, else the processors the
%                   process may use (affinity, cgroup quota), at most 2.
%                   The result is the same bits for every count.
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
%   1..5 and drops the rest; srcStart > srcEnd writes nothing, and so
%   does [0 -1 0 -1] (-1 means "not set" only for srcStart and srcEnd).
%   Without dataPos: [0 rows(OPT.data) -1 -1], i.e. from row 1 on, as
%   many output samples as fit.
%
%   Second output
%     info          struct: frames (whole frames the call saw), outputs
%                   (output samples they make, floor(frames/factor)),
%                   resumedFrames (frames an OPT.resume call did not read
%                   again; 0 for a read from byte 0) and fullReadReason
%                   (why a call with OPT.resume read from byte 0: 'no
%                   stream yet', 'another file', 'other settings',
%                   'shorter', 'changed bytes', 'nPoints before the
%                   point', 'window older than kept', 'no memory', 'no
%                   OPT.data', 'not a regular file', 'filter state too
%                   large to keep', 'no channels selected'; '' when it
%                   resumed or OPT.resume was not set) and limit
%                   ('HDR.nPoints' when HDR.nPoints ended the read before
%                   the end of the file, which holds more frames; ''),
%                   firstOutput (the 0-based output sample the first row
%                   of the result holds) and missed (with OPT.newest and
%                   OPT.resume: output samples between the last call's
%                   window and this one's that no call placed).
%
%   Newest samples (OPT.newest)
%     newest        logical or numeric scalar, optional, with OPT.data and
%                   without OPT.dataPos. True: the newest rows(OPT.data)
%                   output samples of the frames in the file now are
%                   placed, the newest in the last row; while the file has
%                   fewer, they fill the last rows and the rows above keep
%                   their values. The call measures the file itself, so a
%                   writer adding frames meanwhile cannot shift the rows;
%                   leave HDR.nPoints out (eegmex_vhdr and eegmex_edf do),
%                   since a given HDR.nPoints still ends the read there
%                   (info.limit then says 'HDR.nPoints').
%
%   New rows only (OPT.newRows)
%     newRows       logical or numeric scalar, optional, with OPT.resume
%                   and without OPT.data. True: returns a new matrix with
%                   exactly the output samples of the frames in the file
%                   now that no earlier OPT.newRows call on this file with
%                   these settings returned, however many (none, one or
%                   many rows); info.firstOutput is the 0-based output
%                   index of its first row. No row is skipped or returned
%                   twice; a stream's first call returns every output.
%
%   Online reading (OPT.resume)
%     resume        logical or numeric scalar, optional. True (nonzero)
%                   lets a call with OPT.data go on from where an earlier
%                   call on the same file, with the same settings, left
%                   off, instead of reading and filtering the file from
%                   byte 0 again. By setting it you state that the file
%                   only grows between calls (an amplifier still writing
%                   it). The result is exactly, bit for bit, what the same
%                   call without OPT.resume gives: rows, warning, errors.
%     The module falls back to a full read by itself whenever it cannot go
%     on safely, and info.fullReadReason says why: no earlier state for
%     this file and these settings; another file behind the name (device
%     and inode, or volume serial and file index); a file shorter than the
%     point reached; changed bytes among the first 4 KiB or just before
%     that point (the last 4 KiB, or the block in progress and the last
%     whole block before it when that is longer, up to 1 MiB; compared by
%     128-bit hashes); other nChans, BinaryFormat, endian, dataOffset,
%     recordSamples, offset, filt_a, filt_b, filt_subsample, factor or
%     chanidx (HDR.scale and the window may
%     change freely); HDR.nPoints ending before that point; a window
%     reaching back to output samples older than those kept.
%     Kept per stream (file and settings), at most 8 streams, the least
%     recently used dropped first; clear eegfetch (or clear all) drops
%     them all. A stream holds the filter state and the sums of the block
%     in progress (at most 1 MiB; longer filters on many channels are
%     always read in full), two hashes, and the unscaled values of the
%     newest output samples: as many as the largest window asked for, at
%     most 64 MiB a stream.
%     Only whole frames count: the next call goes on from the last whole
%     frame read. A call without OPT.data returns every output sample, so
%     it always reads the whole file.
%     Sliding window (the newest N output samples, the newest in the
%     last row, every call):
%       OPT.data = zeros(N, numel(OPT.chanidx));
%       OPT.resume = true;
%       OPT.newest = true;
%       while running
%         W = eegfetch(file, HDR, OPT);  % a copy: OPT.data shares nothing
%         plot(W);
%       end
%     Appending loop (each call writes only the new output samples; an
%     output placed twice is placed with the same value):
%       OPT.data = zeros(nMax, numel(OPT.chanidx));
%       OPT.resume = true;
%       done = 0;
%       while running
%         OPT.dataPos = [done, nMax - 1, done, -1];
%         [~, info] = eegfetch(file, HDR, OPT);
%         done = info.outputs;
%       end
%
%   Unsafe input
%     - Numbers may be of any real numeric class (double, single, intN);
%       they are converted to double exactly. int64/uint64 values without an
%       exact double (2^53 + 1, say) are refused. Sparse or complex arrays are refused.
%     - Scalars (HDR.fs, HDR.nChans, HDR.nPoints, OPT.fs) and the dataPos
%       entries are truncated toward zero; NaN, Inf and values outside
%       the signed 32-bit range are refused. HDR.BinaryFormat is
%       truncated too (2.5 is 2).
%     - HDR.fs, HDR.nChans and OPT.fs must be at least 1; HDR.nPoints
%       must not be negative (0, or fewer frames than one block, gives an
%       empty 0 x numel(chanidx) result).
%     - OPT.chanidx entries, truncated, must lie in 1..HDR.nChans.
%     - HDR or OPT as an empty struct array (struct([])) is refused; of a
%       struct array, the first element is used.
%     - OPT.data must be a real double matrix.
%     - OPT.filt_a = OPT.filt_b = [] (1x0 each) is the identity filter.
%     - Without HDR.nPoints the file's length is measured with 64-bit
%       offsets, so files over 2 GiB are fine; a file of more than
%       2147483647 frames needs HDR.nPoints.
%     - HDR.nPoints beyond the end of the file: the whole frames there
%       are read, a warning is given, and the rows of blocks past the end
%       are not written (zeros in a new result, untouched in OPT.data).
%       A trailing partial frame is ignored.
%     - A read error part-way through (Could not read the eeg file.)
%       leaves in OPT.data the rows placed before the failing read;
%       later rows are untouched. The data file is always closed.
%     - Rows outside OPT.data (from dataPos, or when OPT.data has fewer
%       rows than the file has output samples) are skipped: nothing is
%       ever written outside the matrix.
%     - OPT.data is written in place, into storage Octave may share:
%       after OPT.data = D (or OPT.data = M(:, 2:3)) D (or M) changes
%       too; OPT.data = [0; 0; 0] in a loop writes into the literal in
%       the code, so the next pass starts from the rows written; and when
%       OPT.data is a range such as 0:4 the write is lost. The native
%       Octave module (eegfetch.oct) sees such sharing and warns
%       (identifier eegfetch:sharedData); the MEX file cannot tell and
%       stays silent. Give a fresh matrix, OPT.data = zeros(n,
%       numel(OPT.chanidx)), and read it back from OPT. Asking for a
%       result with OPT.data given (X = eegfetch(...)) returns a separate
%       copy of the filled matrix, which is always safe.
%     - The data file is closed and all working memory released on
%       every path, errors included.
%     - After clear eegfetch, a rebuilt eegfetch.mex loads at the next
%       call; a rebuilt eegfetch.oct once Octave has been back at its
%       prompt (in one script, the old build runs on: start a new Octave).
%
%   Errors (in check order; the first failing check decides the message)
%   The host shows each as "eegfetch: <message>". NAME stands for the field
%   concerned (HDR.fs, HDR.nChans, HDR.nPoints, HDR.scale, OPT.fs,
%   OPT.chanidx, OPT.dataPos, OPT.filt_a, OPT.filt_b, OPT.filt_subsample).
%     Exactly three input arguments required.
%     One or two output arguments required.        (more than two results)
%     Could not read file name.                     (not a char array)
%     The file name must not hold a NUL character.
%     Could not open eeg file.                      (also a directory)
%     HDR has to be a struct.
%     The field HDR.fs was not set
%     The field HDR.nChans was not set
%     The field HDR.BinaryFormat was not set
%     The field HDR.scale was not set
%     The field HDR.endian was not set
%     HDR must not be an empty struct array.
%     HDR.fs must be a real scalar.                 (not numeric)
%     HDR.fs argument must be real scalar.          (not one element)
%     HDR.fs must be at least 1.
%     HDR.nChans must be a real scalar.
%     HDR.nChans argument must be real scalar.
%     HDR.nChans must be at least 1.
%     HDR.BinaryFormat must be a real scalar.
%     HDR.BinaryFormat argument must be real scalar.
%     HDR.BinaryFormat must not be sparse.
%     Unknown Binary Format!                        (also NaN, Inf)
%     HDR.dataOffset must be a real scalar.  (also: argument must be real
%       scalar, must not be sparse, holds a 64-bit integer that has no
%       exact double)
%     HDR.dataOffset must be a whole number of bytes from 0 to 2^53.
%     HDR.recordSamples must have HDR.nChans entries.
%     HDR.recordSamples entries must be whole numbers from 0 to 2147483647.
%     HDR.recordSamples must make records of 1 byte to 1 GiB.
%     Could not find the length of the eeg file.
%     The eeg file holds more than 2147483647 frames; set HDR.nPoints to
%       read a part of it.
%     HDR.nPoints must be a real scalar.
%     HDR.nPoints argument must be real scalar.
%     HDR.nPoints must not be negative.
%     HDR.scale must be a real scalar vector.
%     HDR.scale has to be a vector.                 (not one row)
%     HDR.scale has to be a vector with the size of nChanns.
%     HDR.endian must be a character.
%     HDR.endian argument must be character.        (not one character)
%     Could not read HDR.endian .
%     HDR.endian must be 'l' or 'b', see documentation.
%     HDR.offset must have HDR.nChans entries.  (HDR.recordSamples and
%       HDR.offset also take the messages of HDR.scale's kind: must be a
%       real scalar vector, has to be a vector, must not be sparse, holds
%       a 64-bit integer)
%     OPT has to be a struct.
%     The field OPT.chanidx was not set
%     The field OPT.fs was not set
%     OPT must not be an empty struct array.
%     OPT.chanidx must be a real scalar vector.
%     OPT.chanidx has to be a vector.
%     OPT.chanidx has more than 2147483647 entries.
%     OPT.chanidx entries must be channel numbers from 1 to HDR.nChans.
%     HDR.scale of a channel OPT.chanidx selects is not a finite number:
%       its scale is unknown.
%     OPT.chanidx selects channels with different HDR.recordSamples
%       counts: read the channels of one rate at a time.
%     OPT.chanidx selects a channel with no samples in a record
%       (HDR.recordSamples is 0).
%     HDR.channelFs of the channels OPT.chanidx selects must be a whole
%       number of Hz from 1 to 2147483647.
%     OPT.fs must be a real scalar.
%     OPT.fs argument must be real scalar.
%     OPT.fs must be at least 1.
%      The base frequency has to be a multiple of the requested frequency.
%     OPT.data must be a real scalar matrix.        (not numeric)
%     OPT.data must have the same size as chanidx.  (columns)
%     OPT.data must be a real double matrix.
%     OPT.dataPos must be a real scalar vector.
%     OPT.dataPos must be a vector.
%     OPT.dataPos must have the size 4
%     OPT.dataPos entries must be finite numbers within the signed 32-bit
%       range.
%     OPT.filt_a or OPT.filt_b was not set.         (only one given)
%     OPT.filt_a must be a real scalar vector.
%     OPT.filt_a has to be a vector.
%     OPT.filt_b must be a real scalar vector.
%     OPT.filt_b has to be a vector.
%     OPT.filt_a and OPT.filt_b must have the same size.
%     OPT.filt_a has more than 2147483647 coefficients.
%     Give OPT.sos or OPT.filt_a and OPT.filt_b, not both.
%     OPT.sos must be a real matrix of second-order sections, one row [b0 b1 b2 a0 a1 a2] each.
%     OPT.sos has more than 1048576 sections.
%     Every row of OPT.sos must have a0 = 1 (divide the row by its a0).
%     OPT.filt_subsample must be a real scalar vector.
%     OPT.filt_subsample has to be a vector.
%     FIR filter has to correspondent with the sampling rate.
%                                                   (not factor weights)
%     NAME must not be sparse.
%     NAME must be a finite number within the signed 32-bit range.
%     NAME holds a 64-bit integer that has no exact double.
%     OPT.resume must be a logical or numeric scalar.
%     OPT.resume must be a scalar.
%     OPT.resume must not be sparse.
%     OPT.resume must be real.
%     OPT.resume must not be NaN.
%     OPT.newest must be a logical or numeric scalar.
%     OPT.newest must be a scalar.
%     OPT.newest must not be sparse.
%     OPT.newest must be real.
%     OPT.newest must not be NaN.
%     OPT.newest needs OPT.data.
%     OPT.newest places the rows itself: give OPT.newest or OPT.dataPos, not both.
%     OPT.newRows must be a logical or numeric scalar.
%     OPT.newRows must be a scalar.
%     OPT.newRows must not be sparse.
%     OPT.newRows must be real.
%     OPT.newRows must not be NaN.
%     OPT.newRows needs OPT.resume.
%     OPT.newRows returns the new rows as a new matrix: give OPT.newRows or OPT.data, not both.
%     OPT.threads must be a whole number of threads from 1 to 16.
%     Not enough memory for the working storage of the read.
%     Could not read the eeg file.                  (read error)
%     The read was interrupted (Ctrl-C).            (Octave raises its
%                                                   interrupt instead)
%   Errors of an XDF stream (HDR.xdfStream), after the checks above:
%     HDR.xdfStream must be a stream id of the file, as eegmex_xdf gives it.
%     XDF file F: ...       (the XDF reader's message, naming the chunk)
%     HDR.xdfStream: the XDF file has no stream N.
%     XDF stream N holds F values, which eegfetch does not read: read them
%       with eegmex_xdf(file, N).
%     HDR does not describe XDF stream N (C channels of F): use the HDR
%       eegmex_xdf gives.
%   Warnings (the call still returns):
%     eegfetch: HDR.nPoints asks for N frames but the file holds only M
%     whole frames; rows of blocks past the end of the file were not
%     written.
%     eegfetch: OPT.data shares its storage with another value (a
%     variable, a constant in the code, or a matrix it was cut from),
%     which this call has written too; give OPT.data a fresh matrix from
%     zeros, such as zeros(rows, numel(OPT.chanidx)).
%       (identifier eegfetch:sharedData; native Octave module only)
%
%   Examples
%     % 32 channels of int16 at 1000 Hz, channels 1 and 5 at 250 Hz, in uV
%     HDR = struct('fs', 1000, 'nChans', 32, 'BinaryFormat', 1, ...
%                  'scale', 0.1 * ones(1, 32), 'endian', 'l');
%     OPT = struct('chanidx', [1 5], 'fs', 250);
%     X = eegfetch('rec.eeg', HDR, OPT);
%
%     % with a 2nd-order low-pass and the mean of each block of 4 frames
%     K = tan(pi * 100 / 1000); n = 1 + sqrt(2) * K + K^2;   % Butterworth, 100 Hz
%     b = [K^2, 2 * K^2, K^2] / n;
%     a = [1, 2 * (K^2 - 1) / n, (1 - sqrt(2) * K + K^2) / n];
%     OPT.filt_b = b; OPT.filt_a = a; OPT.filt_subsample = [1 1 1 1] / 4;
%     X = eegfetch('rec.eeg', HDR, OPT);
%
%     % append the first 1000 output samples of a second file below row 500
%     OPT.data = zeros(2000, 2); OPT.dataPos = [500 1499 0 999];
%     eegfetch('rec2.eeg', HDR, OPT);     % OPT.data is filled in place
%
%   See also TRIGOUT.  eegmex @EEGMEX_VERSION@, MIT license.
