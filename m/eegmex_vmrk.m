function M = eegmex_vmrk(vmrkFile)
%EEGMEX_VMRK  Read the markers of a BrainVision recording (.vmrk).
%
%   M = eegmex_vmrk(vmrkFile)
%
%   Reads the marker file of a BrainVision recording (HDR.markerFile from
%   eegmex_vhdr) and returns its markers as a 1 x n struct array, in the
%   order of their numbers Mk1, Mk2, ...:
%
%     type         Marker type: 'Stimulus', 'Response', 'New Segment',
%                  'Comment', ... ("\1" turned back into a comma).
%     description  Its description, e.g. 'S  1' for trigger code 1 on the
%                  stimulus lines, 'R  8' for a response ("\1" turned back
%                  into a comma); may be empty.
%     position     The data point the marker sits on, counted from 1 as
%                  the file counts it: the frame position of the data
%                  file. Its time from the start is (position - 1) / fs.
%     points       Its length in data points (1 for a trigger).
%     channel      The channel it belongs to, 0 for all channels.
%     date         The recording time that a 'New Segment' marker
%                  carries, as the file writes it: 20 digits, yyyymmdd
%                  hhmmss and microseconds ('20240131142501123456'); ''
%                  when the marker has none.
%   A file without markers gives a 0 x 0 struct array with these fields.
%   Code pages, comments and errors are as in eegmex_vhdr: UTF-8 or
%   Codepage=ANSI; "eegmex_vmrk: <file>: <problem>" with the identifiers
%   eegmex_vmrk:file (no such file), eegmex_vmrk:damaged (not a marker
%   file, no [Marker Infos] section, a marker line that is not
%   Mk<n>=type,description,position,points[,channel[,date]] with whole
%   numbers, position from 1, or a marker number given twice) and
%   eegmex_vmrk:unsupported (a code page other than UTF-8 and ANSI).
%
%   Markers and the rows of eegfetch
%   eegfetch turns each block of factor = HDR.fs / OPT.fs frames into one
%   output row: row r comes from frames (r-1)*factor+1 .. r*factor (by
%   default it is the last of them, r*factor, filtered). A marker at
%   position p therefore falls in row
%     r = ceil(p / factor)
%   and that row's sample lies (r*factor - p) / HDR.fs seconds after the
%   marker (0 when p is the last frame of its block). With factor 1, row
%   r is data point r. With OPT.data and OPT.dataPos, the row is moved as
%   the placement window says (destStart + r - 1 - srcStart, 0-based).
%
%   Examples
%     % every marker
%     HDR = eegmex_vhdr('rec.vhdr');
%     M = eegmex_vmrk(HDR.markerFile);
%     for k = 1:numel(M)
%       fprintf('%-12s %-8s %8d\n', M(k).type, M(k).description, M(k).position);
%     end
%
%     % epochs from 100 ms before to 500 ms after each 'S  1' stimulus, at 250 Hz
%     factor = HDR.fs / 250;
%     OPT = struct('chanidx', 1:HDR.nChans, 'fs', 250, ...
%                  'filt_subsample', ones(1, factor) / factor);
%     X = eegfetch(HDR.dataFile, HDR, OPT);
%     stim = M(strcmp({M.type}, 'Stimulus') & strcmp({M.description}, 'S  1'));
%     at = ceil([stim.position] / factor);          % rows of X
%     pre = round(0.1 * 250); post = round(0.5 * 250);
%     at = at(at > pre & at + post <= size(X, 1));  % whole epochs only
%     epochs = zeros(pre + post + 1, HDR.nChans, numel(at));
%     for k = 1:numel(at)
%       epochs(:, :, k) = X(at(k) - pre:at(k) + post, :);
%     end
%     erp = mean(epochs, 3);                        % the average response
%
%   Markers of a recording still being written, a call at a time: eegmex_events.
%
%   See also EEGMEX_VHDR, EEGMEX_EVENTS, EEGFETCH, TRIGOUT.  eegmex @EEGMEX_VERSION@, MIT license.

  if nargin ~= 1 || ~ischar(vmrkFile) || isempty(vmrkFile) || size(vmrkFile, 1) ~= 1
    error('eegmex_vmrk:usage', 'eegmex_vmrk: give the marker file name as text: M = eegmex_vmrk(vmrkFile)');
  end
  [M, id, msg] = eegmex_formats('vmrk', vmrkFile);   % the markers as they are returned
  if ~isempty(id)
    error(id, '%s', msg);
  end
end
