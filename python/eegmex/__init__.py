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
import os as _os
import sys as _sys
import warnings as _warnings

import numpy as _np

from . import _eegmex

__all__ = [
    "fetch",
    "Stream",
    "read_vhdr",
    "read_vmrk",
    "read_edf",
    "events",
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


def _error(text, default=ValueError):
    # A module's message may end in a line feed (trigout's do), which MATLAB and Octave drop when
    # they show it.
    if text.endswith("\n"):
        text = text[:-1]
    if text.startswith(("Could not open", "Could not read the eeg", "Could not find the length")):
        return OSError(text)
    if text.startswith(("LoadLibrary Failed", "GetProcAddress", "Parellel Port library")):
        return OSError(text)  # trigout: the port library does not load, lacks an export, or its driver is closed
    if text.startswith(("Not enough memory", "Out of memory")) or "no memory" in text:
        return MemoryError(text)
    return default(text)


def _call(module, nlhs, args, io_lib=None, streams=None, error=ValueError, first_unused=False):
    outputs, warnings, message = _eegmex.call(module, nlhs, args, io_lib, streams, first_unused)
    for wid, text in warnings:
        _warnings.warn(EegmexWarning(text, wid), stacklevel=3)
    if message is not None:
        raise _error(message, error)
    return outputs


def _path(path):
    return _os.fsencode(path)


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
    # With data=, the module's returned copy of it is not asked for: the caller has the array itself.
    x, info = _call(_EEGFETCH, 2, [_path(path), _hdr_in(hdr), _opt_in(opt)], streams=streams,
                    first_unused=data is not None)
    return (data if data is not None else x), _info(info)


def fetch(path, hdr, **opt):
    """Read a recording into a float64 array: ``x, info = fetch(path, hdr, **opt)``.

    path    the data file (str or os.PathLike)
    hdr     dict with the fields of Octave's HDR: fs, nChans, BinaryFormat (1 int16, 2 int32,
            3 float32, 4 int24), scale (one per channel), endian ('l' or 'b'); optional nPoints,
            dataOffset, recordSamples, offset, channelFs. read_vhdr and read_edf give one.
    opt     keywords with the names of Octave's OPT fields: chanidx (0-based channel numbers, in
            output column order), fs (output rate; hdr['fs'] a whole multiple of it), filt_b and
            filt_a (IIR filter), filt_subsample (weights of a block), data (an array written in
            place), dataPos ([destStart, destEnd, srcStart, srcEnd], 0-based), resume, newest.

    Returns x, of shape (outputs, channels), the array the engine wrote (Fortran order, no copy
    after the read); with data= it is that array, written in place whatever its memory order.
    data= must be a writable float64 2-D array with len(chanidx) columns: anything else is refused,
    never copied. info is a dict: frames, outputs, resumedFrames, fullReadReason, limit.

    Errors are the Octave module's texts: ValueError for arguments, OSError for the file,
    MemoryError; warnings (a short file) are EegmexWarning. The read runs without the GIL.
    """
    return _fetch(path, hdr, opt)


class Stream:
    """Online reads of a growing recording, with the stream state held by this object.

    ``s = Stream(path, hdr, window=N, chanidx=..., fs=..., **opt)``: each ``s.read()`` reads only
    the frames new since the last one (as fetch with resume=True, through the engine's own stream
    type) and places the newest N output samples in ``s.data`` (newest in the last row). Instead of
    window=, give data= (and newest= or dataPos=) as fetch takes them. ``read`` returns
    ``(s.data, info)``; ``info['resumedFrames']`` says how many frames were not read again.
    The state lives in this object, not in the module: several Streams on one file, or a Stream and
    fetch calls, never disturb each other. ``reset()`` drops it.
    """

    def __init__(self, path, hdr, window=None, **opt):
        if window is not None:
            if "data" in opt:
                raise ValueError("give window= or data=, not both")
            n = len(_np.atleast_1d(opt.get("chanidx", [])))
            opt["data"] = _np.zeros((int(window), n))
            opt.setdefault("newest", True)
        if opt.get("data") is None:
            raise ValueError("a Stream writes into an array: give window=N or data=")
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
        """Reads the new frames: returns (data, info). Keywords change the options from now on."""
        self.opt.update(changes)
        self.opt["resume"] = True
        return _fetch(self.path, self.hdr, self.opt, self._streams)

    def reset(self):
        """Forgets the state: the next read starts from the first frame."""
        self._streams.drop_all()

    def __repr__(self):
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
    status, onset, duration = _row(c["status"]), _row(c["onset"]), _row(c["duration"])
    value, pos, word = _row(c["value"]), _row(c["position"]), _row(c["statusWord"])
    return [
        dict(type="status" if status[i] else "annotation", onset=float(onset[i]), duration=float(duration[i]),
             text=texts[i], value=_scalar(value[i]), position=_scalar(pos[i]), status=_scalar(word[i]))
        for i in range(n)
    ]


def _file_arg(name, path, usage):
    if isinstance(path, _os.PathLike):
        path = _os.fspath(path)
    if isinstance(path, bytes):
        path = _os.fsdecode(path)
    if not isinstance(path, str) or not path:
        raise ValueError("%s: give the %s" % (name, usage))
    return path


def _formats(args, nout):
    out = _call(_FORMATS, nout, args, error=ValueError)
    eid, msg = out[1], out[2]
    if eid:
        error = (OSError if eid.endswith(":file") else ValueError)(msg)
        error.id = eid  # as Octave's error identifier: 'eegmex_vhdr:file', 'eegmex_edf:damaged', ...
        raise error
    if nout > 3 and out[3]:
        _warnings.warn(EegmexWarning(out[4], out[3]), stacklevel=3)
    return out


def read_vhdr(path):
    """A BrainVision header (.vhdr) as a dict that fetch takes as it is.

    Keys: fs, nChans, BinaryFormat, scale, endian, label, reference, unit (lists of str),
    dataFile, markerFile (full paths). Errors: OSError (the file), ValueError (its contents), with
    the texts of Octave's eegmex_vhdr.
    """
    path = _file_arg("eegmex_vhdr", path, "header file name as text")
    h = _formats(["vhdr", path], 3)[0]
    n = int(_scalar(h["nChans"]))
    return dict(fs=_scalar(h["fs"]), nChans=n, BinaryFormat=_scalar(h["BinaryFormat"]), scale=_row(h["scale"]),
                endian=h["endian"], label=_texts(h["label"], n), reference=_texts(h["reference"], n),
                unit=_texts(h["unit"], n), dataFile=h["dataFile"], markerFile=h["markerFile"])


def read_vmrk(path):
    """The markers of a BrainVision marker file (.vmrk): a list of dicts with the fields of
    Octave's eegmex_vmrk: type, description, position (1-based sample, as the file counts),
    points, channel (0: all channels), date."""
    path = _file_arg("eegmex_vmrk", path, "marker file name as text")
    return _markers(_formats(["vmrk", path], 3)[0])


def read_edf(path):
    """An EDF, EDF+C, BDF or BDF+C file's header and events: ``hdr, events = read_edf(path)``.

    hdr has the fields of Octave's eegmex_edf and goes to fetch as it is; fsChans (the data
    channels at hdr['fs']) and statusChan (the BDF Status channel, or None) count from 0. events
    is a list of dicts (type 'annotation' or 'status', onset, duration, text, value, position,
    status). A file shorter than its header says warns (EegmexWarning 'eegmex_edf:truncated').
    """
    path = _file_arg("eegmex_edf", path, "file name as text")
    h = _formats(["edf", path], 5)[0]
    n = int(_scalar(h["nChans"]))
    annotation = _row(h["annotation"]) != 0
    record_samples = _row(h["recordSamples"])
    data = _np.flatnonzero(~annotation)
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

    hdr: from read_vhdr (events from its marker file, as read_vmrk gives them) or read_edf
    (annotations and Status changes, as read_edf gives them). state: None at the first call, then
    the state the last call returned. up_to: frames read so far (fetch's info['frames']): no event
    past them is given, so none runs ahead of its data.
    """
    if state is None:
        state = _np.zeros((0, 0))
    out = _formats(["events", _hdr_in(hdr), state, float(up_to)], 6)
    c, state = out[0], out[5]
    return (_markers(c) if state.get("source") == "markers" else _events(c)), state


# ---- trigger pulses


def trigout(port, value, duration=None, delay=None, io_lib=None):
    """Sends a pulse: ``value`` on ``port`` now (or after ``delay`` ms), 0 again ``duration`` ms
    later (10 ms by default). Returns at once; the waits and the reset run on the module's timer
    thread, without the GIL. io_lib: the port library (eegmex.simport(), eegmex.serialport(...),
    a path); None takes eegmex.io_lib. Errors are trigout's own texts: ValueError for the arguments
    or a missing io_lib, OSError for a library that does not load or whose driver is closed. Pending resets are still written at interpreter exit."""
    lib = io_lib if io_lib is not None else globals()["io_lib"]
    args = [port, value]
    if duration is not None or delay is not None:
        args.append(10 if duration is None else duration)
    if delay is not None:
        args.append(delay)
    if lib is not None:
        lib = _os.fsdecode(_os.fspath(lib))
    _call(_TRIGOUT, 0, args, io_lib=lib)


def simport(name="simport"):
    """The path of a port library shipped with the package: the simulated port by default (its
    writes are logged; see docs/trigout.md)."""
    here = _os.path.join(_os.path.dirname(_os.path.abspath(__file__)), "portlibs")
    suffix = ".dll" if _sys.platform == "win32" else ".dylib" if _sys.platform == "darwin" else ".so"
    path = _os.path.join(here, name + suffix)
    if not _os.path.exists(path):
        raise FileNotFoundError("eegmex_simport: %s not found beside %s" % (name + suffix, here))
    return path


def serialport(device, protocol="byte", template=r"%d\n", baud=115200, port=None):
    """A port library that writes pulses to a USB trigger box on a serial port.

    device: '/dev/ttyACM0' (or 'COM3'); protocol 'byte' (one byte a write) or 'text' (template, with
    one integer conversion, formats the value; the default is r"%d\\n", backslash escapes
    as eegmex_serialport takes them); baud; port: the port number this device answers to
    (None: any port no other device names). Returns the library path for io_lib; the
    configuration goes to the library through the environment variable EEGMEX_SERIALPORT, as
    eegmex_serialport does.
    serialport('clear') forgets every device given so far.
    """
    if not isinstance(device, str) or not device:
        raise ValueError("eegmex_serialport: DEVICE must be the text of a device path or COM name")
    if device.lower() == "clear":
        _os.environ["EEGMEX_SERIALPORT"] = ""
        return simport("serialport")
    if not isinstance(protocol, str) or protocol.lower() not in ("byte", "text"):
        raise ValueError("eegmex_serialport: Protocol must be 'byte' or 'text'")
    protocol = protocol.lower()
    import re

    if not isinstance(template, str) or not template:
        raise ValueError("eegmex_serialport: Template must be a line of text")
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
    old = _os.environ.get("EEGMEX_SERIALPORT", "")
    entries = old.split(";") if old else []
    keep = [e for e in entries if len(e.split(",")) == 5 and e.split(",")[0] != port_text and e.split(",")[3] != hexed(device)]
    _os.environ["EEGMEX_SERIALPORT"] = ";".join(keep + [mine])
    return lib


_atexit.register(_eegmex.at_exit)
