function ev = eegmex_xdf_events(file, target, OPT)
% EEGMEX_XDF_EVENTS  The events of an XDF file: samples of string streams and of irregular streams.
%   ev = eegmex_xdf_events(file) gives a 1 x n struct array, in the order of time, with the fields
%     time      the sample's time stamp (as written, or deduced) with its stream's clock offsets applied
%     text      a string sample's text (its channels' texts joined by ', '); a numeric sample's values
%     value     a numeric sample's first value; NaN for a string sample
%     stream    the id of the stream it comes from
%   ev = eegmex_xdf_events(file, target) adds `position`: the 1-based sample of stream `target` (an
%   id, or the struct eegmex_xdf gives for it) nearest to the event in time. With the OPT of an
%   eegfetch call of that stream, eegmex_xdf_events(file, target, OPT) adds `row`: the output row that
%   holds that sample, ceil(position / (HDR.fs / OPT.fs)).
%
%   Example:
%     s = eegmex_xdf('rec.xdf'); eeg = s(strcmp({s.type}, 'EEG'));
%     O = struct('chanidx', 1:eeg.channelCount, 'fs', 100);
%     X = eegfetch(eeg.HDR.dataFile, eeg.HDR, O); ev = eegmex_xdf_events('rec.xdf', eeg, O);
%     X([ev.row], :)   % the rows at the markers
%
%   See also eegmex_xdf, eegmex_xdf_times.

  if nargin < 1 || ~ischar(file) || isempty(file) || size(file, 1) ~= 1
    error('eegmex_xdf_events:usage', 'eegmex_xdf_events: give the file name as text: ev = eegmex_xdf_events(file[, target[, OPT]])');
  end
  id = -1;
  fs = [];
  if nargin >= 2
    if isstruct(target)
      id = target.id;
      if isfield(target, 'HDR') && ~isempty(target.HDR), fs = target.HDR.fs; end
    else
      id = target;
    end
  end
  % The events as the struct array returned, with position when there is a target stream.
  [ev, eid, msg, wid, wmsg] = eegmex_formats('xdfevents', file, id);
  if ~isempty(eid)
    error(eid, '%s', msg);
  end
  if ~isempty(wid)
    warning(wid, '%s', wmsg);
  end
  if id >= 0
    if nargin >= 3
      if isempty(fs)
        s = eegmex_xdf(file);
        fs = s([s.id] == id).nominalRate;
      end
      f = fs / OPT.fs;
      r = num2cell(ceil([ev.position] / f));
      [ev.row] = deal(0);
      [ev.row] = r{:};
    end
  end
end
