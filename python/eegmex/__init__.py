"""eegmex: EEG recordings into numpy, their headers and events, and trigger pulses.

The same C++ code as the eegmex modules of MATLAB and GNU Octave, through their own gateways: the
argument checks, the messages, the numbers and the online state are those modules' own.

    x, info = eegmex.fetch(path, hdr, chanidx=[0, 4], fs=250)     # filtered, decimated, scaled
    hdr = eegmex.read_vhdr('rec.vhdr')                             # BrainVision header
    hdr, events = eegmex.read_edf('rec.bdf')                       # EDF/BDF header and events
    eegmex.io_lib = eegmex.simport(); eegmex.trigout(888, 255)     # a pulse, reset 10 ms later

Channel numbers count from 0 (``chanidx``, ``hdr['fsChans']``, ``hdr['statusChan']``); everything
else means what it means in Octave, and error texts are the Octave module's (which count channels
from 1). See docs/python.md.
"""

import atexit as _atexit
import difflib as _difflib
import errno as _errno
import os as _os
import sys as _sys
import threading as _threading
import warnings as _warnings

import numpy as _np

from . import _eegmex
from ._eeglab import read_set

__all__ = [
    "fetch",
    "Stream",
    "Decimator",
    "place_markers",
    "read_vhdr",
    "read_vmrk",
    "read_edf",
    "read_set",
    "events",
    "read_xdf",
    "read_xdf_stream",
    "xdf_times",
    "xdf_events",
    "trigout",
    "simport",
    "serialport",
    "io_lib",
    "EegmexWarning",
]

__version__ = "0.1.0"

#: The port library trigout uses when a call names none (as Octave's global IO_LIB).
io_lib = None

_EEGFETCH, _FORMATS, _TRIGOUT = 0, 1, 2
# Channel numbers that count from 1 in Octave and from 0 here.
_CHANNEL_FIELDS = ("fsChans", "statusChan")


class EegmexWarning(UserWarning):
    """A warning of the modules; ``id`` is its identifier (``'eegfetch:sharedData'``), or ''."""

    def __init__(self, text, id=""):
        super().__init__(text)
        self.id = id


_HERE = _os.path.dirname(_os.path.abspath(__file__))

# trigout's messages about its arguments; every other one is about the port library or the device.
_TRIGOUT_ARGUMENTS = ("Two or three or four input arguments", "No output argument", "IO_LIB not found",
                      "IO_LIB must not", "port must", "value must", "duration must", "delay must")


class _NotFound(FileNotFoundError):
    """FileNotFoundError with errno ENOENT and the path in .filename, whose text is the module's own."""

    def __str__(self):
        return self.strerror


_NotFound.__name__ = _NotFound.__qualname__ = "FileNotFoundError"


def _missing(text, path, cls=OSError):
    """FileNotFoundError (errno ENOENT, with the path) when `path` does not exist, else `cls`."""
    if path is not None and not _os.path.lexists(path):
        return _NotFound(_errno.ENOENT, text, _os.fsdecode(path))
    return cls(text)


def _error(text, default=ValueError, module=None, path=None):
    # A module's message may end in a line feed (trigout's do), which MATLAB and Octave drop when
    # they show it.
    if text.endswith("\n"):
        text = text[:-1]
    if text.startswith(("Not enough memory", "Out of memory")) or "no memory" in text:
        return MemoryError(text)
    if text.startswith("Could not open"):
        return _missing(text, path)
    if text.startswith(("Could not read the eeg", "Could not find the length")):
        return OSError(text)
    if module == _TRIGOUT and not text.startswith(_TRIGOUT_ARGUMENTS):
        # The port library does not load, lacks an export, its driver is closed, or its device
        # cannot be opened or written: OSError, FileNotFoundError for what is not there.
        if text.startswith("LoadLibrary Failed"):
            return _missing(text, path)
        if text.startswith("serialport: cannot open "):
            device = text[len("serialport: cannot open "):].rsplit(": ", 1)[0]
            return _missing(text, device)
        return OSError(text)
    return default(text)


def _stacklevel():
    """The stack level of the first frame outside this package: warnings name the caller's line."""
    frame, level = _sys._getframe(1), 1
    while frame is not None and _os.path.dirname(_os.path.abspath(frame.f_code.co_filename)) == _HERE:
        frame, level = frame.f_back, level + 1
    return level


def _warn(warning):
    _warnings.warn(warning, stacklevel=_stacklevel())


def _call(module, nlhs, args, io_lib=None, streams=None, error=ValueError, first_unused=False, path=None):
    outputs, warnings, message = _eegmex.call(module, nlhs, args, io_lib, streams, first_unused)
    for wid, text in warnings:
        _warn(EegmexWarning(text, wid))
    if message is not None:
        raise _error(message, error, module, path)
    return outputs


def _check_keywords(where, given, known):
    """TypeError naming a keyword that is no option (a misspelt one would be ignored otherwise)."""
    for name in given:
        if name not in known:
            close = _difflib.get_close_matches(name, known, n=1)
            if not close:
                close = [k for k in known if k.lower() == name.lower().replace("-", "_")]
            hint = " (did you mean %r?)" % close[0] if close else ""
            raise TypeError("%s() got an unexpected keyword argument %r%s" % (where, name, hint))


#: The keywords of fetch: the fields of Octave's OPT.
_FETCH_OPTIONS = ("chanidx", "fs", "filt_b", "filt_a", "sos", "filt_subsample", "data", "dataPos", "resume",
                  "newest", "newRows", "threads")


def _path(path):
    return _os.fsencode(path)  # bytes, as the file system takes them: str (surrogate-escaped or not) or bytes


def _scalar(a):
    a = _np.asarray(a)
    if a.size != 1:
        return a
    v = a.reshape(()).item()
    return int(v) if isinstance(v, float) and v.is_integer() else v


def _from_one(v):
    """0-based channel numbers as the modules count them, from 1; wide enough that none overflows.
    What is no number (bool, text) goes as it is, for the module's own message."""
    a = _np.asarray(v)
    if a.dtype.kind in "iu":
        return a.astype(_np.int64) + 1 if a.dtype != _np.uint64 else a.astype(_np.float64) + 1
    if a.dtype.kind == "f":
        return a.astype(_np.float64) + 1
    return a


def _hdr_in(hdr):
    if not isinstance(hdr, dict):
        return hdr  # the module says what it expects
    out = dict(hdr)
    for name in _CHANNEL_FIELDS:
        if name in out:
            v = out[name]
            out[name] = _np.zeros((0, 0)) if v is None or _np.size(v) == 0 else _from_one(v)
    return out


def _opt_in(opt):
    out = dict(opt)
    if "chanidx" in out and out["chanidx"] is not None:
        c = out["chanidx"]
        out["chanidx"] = _from_one(c) if not isinstance(c, (str, bytes, dict)) else c
    if "data" in out and out["data"] is not None:
        out["data"] = _eegmex.Target(out["data"])
    return out


def _info(d):
    return {k: (v if isinstance(v, str) else _scalar(v)) for k, v in d.items()}


def _fetch(path, hdr, opt, streams=None):
    data = opt.get("data")
    path = _path(path)
    # With data=, the module's returned copy of it is not asked for: the caller has the array itself.
    x, info = _call(_EEGFETCH, 2, [path, _hdr_in(hdr), _opt_in(opt)], streams=streams,
                    first_unused=data is not None, path=path)
    return (data if data is not None else x), _info(info)


def fetch(path, hdr, **opt):
    """Read a recording into a float64 array: ``x, info = fetch(path, hdr, **opt)``.

    path    the data file (str or os.PathLike)
    hdr     dict with the fields of Octave's HDR: fs, nChans, BinaryFormat (1 int16, 2 int32,
            3 float32, 4 int24), scale (one per channel), endian ('l' or 'b'); optional nPoints,
            dataOffset, recordSamples, offset, channelFs. read_vhdr and read_edf give one.
    opt     keywords with the names of Octave's OPT fields: chanidx (0-based channel numbers, in
            output column order), fs (output rate; hdr['fs'] a whole multiple of it), filt_b and
            filt_a (IIR filter), or sos (second-order sections, K x 6 rows [b0 b1 b2 a0 a1 a2]
            with a0 = 1, as scipy.signal.butter(..., output='sos') gives them; each channel's
            result is sosfilt's bit for bit), filt_subsample (weights of a block), data (an array
            written in place), dataPos ([destStart, destEnd, srcStart, srcEnd], 0-based), resume,
            newest, newRows (with resume: the output samples no earlier call returned), threads
            (the most threads the read uses; default EEGMEX_NUM_THREADS, else the processors the
            process may use, at most 2). Any other keyword is a TypeError.

    Returns x, of shape (outputs, channels), the array the engine wrote (Fortran order, no copy
    after the read); with data= it is that array, written in place whatever its memory order.
    data= must be a writable float64 2-D array with len(chanidx) columns: anything else is refused,
    never copied. info is a dict: frames, outputs, resumedFrames, fullReadReason, limit,
    firstOutput (the output sample in the first row), missed (newest windows with resume: outputs
    that fell between two windows).

    Errors are the Octave module's texts: ValueError for arguments, OSError for the file
    (FileNotFoundError when it does not exist), MemoryError; warnings (a short file) are
    EegmexWarning. The read runs without the GIL, at the same time as reads of other files and
    pulses in other threads; Ctrl-C stops it (KeyboardInterrupt, on the main thread).
    """
    _check_keywords("fetch", opt, _FETCH_OPTIONS)
    return _fetch(path, hdr, opt)


class Stream:
    """Online reads of a growing recording, with the stream state held by this object.

    ``s = Stream(path, hdr, window=N, chanidx=..., fs=..., **opt)``: each ``s.read()`` reads only
    the frames new since the last one (as fetch with resume=True, through the engine's own stream
    type) and places the newest N output samples in ``s.data`` (newest in the last row). Instead of
    window=, give data= (and newest= or dataPos=) as fetch takes them. ``read`` returns
    ``(s.data, info)``; ``info['resumedFrames']`` says how many frames were not read again, and
    with a window ``info['missed']`` how many output samples fell between this read's window and
    the last one. ``s.read_new()`` returns instead exactly the output samples no earlier
    ``read_new`` returned, however many, as a new array (a Stream for ``read_new`` alone needs no
    window= or data=). The state lives in this object, not in the module: several Streams on one
    file, or a Stream and fetch calls, never disturb each other. ``reset()`` drops it.
    """

    def __init__(self, path, hdr, window=None, **opt):
        _check_keywords("Stream", opt, _FETCH_OPTIONS)
        if window is not None:
            if "data" in opt:
                raise ValueError("give window= or data=, not both")
            n = len(_np.atleast_1d(opt.get("chanidx", [])))
            opt["data"] = _np.zeros((int(window), n))
            opt.setdefault("newest", True)
        opt["resume"] = True
        self.path = path
        self.hdr = hdr
        self.opt = opt
        self._streams = _eegmex.StreamCache()

    @property
    def data(self):
        """The array each read writes into."""
        return self.opt["data"]

    def read(self, **changes):
        """Reads the new frames: returns (data, info). Keywords change the options from now on.
        Reads of one Stream take turns; reset() waits for a read in progress."""
        _check_keywords("Stream.read", changes, _FETCH_OPTIONS)
        if self.opt.get("data") is None and changes.get("data") is None:
            raise ValueError("a Stream writes into an array: give window=N or data=")
        self.opt.update(changes)
        self.opt["resume"] = True
        return _fetch(self.path, self.hdr, self.opt, self._streams)

    def read_new(self):
        """Reads the new frames and returns (rows, info): the output samples no earlier read_new
        returned, however many (none, one or many rows), as a new float64 array; info['firstOutput']
        is the output index of its first row. A row is never returned twice nor skipped."""
        opt = {k: v for k, v in self.opt.items() if k not in ("data", "dataPos", "newest")}
        opt.update(resume=True, newRows=True)
        return _fetch(self.path, self.hdr, opt, self._streams)

    def reset(self):
        """Forgets the state: the next read starts from the first frame."""
        self._streams.drop_all()

    def __repr__(self):
        if self.opt.get("data") is None:
            return "Stream(%r, new rows)" % (self.path,)
        return "Stream(%r, window of %d rows)" % (self.path, self.data.shape[0])


# ---- the recording readers


def _texts(cells, n):
    # The module hands a column of texts over as a cell: a list here.
    return list(cells) if n else []


def _row(a):
    return _np.asarray(a, dtype=float).reshape(-1)


def _markers(c):
    n = _np.size(c["position"])
    if n == 0:
        return []
    types, descriptions, dates = _texts(c["type"], n), _texts(c["description"], n), _texts(c["date"], n)
    pos, pts, ch = _row(c["position"]), _row(c["points"]), _row(c["channel"])
    return [
        dict(type=types[i], description=descriptions[i], position=_scalar(pos[i]), points=_scalar(pts[i]),
             channel=_scalar(ch[i]), date=dates[i])
        for i in range(n)
    ]


def _events(c):
    n = _np.size(c["position"])
    if n == 0:
        return []
    texts = _texts(c["text"], n)
    types, onset, duration = _texts(c["type"], n), _row(c["onset"]), _row(c["duration"])
    value, pos, word = _row(c["value"]), _row(c["position"]), _row(c["status"])
    return [
        dict(type=types[i], onset=float(onset[i]), duration=float(duration[i]),
             text=texts[i], value=_scalar(value[i]), position=_scalar(pos[i]), status=_scalar(word[i]))
        for i in range(n)
    ]


def _file_arg(name, path, usage):
    """The path as bytes, as the file system takes it (as fetch does): str, a surrogate-escaped str
    (a name that is not UTF-8), bytes or os.PathLike."""
    if isinstance(path, _os.PathLike):
        path = _os.fspath(path)
    if not isinstance(path, (str, bytes)) or not path:
        raise ValueError("%s: give the %s" % (name, usage))
    path = _os.fsencode(path)
    if b"\0" in path:
        raise ValueError("%s: the file name must not hold a NUL character" % name)
    return path


def _formats(args, nout, path=None):
    out = _call(_FORMATS, nout, args, error=ValueError)
    eid, msg = out[1], out[2]
    if eid:
        error = _missing(msg, path) if eid.endswith(":file") else ValueError(msg)
        error.id = eid  # as Octave's error identifier: 'eegmex_vhdr:file', 'eegmex_edf:damaged', ...
        raise error
    if nout > 3 and out[3]:
        _warn(EegmexWarning(out[4], out[3]))
    return out


def read_vhdr(path):
    """A BrainVision header (.vhdr) as a dict that fetch takes as it is.

    Keys: fs, nChans, BinaryFormat, scale, endian, label, reference, unit (lists of str),
    dataFile, markerFile (full paths). Errors: OSError (the file), ValueError (its contents), with
    the texts of Octave's eegmex_vhdr.
    """
    path = _file_arg("eegmex_vhdr", path, "header file name as text")
    h = _formats(["vhdr", path], 3, path)[0]
    n = int(_scalar(h["nChans"]))
    return dict(fs=_scalar(h["fs"]), nChans=n, BinaryFormat=_scalar(h["BinaryFormat"]), scale=_row(h["scale"]),
                endian=h["endian"], label=_texts(h["label"], n), reference=_texts(h["reference"], n),
                unit=_texts(h["unit"], n), dataFile=h["dataFile"], markerFile=h["markerFile"])


def read_vmrk(path):
    """The markers of a BrainVision marker file (.vmrk): a list of dicts with the fields of
    Octave's eegmex_vmrk: type, description, position (1-based sample, as the file counts),
    points, channel (0: all channels), date."""
    path = _file_arg("eegmex_vmrk", path, "marker file name as text")
    return _markers(_formats(["vmrk", path], 3, path)[0])


def read_edf(path):
    """An EDF, EDF+C, BDF or BDF+C file's header and events: ``hdr, events = read_edf(path)``.

    hdr has the fields of Octave's eegmex_edf and goes to fetch as it is; fsChans (the data
    channels at hdr['fs']) and statusChan (the BDF Status channel, or None) count from 0. events
    is a list of dicts (type 'annotation' or 'status', onset, duration, text, value, position,
    status). A file shorter than its header says warns (EegmexWarning 'eegmex_edf:truncated'); a
    channel whose physical minimum equals its maximum has NaN scale and offset, is not in fsChans,
    and warns 'eegmex_edf:unknownScale'.
    """
    path = _file_arg("eegmex_edf", path, "file name as text")
    h = _formats(["edf", path], 5, path)[0]
    n = int(_scalar(h["nChans"]))
    annotation = _row(h["annotation"]) != 0
    record_samples = _row(h["recordSamples"])
    data = _np.flatnonzero(~annotation & ~_np.isnan(_row(h["scale"])))  # a channel without a scale is left out
    fs_chans = data[record_samples[data] == _scalar(h["fsSamples"])]
    status = int(_scalar(h["statusChan"]))
    hdr = dict(
        fs=_scalar(h["fs"]), nChans=n, BinaryFormat=_scalar(h["BinaryFormat"]), scale=_row(h["scale"]),
        offset=_row(h["offset"]), endian="l", label=_texts(h["label"], n), unit=_texts(h["unit"], n),
        dataFile=h["dataFile"], dataOffset=_scalar(h["dataOffset"]), recordSamples=record_samples,
        channelFs=_row(h["channelFs"]), fsChans=fs_chans, statusChan=status - 1 if status else None,
        annotation=annotation, transducer=_texts(h["transducer"], n), prefilter=_texts(h["prefilter"], n),
        physicalMin=_row(h["physicalMin"]), physicalMax=_row(h["physicalMax"]), digitalMin=_row(h["digitalMin"]),
        digitalMax=_row(h["digitalMax"]), startTime=_row(h["startTime"]), patient=h["patient"],
        recording=h["recording"], format=h["format"], nRecords=_scalar(h["nRecords"]),
        recordDuration=_scalar(h["recordDuration"]),
    )
    return hdr, _events(h["events"])


def events(hdr, state=None, up_to=float("inf")):
    """The events a growing recording added since the last call: ``ev, state = events(hdr, state, up_to)``.

    hdr: from read_vhdr (events from its marker file, as read_vmrk gives them), read_edf
    (annotations and Status changes, as read_edf gives them) or read_xdf (the HDR of a numeric stream:
    the samples of string and irregular streams as xdf_events gives them, positions in that stream).
    state: None at the first call, then the state the last call returned (a changed field raises
    ValueError naming it). up_to: frames read so far (fetch's info['frames']): no event past them is
    given, so none runs ahead of its data. up_to=inf (the default) says the recording is finished: a
    marker file's last line is taken without a line end; give it only after the writer closed the file.
    """
    if state is None:
        state = _np.zeros((0, 0))
    out = _formats(["events", _hdr_in(hdr), state, float(up_to)], 6)
    c, state = out[0], out[5]
    if state.get("source") == "xdf":
        return _xdf_events(c, True), state
    return (_markers(c) if state.get("source") == "markers" else _events(c)), state


# ---- XDF files

_XDF_CODES = {"int8": 1, "int16": 1, "int32": 2, "float32": 3}  # int8: read as int16, widened exactly


def read_xdf(path):
    """The streams of an XDF file: a list of dicts, one per stream, with the fields of Octave's
    eegmex_xdf: id, name, type, channelCount, nominalRate, channelFormat, label, unit, channelType
    (lists), sampleCount, firstTime, lastTime (as written, before clock offsets), clockOffsets (an
    m x 2 array of collection time and offset), footer, sourceId, hostname, uid, headerXml, footerXml,
    and HDR: the dict fetch takes to read the stream (None for string, irregular, int64 and double64
    streams). Only the chunk headers are read. A chunk cut by the end of the file (a
    recording still being written) warns (EegmexWarning 'eegmex_xdf:truncated')."""
    path = _file_arg("eegmex_xdf", path, "file name as text")
    r = _formats(["xdf", path], 5)[0]
    n = _np.size(r["id"])
    ids, counts, rates = _row(r["id"]), _row(r["channelCount"]), _row(r["nominalRate"])
    texts = {k: _texts(r[k], n) for k in ("name", "type", "channelFormat", "sourceId", "hostname", "uid",
                                          "headerXml", "footerXml")}
    out = []
    for i in range(n):
        c, rate, fmt = int(counts[i]), float(rates[i]), texts["channelFormat"][i]
        labels, units = _texts(r["label"][i], c), _texts(r["unit"][i], c)
        hdr = None
        if fmt in _XDF_CODES and rate >= 1 and rate == int(rate) and rate < 2**31:
            hdr = dict(fs=int(rate), nChans=c, BinaryFormat=_XDF_CODES[fmt], scale=_np.ones(c), endian="l",
                       label=labels, unit=units, dataFile=r["file"], xdfStream=int(ids[i]))
        out.append(dict(
            id=int(ids[i]), name=texts["name"][i], type=texts["type"][i], channelCount=c, nominalRate=rate,
            channelFormat=fmt, label=labels, unit=units, channelType=_texts(r["channelType"][i], c),
            sampleCount=int(_row(r["sampleCount"])[i]), firstTime=float(_row(r["firstTime"])[i]),
            lastTime=float(_row(r["lastTime"])[i]), clockOffsets=_np.asarray(r["clockOffsets"][i], dtype=float).reshape(-1, 2),
            footer=bool(_row(r["footer"])[i]), sourceId=texts["sourceId"][i], hostname=texts["hostname"][i],
            uid=texts["uid"][i], headerXml=texts["headerXml"][i], footerXml=texts["footerXml"][i], HDR=hdr))
    return out


def read_xdf_stream(path, stream_id):
    """One stream's samples: ``values, times = read_xdf_stream(path, id)``. values: a samples x
    channels float64 array, or for a string stream a list of samples, each a list of its texts; times:
    each sample's time stamp as written or deduced, with the stream's clock offsets applied."""
    path = _file_arg("eegmex_xdf", path, "file name as text")
    r = _formats(["xdf", path, float(stream_id)], 5)[0]
    times = _row(r["times"])
    v = r["values"]
    if isinstance(v, list):
        n = times.size
        c = len(v) // n if n else 0
        return [v[i * c:(i + 1) * c] for i in range(n)], times
    return _np.asarray(v, dtype=float).reshape(times.size, -1), times


def xdf_times(hdr, fs, rows=None):
    """The time of fetch's output rows for the HDR of an XDF stream read at ``fs`` Hz: row r (from 0)
    ends the block of frames r * f .. (r + 1) * f - 1 (f = hdr['fs'] / fs) and takes the time of its last
    frame. rows: those rows only (from 0); None: every row of a whole read. NaN past the samples."""
    f = hdr["fs"] // fs
    if f < 1 or f * fs != hdr["fs"]:
        raise ValueError("eegmex_xdf_times: HDR.fs must be a whole multiple of fs")
    every = _row(_formats(["xdftimes", hdr["dataFile"], float(hdr["xdfStream"])], 3)[0])
    rows = _np.arange(every.size // f) if rows is None else _np.asarray(rows, dtype=_np.int64).reshape(-1)
    frames = (rows + 1) * f - 1
    out = _np.full(frames.size, _np.nan)
    have = (frames >= 0) & (frames < every.size)
    out[have] = every[frames[have]]
    return out


def xdf_events(path, target=None, fs=None):
    """The events of an XDF file (samples of string streams and of irregular streams), in the order of
    time: a list of dicts with time (clock offsets applied), text, value (NaN for texts), stream. With
    ``target`` (a stream id or a read_xdf entry): position, the nearest sample of that stream in time;
    with ``fs`` too: row, fetch's output row at fs Hz that holds it. Both count from 1, the numbers
    Octave gives, as positions do in every reader here (row r is x[r - 1])."""
    path = _file_arg("eegmex_xdf_events", path, "file name as text")
    tid = -1 if target is None else int(target["id"] if isinstance(target, dict) else target)
    c = _formats(["xdfevents", path, float(tid)], 5)[0]
    ev = _xdf_events(c, tid >= 0)
    if tid >= 0:
        f = None
        if fs is not None:
            rate = next(s["nominalRate"] for s in read_xdf(path) if s["id"] == tid)
            f = int(rate // fs)
        for e in ev:
            if f:
                e["row"] = -(-e["position"] // f)
    return ev


def _xdf_events(c, positions):
    n = _np.size(c["time"])
    time, value, stream = _row(c["time"]), _row(c["value"]), _row(c["stream"])
    texts = _texts(c["text"], n)
    ev = [dict(time=float(time[i]), text=texts[i], value=float(value[i]), stream=int(stream[i])) for i in range(n)]
    if positions:
        pos = _row(c["position"])
        for i, e in enumerate(ev):
            e["position"] = int(pos[i])
    return ev


# ---- trigger pulses


def trigout(port, value, duration=None, delay=None, io_lib=None):
    """Sends a pulse: ``value`` on ``port`` now (or after ``delay`` ms), 0 again ``duration`` ms
    later (10 ms by default). Returns at once; the waits and the reset run on the module's timer
    thread, without the GIL. io_lib: the port library (eegmex.simport(), eegmex.serialport(...),
    a path); None takes eegmex.io_lib. Errors are trigout's own texts: ValueError for the arguments
    or a missing io_lib, OSError for a library that does not load, whose driver is closed or whose
    device cannot be opened (FileNotFoundError, with the path, for a library or device that is not
    there). The call never waits for a read in another thread. Pending resets are still written at
    interpreter exit, and in a child process (fork) at its exit; a pulse asked for after the exit
    handler ran is reset before the call returns."""
    lib = io_lib if io_lib is not None else globals()["io_lib"]
    args = [port, value]
    if duration is not None or delay is not None:
        args.append(10 if duration is None else duration)
    if delay is not None:
        args.append(delay)
    if lib is not None:
        lib = _os.fsencode(_os.fspath(lib))  # bytes: a name that is not UTF-8 as it is
        if b"\0" in lib:
            raise ValueError("io_lib must not hold a NUL character")
    _call(_TRIGOUT, 0, args, io_lib=lib, path=lib)


def simport(name="simport"):
    """The path of a port library shipped with the package: the simulated port by default (its
    writes are logged; see docs/trigout.md)."""
    here = _os.path.join(_os.path.dirname(_os.path.abspath(__file__)), "portlibs")
    suffix = ".dll" if _sys.platform == "win32" else ".dylib" if _sys.platform == "darwin" else ".so"
    path = _os.path.join(here, name + suffix)
    if not _os.path.exists(path):
        raise FileNotFoundError("eegmex_simport: %s not found beside %s" % (name + suffix, here))
    return path


_serial_lock = _threading.Lock()  # guards the two below
_serial_setting = ""  # the setting given to the serial port library: one entry per device
_serial_library = None  # that library, loaded by the package to give it the setting (kept loaded)


def _give_serial_setting(lib, setting):
    # Through the library's export, never through the environment, which a pulse or a read on
    # another thread may be reading at that moment. Caller holds _serial_lock.
    global _serial_library, _serial_setting
    if _serial_library is None:
        import ctypes

        library = (ctypes.WinDLL if _sys.platform == "win32" else ctypes.CDLL)(lib)
        library.SerialportConfigure.argtypes = [ctypes.c_char_p]
        library.SerialportConfigure.restype = None
        _serial_library = library
    _serial_library.SerialportConfigure(setting.encode("ascii"))
    _serial_setting = setting


def serialport(device, protocol="byte", template=r"%d\n", baud=115200, port=None):
    """A port library that writes pulses to a USB trigger box on a serial port.

    device: '/dev/ttyACM0' (or 'COM3'); protocol 'byte' (one byte a write) or 'text' (template, with
    one integer conversion, formats the value; the default is r"%d\\n", backslash escapes
    as eegmex_serialport takes them); baud; port: the port number this device answers to
    (None: any port no other device names). Returns the library path for io_lib; the
    configuration goes to the library through its export SerialportConfigure (the environment is
    left as it is, and EEGMEX_SERIALPORT no longer read). serialport('clear') forgets every device
    given so far.
    """
    if not isinstance(device, str) or not device:
        raise ValueError("eegmex_serialport: DEVICE must be the text of a device path or COM name")
    if "\0" in device:
        raise ValueError("eegmex_serialport: DEVICE holds a NUL character")
    if device.lower() == "clear":
        lib = simport("serialport")
        with _serial_lock:
            _give_serial_setting(lib, "")
        return lib
    if not isinstance(protocol, str) or protocol.lower() not in ("byte", "text"):
        raise ValueError("eegmex_serialport: Protocol must be 'byte' or 'text'")
    protocol = protocol.lower()
    import re

    if not isinstance(template, str) or not template:
        raise ValueError("eegmex_serialport: Template must be a line of text")
    if "\0" in template:
        raise ValueError("eegmex_serialport: Template holds a NUL character")
    rest = template.replace("%%", "")
    if len(re.findall(r"%[-+ 0#]*[0-9]{0,2}[diuxXoc]", rest)) != 1 or rest.count("%") != 1:
        raise ValueError("eegmex_serialport: Template must hold exactly one integer conversion such as %d")
    if isinstance(baud, bool) or not isinstance(baud, (int, float)) or baud != int(baud) or baud <= 0:
        raise ValueError("eegmex_serialport: Baud must be a positive whole number")
    if port is None:
        port_text = "*"
    else:
        if isinstance(port, bool) or not isinstance(port, (int, float)) or port != int(port) or not 0 <= port <= 65535:
            raise ValueError("eegmex_serialport: Port must be a whole number from 0 to 65535")
        port_text = "%d" % port
    lib = simport("serialport")

    def hexed(s):
        return s.encode("utf-8").hex()

    mine = "%s,%d,%s,%s,%s" % (port_text, int(baud), protocol, hexed(device), hexed(template))
    with _serial_lock:
        entries = _serial_setting.split(";") if _serial_setting else []
        keep = [e for e in entries if e.split(",")[0] != port_text and e.split(",")[3] != hexed(device)]
        _give_serial_setting(lib, ";".join(keep + [mine]))
    return lib


_atexit.register(_eegmex.at_exit)


from ._stream import Decimator, place_markers  # noqa: E402  (chunks from a live source)
# fork(): the extension's own at-fork handlers give the child fresh locks and a fresh pulse timer.
# A child that exits through sys.exit runs the exit handler above (inherited); a child of
# multiprocessing ends with os._exit after its own finalizers, so the handler is made one of them.
# A child that calls os._exit itself skips every handler.
def _multiprocessing_child(_marker):
    from multiprocessing import util

    util.Finalize(None, _eegmex.at_exit, exitpriority=0)


class _ForkMarker:
    registered = False


_FORK_MARKER = _ForkMarker()


def _before_fork():
    util = _sys.modules.get("multiprocessing.util")
    if util is not None and not _ForkMarker.registered:
        util.register_after_fork(_FORK_MARKER, _multiprocessing_child)
        _ForkMarker.registered = True


if hasattr(_os, "register_at_fork"):
    _os.register_at_fork(before=_before_fork)
