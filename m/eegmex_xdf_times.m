function t = eegmex_xdf_times(HDR, OPT, rows)
% EEGMEX_XDF_TIMES  The time of each output row of eegfetch on an XDF stream.
%   t = eegmex_xdf_times(HDR, OPT) gives, for the HDR of one stream from eegmex_xdf and the OPT of an
%   eegfetch call (its OPT.fs), the time of every output row a whole read gives: row r ends the block
%   of frames (r - 1) * f + 1 .. r * f (f = HDR.fs / OPT.fs), and its time is that of frame r * f, the
%   block's last (the frame the default weights take). t = eegmex_xdf_times(HDR, OPT, rows): those
%   rows only (1-based). Times are the samples' time stamps as written or deduced from the nominal rate,
%   with the stream's clock offsets applied, as eegmex_xdf(file, id) gives them; rows past the samples
%   in the file are NaN.
%
%   Example:
%     s = eegmex_xdf('rec.xdf'); H = s(1).HDR; O = struct('chanidx', 1:H.nChans, 'fs', 100);
%     X = eegfetch(H.dataFile, H, O); t = eegmex_xdf_times(H, O);   % numel(t) == rows(X)
%
%   See also eegmex_xdf, eegmex_xdf_events, eegfetch.

  if nargin < 2 || ~isstruct(HDR) || ~isfield(HDR, 'xdfStream') || ~isstruct(OPT) || ~isfield(OPT, 'fs')
    error('eegmex_xdf_times:usage', ...
          'eegmex_xdf_times: give the HDR of an XDF stream (eegmex_xdf) and an OPT with fs: t = eegmex_xdf_times(HDR, OPT[, rows])');
  end
  f = HDR.fs / OPT.fs;
  if f < 1 || f ~= floor(f)
    error('eegmex_xdf_times:usage', 'eegmex_xdf_times: HDR.fs must be a whole multiple of OPT.fs');
  end
  [all, id, msg] = eegmex_formats('xdftimes', HDR.dataFile, HDR.xdfStream);
  if ~isempty(id)
    error(id, '%s', msg);
  end
  if nargin < 3
    rows = 1:floor(numel(all) / f);
  end
  frames = rows(:) * f;
  t = nan(numel(frames), 1);
  have = frames >= 1 & frames <= numel(all) & frames == floor(frames);
  t(have) = all(frames(have));
end
