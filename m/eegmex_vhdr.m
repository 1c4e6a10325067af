function HDR = eegmex_vhdr(vhdrFile)
%EEGMEX_VHDR  Read a BrainVision header (.vhdr) into an HDR for eegfetch.
%
%   HDR = eegmex_vhdr(vhdrFile)
%
%   Reads the text header of a BrainVision recording (the .vhdr of the
%   .vhdr/.vmrk/.eeg triple) and returns an HDR struct that eegfetch
%   takes as it is, with the file names of the data and the markers:
%
%     HDR = eegmex_vhdr('rec.vhdr');
%     X = eegfetch(HDR.dataFile, HDR, struct('chanidx', 1:HDR.nChans, 'fs', HDR.fs));
%     M = eegmex_vmrk(HDR.markerFile);
%
%   X then holds every channel at the recorded rate, in the unit of each
%   channel (HDR.unit, usually microvolts), one row per data point.
%
%   HDR fields
%     fs            Sampling rate in Hz: 1e6 / SamplingInterval (the
%                   header gives the interval in microseconds).
%     nChans        NumberOfChannels.
%     BinaryFormat  1 for INT_16, 2 for INT_32, 3 for IEEE_FLOAT_32.
%     scale         1 x nChans: each channel's resolution (the value of
%                   one count in the channel's unit); an empty resolution
%                   is 1.
%     endian        'l', or 'b' when [Binary Infos] says
%                   UseBigEndianOrder=YES.
%     label         1 x nChans cell: channel names, "\1" turned back into
%                   the comma it stands for.
%     reference     1 x nChans cell: each channel's reference channel name
%                   (often empty).
%     unit          1 x nChans cell: each channel's unit; an empty or
%                   missing unit is 'µV', as the format defines.
%     dataFile      Full path of the data file (DataFile).
%     markerFile    Full path of the marker file (MarkerFile).
%   HDR has no nPoints, so eegfetch reads the data file to its current
%   end: a recording still being written is read as far as it goes.
%   DataFile and MarkerFile are taken relative to the folder of the header
%   unless they are absolute paths.
%
%   What is read
%     - Only binary data in MULTIPLEXED orientation (one sample of every
%       channel per frame, frames from byte 0), INT_16, INT_32 or
%       IEEE_FLOAT_32, in either byte order: what eegfetch reads.
%     - Both code pages of the format: Codepage=UTF-8 (the default) and
%       Codepage=ANSI (Windows-1252, the Latin-1 code page of Windows,
%       byte by byte). In a header without a Codepage line, a line that
%       is not valid UTF-8 is read as Latin-1, as older recorders wrote
%       it. Names and units come out as the characters they are ('µV' in
%       both code pages). A file whose first line is not a header line
%       is refused after its first 4 KiB, whatever its size.
%     - Keys are matched without regard to case; blank lines and comment
%       lines (starting with ';' or '#') are skipped, and so are the
%       sections not needed here ([Coordinates], ...). Everything after a
%       [Comment] line is free text and is not read.
%
%   Errors
%   Every error names the header file and what is wrong with it, as
%   "eegmex_vhdr: <file>: <problem>". Unsupported recordings (identifier
%   eegmex_vhdr:unsupported): VECTORIZED orientation, ASCII data, other
%   binary formats (UINT_16, ...), a DataType other than TIMEDOMAIN, a
%   sampling rate that is not a whole number of Hz (eegfetch works with
%   whole rates). Damaged headers (eegmex_vhdr:damaged): a first line that
%   is not a BrainVision header line, a missing section or key, a line
%   that is neither a comment nor key=value, a key given twice, a number
%   that is not one, a channel count that disagrees with the [Channel
%   Infos] entries (missing, extra or repeated Ch<n>), a channel entry
%   with fewer than three fields. Missing files (eegmex_vhdr:file): the
%   header itself or the data file it names. A header is never read
%   partly: either every field above is right or there is an error.
%
%   Examples
%     % every channel at 250 Hz through a low-pass, in microvolts
%     HDR = eegmex_vhdr('rec.vhdr');
%     factor = HDR.fs / 250;
%     K = tan(pi * 100 / HDR.fs); n = 1 + sqrt(2) * K + K^2;   % low-pass, 100 Hz
%     b = [K^2, 2 * K^2, K^2] / n;
%     a = [1, 2 * (K^2 - 1) / n, (1 - sqrt(2) * K + K^2) / n];
%     OPT = struct('chanidx', 1:HDR.nChans, 'fs', 250, 'filt_b', b, ...
%                  'filt_a', a, 'filt_subsample', ones(1, factor) / factor);
%     X = eegfetch(HDR.dataFile, HDR, OPT);
%
%     % channels by name
%     OPT.chanidx = find(ismember(HDR.label, {'Cz', 'Pz'}));
%
%     % X in volts, when every channel has a voltage unit
%     perUnit = containers.Map({'V', 'mV', 'µV', 'uV', 'nV'}, {1, 1e-3, 1e-6, 1e-6, 1e-9});
%     HDR.scale = HDR.scale .* cellfun(@(u) perUnit(u), HDR.unit);
%
%   Online: an HDR read once follows the recording as it grows; see
%   help eegmex_events for the loop that reads data and markers together.
%
%   See also EEGMEX_VMRK, EEGMEX_EVENTS, EEGFETCH.  eegmex @EEGMEX_VERSION@, MIT license.

  if nargin ~= 1 || ~ischar(vhdrFile) || isempty(vhdrFile) || size(vhdrFile, 1) ~= 1
    error('eegmex_vhdr:usage', 'eegmex_vhdr: give the header file name as text: HDR = eegmex_vhdr(vhdrFile)');
  end
  [h, id, msg] = eegmex_formats('vhdr', vhdrFile);
  if ~isempty(id)
    error(id, '%s', msg);
  end
  n = h.nChans;
  HDR = struct('fs', h.fs, 'nChans', n, 'BinaryFormat', h.BinaryFormat, 'scale', h.scale, 'endian', h.endian, ...
               'label', {h.label}, 'reference', {h.reference}, 'unit', {h.unit}, ...
               'dataFile', h.dataFile, 'markerFile', h.markerFile);
end
