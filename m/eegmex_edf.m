function [HDR, events] = eegmex_edf(file)
%EEGMEX_EDF  Read an EDF, EDF+, BDF or BDF+ header and its events into an HDR.
%
%   [HDR, events] = eegmex_edf(file)
%
%   Reads the header of an EDF or BDF recording (plain, or EDF+ / BDF+
%   continuous) and returns an HDR struct in the form eegfetch takes,
%   with each channel's name, unit, transducer, prefiltering and the
%   start time; and the recording's events: the EDF+ / BDF+ annotations
%   and, in a BDF file, the changes of the Status channel's low 16 bits.
%
%   eegfetch takes HDR as it is: EDF and BDF store the samples in data
%   records after the header (recordSamples(1) samples of channel 1, then
%   recordSamples(2) of channel 2, ..., record after record), BDF samples
%   are 24-bit (BinaryFormat 4), and offset carries the physical offsets,
%   so that eegfetch returns each channel in its unit. It reads the
%   channels of one rate at a time, each at its own rate (HDR.channelFs):
%     eeg = setdiff(HDR.fsChans, HDR.statusChan);   % not the Status channel
%     X = eegfetch(HDR.dataFile, HDR, struct('chanidx', eeg, 'fs', HDR.fs));
%     aux = eegfetch(HDR.dataFile, HDR, struct('chanidx', 4, 'fs', HDR.channelFs(4)));
%
%   HDR fields (the ones eegmex_vhdr gives, plus the record layout)
%     fs            The sampling rate in Hz of the data channels (all but
%                   the annotation channels) whose samples per record is
%                   the most common among them; on a tie, the larger
%                   count. See "Rate" below.
%     nChans        All signals of the file, annotation channels included.
%     BinaryFormat  1 for EDF (int16), 4 for BDF (24-bit integers).
%     scale         1 x nChans: (physical max - physical min) /
%                   (digital max - digital min), so that a sample in the
%                   channel's unit is digital * scale + offset.
%                   1 for an annotation channel.
%     offset        1 x nChans: physical min - digital min * scale; 0 for
%                   an annotation channel.
%     endian        'l' (EDF and BDF are little-endian).
%     label         1 x nChans cell: the channel names, without the spaces
%                   that pad them.
%     unit          1 x nChans cell: each channel's physical dimension
%                   as written ('uV', 'mV', ...).
%     dataFile      The full path of the file (header and data are one file).
%     dataOffset    Header bytes before the first record: 256 * (nChans + 1).
%     recordSamples 1 x nChans: each channel's samples per data record.
%     channelFs     1 x nChans: each channel's rate in Hz,
%                   fs * recordSamples / recordSamples at fs.
%     fsChans       The channels (numbers) at fs: the data channels whose
%                   recordSamples is that of fs and whose scale is known.
%                   In a BDF file the Status channel is among them when it
%                   has their rate.
%     statusChan    The number of the BDF Status channel (labelled
%                   Status), [] when there is none. Its samples are
%                   trigger words, not EEG: leave it out of filtered
%                   channels. Its trigger codes, one per sample, are the
%                   low 16 bits of the raw value:
%                     H = HDR; H.scale(:) = 1; H.offset(:) = 0;
%                     s = eegfetch(H.dataFile, H, struct('chanidx', ...
%                                  HDR.statusChan, 'fs', HDR.channelFs(HDR.statusChan)));
%                     codes = mod(s, 65536);
%                   and eegmex_events gives each change of them as an event.
%     annotation    1 x nChans logical: the "EDF Annotations" or
%                   "BDF Annotations" channels (no samples, text).
%     transducer, prefilter   1 x nChans cells, as written.
%     physicalMin, physicalMax, digitalMin, digitalMax   1 x nChans.
%     startTime     [year month day hour minute second]: the header's
%                   start date and time, plus the time the first record
%                   starts after it (EDF+), carried into minutes, hours and
%                   days of the calendar. Years 85-99 are
%                   1985-1999, 00-84 are 2000-2084; an EDF+ recording field
%                   "Startdate dd-MMM-yyyy" gives the full year.
%     patient, recording   The identification fields, without padding.
%     format        'EDF', 'EDF+C', 'BDF' or 'BDF+C'.
%     nRecords      The whole data records in the file now.
%     recordDuration  Seconds per record: recordSamples at fs / fs.
%
%   Rate
%   A record's duration is written in 8 characters, so it can be rounded:
%   one sample per record at 256 Hz is 0.00390625 s, written ".0039063".
%   When the duration fills all 8 characters with digits after the point
%   and its rate as written is not a whole number, digits may have been
%   cut off: it stands for every duration within half a unit of its last
%   digit, and fs is the simplest rate r
%   whose duration samples / r lies there: the smallest denominator (a
%   whole number when one fits); among those, the one with the largest
%   factor 2^a * 5^b (rates are round in binary or decimal: 256, 2048,
%   16384, 1000, 30000); then the nearest to samples / duration. So
%   ".0039063" with one sample per record gives 256, not 255.9967, and
%   OPT.fs = 64 divides it. Any other duration is exact, as MNE-Python
%   takes it: fewer than 8 characters, no digits after the point
%   ('00000001'), or a whole rate as written ('+1.0E+00' with 250 samples
%   per record is 250 Hz). A rate that is not a whole number of Hz is
%   refused, as eegfetch works with whole rates.
%
%   HDR has no nPoints: eegfetch reads the whole records the file holds
%   at each call, so an HDR read once follows a recording that is still
%   being written (OPT.resume, OPT.newest; eegmex_events for its events).
%   The samples of channel c now: HDR.nRecords * HDR.recordSamples(c).
%
%   Records: the file gives the whole records it holds now. A header that
%   says -1 records (a recording still being written) or fewer records
%   than the file holds gives all of them; a file with fewer whole records
%   than its header says gives those, with the warning eegmex_edf:truncated.
%   A partly written last record is left out.
%
%   events
%   A 1 x n struct array, in the order of onset (a 0 x 0 struct with the
%   same fields when there are none):
%     type      'annotation' or 'status'.
%     onset     Seconds after the first sample. EDF+ onsets are counted
%               from the time the first record's time-keeping annotation
%               gives, so the first sample is at 0.
%     duration  Seconds; 0 for an annotation that gives none. For a
%               status event, how long the value lasted.
%     text      The annotation's text (UTF-8, or Latin-1 when it is not
%               valid UTF-8); for a status event, its value in decimal.
%               A time-stamped list of several texts gives one event each.
%     value     The status value (low 16 bits); NaN for an annotation.
%     position  The data point at fs nearest the onset, counted from 1:
%               round(onset * fs) + 1.
%     status    For a status event the whole 24-bit Status value at its
%               onset (the amplifier's upper 8 bits included); NaN for an
%               annotation.
%   The time-keeping annotations (the empty first annotation of each
%   record) are not events. Status events (BDF, a channel labelled
%   Status): each sample where the low 16 bits change to a value other
%   than 0 (the first sample, when it is not 0) starts an event; it lasts
%   until the next change. The upper 8 bits (the amplifier's own status)
%   are left out.
%
%   Errors
%   Every error names the file and the field, as "eegmex_edf: <file>:
%   <field> ...". Damaged headers (eegmex_edf:damaged): a first byte that
%   is neither EDF's "0" nor BDF's 255, a file shorter than its header, a
%   number field that is not a number (or not a whole one where counts
%   are; a physical minimum or maximum may have a decimal comma), a number of signals below 1, a header size other than
%   256 * (signals + 1), a record duration of 0 or less, fewer than one
%   sample per record, a digital minimum not below the digital maximum or
%   outside the sample format (-32768..32767, -8388608..8388607), a start
%   date or time that is not
%   dd.mm.yy / hh.mm.ss. Unsupported recordings (eegmex_edf:unsupported):
%   EDF+D and BDF+D (discontinuous: records with gaps between them), a
%   file with only annotation channels, a rate that is not a whole number
%   of Hz. eegmex_edf:file: the file cannot be opened. A data channel
%   whose physical minimum equals its maximum has no scale: the file is
%   read, that channel's scale and offset are NaN, it is not among
%   fsChans, and the warning eegmex_edf:unknownScale names it.
%
%   Example
%     [HDR, events] = eegmex_edf('rec.bdf');
%     HDR.label(HDR.fsChans)         % the channels at HDR.fs
%     stim = events(strcmp({events.type}, 'status') & [events.value] == 1);
%     t = [stim.onset];              % seconds after the first sample
%
%   See also EEGFETCH, EEGMEX_EVENTS, EEGMEX_VHDR.  eegmex @EEGMEX_VERSION@, MIT license.

  if nargin ~= 1 || ~ischar(file) || isempty(file) || size(file, 1) ~= 1
    error('eegmex_edf:usage', 'eegmex_edf: give the file name as text: [HDR, events] = eegmex_edf(file)');
  end
  [h, id, msg, wid, wmsg] = eegmex_formats('edf', file, nargout > 1);   % the records only for events
  if ~isempty(id)
    error(id, '%s', msg);
  end
  if ~isempty(wid)
    warning(wid, '%s', wmsg);
  end
  n = h.nChans;
  data = find(~h.annotation & ~isnan(h.scale));   % a channel without a scale is not among fsChans
  statusChan = h.statusChan;
  if statusChan == 0
    statusChan = [];
  end
  HDR = struct('fs', h.fs, 'nChans', n, 'BinaryFormat', h.BinaryFormat, 'scale', h.scale, 'offset', h.offset, ...
               'endian', 'l', 'label', {h.label}, 'unit', {h.unit}, 'dataFile', h.dataFile, ...
               'dataOffset', h.dataOffset, 'recordSamples', h.recordSamples, 'channelFs', h.channelFs, ...
               'fsChans', data(h.recordSamples(data) == h.fsSamples), 'statusChan', statusChan, ...
               'annotation', logical(h.annotation), 'transducer', {h.transducer}, ...
               'prefilter', {h.prefilter}, 'physicalMin', h.physicalMin, 'physicalMax', h.physicalMax, ...
               'digitalMin', h.digitalMin, 'digitalMax', h.digitalMax, 'startTime', h.startTime, ...
               'patient', h.patient, 'recording', h.recording, 'format', h.format, 'nRecords', h.nRecords, ...
               'recordDuration', h.recordDuration);
  if nargout > 1
    events = h.events;   % the struct array as it is returned
  end
end
