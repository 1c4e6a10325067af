%EEGMEX_DECIMATE  eegfetch's filter and decimator on chunks from a live source.
%
%   S = eegmex_decimate(HDR, OPT)
%   [Y, S] = eegmex_decimate(S, X)
%   [Y, S, T, G] = eegmex_decimate(S, X, t)
%
%   The first form sets up a stream: HDR has fs, nChans and scale (and
%   optionally offset), OPT has chanidx and fs and optionally filt_b and
%   filt_a or sos, filt_subsample and maxGap. Both are checked as eegfetch
%   checks them, with its messages; HDR needs none of the file's fields
%   (BinaryFormat, endian, nPoints, ...), and OPT.data, dataPos, resume and
%   newest do not apply.
%
%   OPT.sos: the filter as K second-order sections, a K x 6 matrix of rows
%   [b0 b1 b2 a0 a1 a2] with every a0 equal to 1 (another a0 is refused),
%   as eegfetch takes it: each channel's filtered samples are those of
%   scipy.signal.sosfilt, bit for bit. Not together with filt_b/filt_a
%   ("Give OPT.sos or OPT.filt_a and OPT.filt_b, not both.").
%
%   Each push takes a chunk X: frames x HDR.nChans, of class double, single,
%   int16 or int32, any number of frames (none too). Y holds the output rows
%   whose blocks ended inside X (none, one or many), one column per entry
%   of OPT.chanidx, scaled as eegfetch scales them. For any cutting of the
%   same frames into chunks, the rows of all pushes together equal bit for
%   bit the rows eegfetch reads from a file of those frames in the matching
%   BinaryFormat (int16 1, int32 2, single 3; double X: the same arithmetic).
%
%   Times. t holds one time per frame of X (seconds, as the source stamps
%   them, rising). T(k) is the time of the last frame of row k's block. A
%   jump of more than OPT.maxGap seconds (default: two frame periods,
%   2 / HDR.fs) is warned of (identifier eegmex_decimate:gap) and listed in
%   G, one row [frame, jump] per jump: the stream's frame number (from 1)
%   of the frame after it, and the jump in seconds. No frames are made up:
%   the decimator goes on as if the frames had come without a gap.
%   Markers with times of their own: eegmex_place_markers(T, times).
%
%   The state S is a plain value: a struct of three double rows, setup
%   (the settings), state (frames pushed, time of the last frame, jumps
%   seen, then the filter state and block sums) and check (a check value
%   over both). Copy it, save and load it: each copy goes on on its own.
%   A state that was changed, or that eegmex_decimate did not make, is
%   refused.
%
%   Messages, in the order the checks run (HDR and OPT first, with
%   eegfetch's own messages: see help eegfetch):
%     Call S = eegmex_decimate(HDR, OPT), [Y, S] = eegmex_decimate(S, X)
%       or [Y, S, T, G] = eegmex_decimate(S, X, t).
%     OPT.maxGap must be a real scalar above 0 (seconds).
%     S is not a state that eegmex_decimate made, or it was changed: make
%       one with S = eegmex_decimate(HDR, OPT).
%     S was made by another version of eegmex_decimate (its settings are
%       version V; this one reads version 2): make a new one with
%       S = eegmex_decimate(HDR, OPT).
%     X must be a real matrix of class double, single, int16 or int32.
%     X must have HDR.nChans (N) columns, one per channel, and a row per
%       frame; it has M columns.
%     t must be a real double vector of finite times (seconds).
%     t must hold one time per frame of X (N); it holds M.
%     t goes backwards at frame K of X: T1 s after T0 s.
%     Not enough memory for the decimator.
%   The warning of a jump:
%     eegmex_decimate: the times jump by J s before frame K of the stream
%       (more than OPT.maxGap, G s); no frames were made up for the gap.
%
%   Errors (identifiers), each leaving S as it was:
%     eegmex_decimate:setup      HDR or OPT (eegfetch's message), OPT.maxGap
%     eegmex_decimate:state      S changed, or not a state
%     eegmex_decimate:chunk      X not a real double/single/int16/int32
%                                matrix, or not HDR.nChans columns
%     eegmex_decimate:times      t not one real double per frame, not
%                                finite, or going backwards
%     eegmex_decimate:arguments  another form of call
%     eegmex_decimate:memory     no memory for the decimator
%
%   Example (an inlet's chunks, 5000 -> 500 Hz):
%     S = eegmex_decimate(struct('fs', 5000, 'nChans', 64, 'scale', ones(1, 64)), ...
%                         struct('chanidx', 1:64, 'fs', 500, 'filt_b', b, 'filt_a', a));
%     [Y, S, T] = eegmex_decimate(S, chunk, stamps);   % in the loop
%
%   See also eegfetch, eegmex_place_markers, docs/streams.md.
%
%   eegmex @EEGMEX_VERSION@
