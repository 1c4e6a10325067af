function [out, times] = eegmex_xdf(file, stream)
% EEGMEX_XDF  The streams of an XDF file, and the samples of one.
%   streams = eegmex_xdf(file) lists the streams: a 1 x n struct array, one element per stream, in
%   the order of their headers, with the fields
%     id            the stream id of the file's chunks
%     name, type    from the stream's header
%     channelCount, nominalRate (0: an irregular stream), channelFormat ('int8', 'int16', 'int32',
%                   'int64', 'float32', 'double64' or 'string')
%     label, unit, channelType   1 x channelCount cells from desc/channels/channel ('' where none)
%     sampleCount   samples in the file's whole chunks
%     firstTime, lastTime        the first and last sample's time stamp, as written (or deduced from
%                   the nominal rate), before clock offsets; NaN for a stream without samples
%     clockOffsets  m x 2: collection time and offset of each ClockOffset chunk
%     footer        true when the stream's footer is in the file (a finished recording)
%     sourceId, hostname, uid, headerXml, footerXml
%     HDR           what eegfetch takes to read the stream's samples (filter, decimation, selection,
%                   scale, OPT.data, OPT.resume, OPT.newest), however its chunks lie among other
%                   streams' chunks; [] for string streams, irregular streams, rates that are no
%                   whole number, and int64 and double64 streams (read those with the second form);
%                   an int8 stream's HDR says int16 (BinaryFormat 1): eegfetch widens its values
%   The listing reads chunk headers and seeks past the samples: a large file lists in little time.
%
%   [values, times] = eegmex_xdf(file, id) reads the samples of stream `id`: values is samples x
%   channels (double) or, for a string stream, a samples x channels cell of texts; times (samples x 1)
%   is each sample's time stamp as written or deduced (the time before plus 1 / nominalRate) with the
%   stream's clock offsets applied: t + the offset of the last measurement collected before t (the
%   first one's before it), as the reference loader does.
%
%   A file still being written (no footers, a chunk half written) lists the whole chunks there, with
%   the warning eegmex_xdf:truncated. Errors: eegmex_xdf:file, eegmex_xdf:damaged (naming the chunk's
%   byte offset), eegmex_xdf:unsupported, eegmex_xdf:usage.
%
%   Example:
%     s = eegmex_xdf('rec.xdf');
%     eeg = s(strcmp({s.type}, 'EEG'));
%     X = eegfetch(eeg.HDR.dataFile, eeg.HDR, struct('chanidx', 1:eeg.channelCount, 'fs', eeg.HDR.fs));
%     [texts, t] = eegmex_xdf('rec.xdf', s(strcmp({s.type}, 'Markers')).id);
%
%   See also eegmex_xdf_times, eegfetch, eegmex_edf.

  if nargin < 1 || nargin > 2 || ~ischar(file) || isempty(file) || size(file, 1) ~= 1
    error('eegmex_xdf:usage', 'eegmex_xdf: give the file name as text: streams = eegmex_xdf(file)');
  end
  if nargin == 2
    [r, id, msg, wid, wmsg] = eegmex_formats('xdf', file, stream);
  else
    [r, id, msg, wid, wmsg] = eegmex_formats('xdf', file);
  end
  if ~isempty(id)
    error(id, '%s', msg);
  end
  if ~isempty(wid)
    warning(wid, '%s', wmsg);
  end
  if nargin == 2
    times = r.times(:);
    if iscell(r.values)
      n = numel(times);
      out = reshape(r.values, [], n).';
    else
      out = r.values;
    end
    return;
  end
  n = numel(r.id);
  out = struct('id', {}, 'name', {}, 'type', {}, 'channelCount', {}, 'nominalRate', {}, 'channelFormat', {}, ...
               'label', {}, 'unit', {}, 'channelType', {}, 'sampleCount', {}, 'firstTime', {}, 'lastTime', {}, ...
               'clockOffsets', {}, 'footer', {}, 'sourceId', {}, 'hostname', {}, 'uid', {}, 'headerXml', {}, ...
               'footerXml', {}, 'HDR', {});
  codes = struct('int8', 1, 'int16', 1, 'int32', 2, 'float32', 3);   % int8 read as int16
  for k = 1:n
    c = r.channelCount(k);
    rate = r.nominalRate(k);
    format = r.channelFormat{k};
    HDR = [];
    if isfield(codes, format) && rate >= 1 && rate == floor(rate) && rate < 2^31
      HDR = struct('fs', rate, 'nChans', c, 'BinaryFormat', codes.(format), 'scale', ones(1, c), 'endian', 'l', ...
                   'label', {r.label{k}}, 'unit', {r.unit{k}}, 'dataFile', r.file, 'xdfStream', r.id(k));
    end
    out(k) = struct('id', r.id(k), 'name', r.name{k}, 'type', r.type{k}, 'channelCount', c, 'nominalRate', rate, ...
                    'channelFormat', format, 'label', {r.label{k}}, 'unit', {r.unit{k}}, ...
                    'channelType', {r.channelType{k}}, 'sampleCount', r.sampleCount(k), ...
                    'firstTime', r.firstTime(k), 'lastTime', r.lastTime(k), 'clockOffsets', r.clockOffsets{k}, ...
                    'footer', r.footer(k) ~= 0, 'sourceId', r.sourceId{k}, 'hostname', r.hostname{k}, ...
                    'uid', r.uid{k}, 'headerXml', r.headerXml{k}, 'footerXml', r.footerXml{k}, 'HDR', HDR);
  end
end
