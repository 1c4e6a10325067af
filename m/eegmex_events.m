function [events, state] = eegmex_events(HDR, state, upTo)
%EEGMEX_EVENTS  The events of a recording as it grows: markers, annotations, Status changes.
%
%   [events, state] = eegmex_events(HDR, state, upTo)
%
%   Returns the events of the recording that HDR describes that no
%   earlier call returned, with positions up to frame upTo, and the state
%   to pass to the next call. The first call passes [] as state. A call
%   reads only the bytes added since the last one, so an online loop can
%   ask after every read of eegfetch:
%
%     HDR = eegmex_vhdr('rec.vhdr');   chanidx = 1:HDR.nChans;
%     % EDF, BDF: HDR = eegmex_edf('rec.bdf');
%     %           chanidx = setdiff(HDR.fsChans, HDR.statusChan);
%     OPT = struct('chanidx', chanidx, 'fs', HDR.fs, 'resume', true, 'newest', true);
%     OPT.data = zeros(2 * HDR.fs, numel(chanidx));  % the newest 2 s
%     state = [];
%     while recording
%       [X, info] = eegfetch(HDR.dataFile, HDR, OPT);
%       [ev, state] = eegmex_events(HDR, state, info.frames);
%       % ev: the events of the frames read so far that are new
%     end
%
%   HDR      From eegmex_vhdr: the markers of HDR.markerFile. From
%            eegmex_edf: the EDF+/BDF+ annotations and the changes of the
%            BDF Status channel (HDR.statusChan). From eegmex_xdf (the HDR
%            of a numeric stream): the samples of the file's string and
%            irregular streams, as eegmex_xdf_events gives them, with
%            position the 1-based sample of HDR's stream nearest in time;
%            one at that stream's last sample in the file waits while the
%            stream has no footer.
%   state    [] at first; then what the last call returned for this HDR.
%            state.startedOver is '' when the call went on from state,
%            and otherwise says why it started from the start of the file
%            and returned its events again: 'first call', 'another file',
%            'shorter' (the file shrank), 'changed bytes' (bytes before
%            the point where the last call stopped changed).
%   upTo     Frames at HDR.fs: events at positions up to upTo only, so
%            that events never run ahead of the data read. Give
%            info.frames of the eegfetch call that reads at HDR.fs (at a
%            lower rate OPT.fs, info.frames counts frames at HDR.fs as
%            well). Left out or Inf: all the file holds, and the
%            recording is finished: a marker file's last line is taken
%            without a line end. Give Inf only after the writer closed
%            the file; while it may still write, give a number of frames.
%
%   events   A 1 x n struct array with the fields of the whole-file
%            reader of the format:
%            BrainVision (as eegmex_vmrk): type, description, position,
%              points, channel, date; in the order of their lines.
%            EDF+/BDF (as eegmex_edf): type ('annotation' or 'status'),
%              onset, duration, text, value, position, status; in the
%              order of onset. A status event is a change of the Status
%              channel's low 16 bits to a value other than 0: value is
%              that trigger code, status the whole 24-bit value. It comes
%              at its onset, so its duration is NaN when its end was not
%              yet in the file.
%            position is the frame from 1. The row of eegfetch's output
%            an event falls in, for factor = HDR.fs / OPT.fs, is
%              row = ceil(position / factor)
%            counted in the output samples of the whole file (with
%            OPT.newest, the last row of OPT.data is output sample
%            info.outputs: the event is in row
%            size(OPT.data, 1) - info.outputs + ceil(position / factor)).
%
%   Over any growth (markers written before their data, a half-written
%   marker line, a partial record, a record count rewritten in the
%   header) the events of all calls together are the whole-file reader's
%   (status durations aside, see above). A marker line is read once its
%   line end is written; lines that end in CR alone are read as they come
%   once the file's first line end was a CR alone. Marker numbers given
%   twice are found by eegmex_vmrk only.
%
%   Errors are those of eegmex_vmrk and eegmex_edf for the lines and
%   records read, as "eegmex_events: <file>: <problem>" with the
%   identifiers eegmex_events:file, eegmex_events:damaged and
%   eegmex_events:unsupported; eegmex_events:usage for arguments that are
%   not an HDR, a state and a number, and for a state whose fields hold
%   numbers no call gives (NaN, a negative count, ...): the message names
%   the field ("state.point is not what the last call of eegmex_events
%   returned; ...").
%
%   See also EEGFETCH, EEGMEX_VMRK, EEGMEX_EDF, TRIGOUT.  eegmex @EEGMEX_VERSION@, MIT license.

  if nargin < 2
    error('eegmex_events:usage', 'eegmex_events: [events, state] = eegmex_events(HDR, state, upTo)');
  end
  if nargin < 3
    upTo = Inf;
  end
  % The events come as the struct array returned: markers, EDF/BDF events or XDF events.
  [events, id, msg, wid, wmsg, state] = eegmex_formats('events', HDR, state, upTo); %#ok<ASGLU>
  if ~isempty(id)
    error(id, '%s', msg);
  end
end
