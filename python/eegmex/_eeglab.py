"""EEGLAB datasets (.set, with the samples in an .fdt file or inside the .set): read_set.

The same reading as Octave's m/eegmex_set.m, with the same fields, rules and messages. The MAT
file is loaded by scipy.io.loadmat (v6, v7) or, for v7.3 (HDF5), through h5py where it can be
imported; both are turned into one plain form first (a struct or struct array: a list of dicts,
in MATLAB's element order; text: str; a cell: a list; a numeric array: an ndarray of MATLAB's
shape), which the rest reads as the .m file reads the struct that load gives.
"""
import math
import os
import warnings

import numpy as np

_CLASSES = {
    "f8": "double", "f4": "single", "i1": "int8", "i2": "int16", "i4": "int32", "i8": "int64",
    "u1": "uint8", "u2": "uint16", "u4": "uint32", "u8": "uint64", "b1": "logical",
}


class _Refusal(Exception):
    def __init__(self, eid, text):
        super().__init__(text)
        self.eid = eid


def _fail(eid, path, fmt, *args):
    raise _Refusal("eegmex_set:" + eid, "eegmex_set: %s: " % path + (fmt % args if args else fmt))


# ---- the two loaders, into one plain form


def _from_scipy(v):
    if isinstance(v, np.ndarray):
        kind = v.dtype.kind
        if kind == "U":
            return "".join(v.ravel())
        if kind == "O":
            return [_from_scipy(e) for e in v.ravel(order="F")]
        names = v.dtype.names
        if names:  # a struct array, as records
            return [{k: _from_scipy(e[k]) for k in names} for e in v.ravel(order="F")]
        return v
    return None  # a function handle, an object: nothing read here


def _load_v7(path):
    from scipy.io import loadmat

    S = loadmat(path, squeeze_me=False, struct_as_record=True, chars_as_strings=True)
    return {k: _from_scipy(v) for k, v in S.items() if not k.startswith("__")}


def _matlab_class(obj):
    c = obj.attrs.get("MATLAB_class", b"")
    return c.decode("ascii", "replace") if isinstance(c, bytes) else str(c)


def _from_h5(f, obj):
    import h5py

    cls = _matlab_class(obj)
    if isinstance(obj, h5py.Group):
        if cls != "struct":
            return None
        names = list(obj.keys())
        fields = [obj[k] for k in names]
        # A struct array: each field a dataset of references of the array's shape, one per element. (A
        # scalar struct whose fields are all cells of one shape looks the same; no dataset has one.)
        if names and all(isinstance(d, h5py.Dataset) and d.dtype == h5py.ref_dtype and d.shape == fields[0].shape
                         for d in fields):
            refs = [np.asarray(d[()]).T.ravel(order="F") for d in fields]
            return [{k: _from_h5(f, f[r[i]]) for k, r in zip(names, refs)} for i in range(len(refs[0]))]
        return [{k: _from_h5(f, d) for k, d in zip(names, fields)}]
    if obj.attrs.get("MATLAB_empty", 0):
        return "" if cls == "char" else [] if cls in ("cell", "struct") else np.zeros((0, 0))
    a = obj[()]
    if obj.dtype == h5py.ref_dtype:
        return [_from_h5(f, f[r]) for r in np.asarray(a).T.ravel(order="F")]
    a = np.asarray(a)
    if cls == "char":
        return np.ascontiguousarray(a.T).astype("<u2").tobytes().decode("utf-16-le", "replace")
    if a.dtype.names and {"real", "imag"} <= set(a.dtype.names):
        a = a["real"] + 1j * a["imag"]
    if cls == "logical":
        a = a.astype(bool)
    return a.T


def _load_v73(path):
    try:
        import h5py
    except ImportError:
        _fail("unsupported", path, "a MAT v7.3 (HDF5) file, which needs h5py here: install it (Debian: "
              "python3-h5py), or save the dataset as MAT v7")
    with h5py.File(path, "r") as f:
        return {k: _from_h5(f, f[k]) for k in f.keys() if not k.startswith("#")}


# ---- the values the .m file checks, in its words


def _is_number(v, kinds="fiu"):
    return isinstance(v, np.ndarray) and v.size == 1 and v.dtype.kind in kinds


def _size(v):
    if isinstance(v, np.ndarray):
        return v.shape if v.ndim >= 2 else (1,) + v.shape if v.ndim == 1 else (1, 1)
    if isinstance(v, str):
        return (1, len(v)) if v else (0, 0)
    if isinstance(v, list):
        return (1, len(v)) if v else (0, 0)
    return (0, 0)


def _class(v):
    if isinstance(v, np.ndarray):
        return _CLASSES.get(v.dtype.kind + str(v.dtype.itemsize), "complex" if v.dtype.kind == "c" else str(v.dtype))
    if isinstance(v, str):
        return "char"
    if isinstance(v, list):
        return "struct" if v and all(isinstance(e, dict) for e in v) else "cell"
    return "double"


def _sized(v):
    return "a %s %s" % (" x ".join("%d" % d for d in _size(v)), _class(v))


def _shown(v):
    if _is_number(v):
        return "%.15g" % v.item()
    return _sized(v)


def _whole(v, name, path):
    x = v.item() if _is_number(v) else None
    if x is None or not (x >= 1) or not np.isfinite(x) or x != int(x):
        _fail("damaged", path, "EEG.%s is %s, not a whole number from 1", name, _shown(v))
    return int(x)


def _text(s, name):
    v = s.get(name)
    if isinstance(v, str):
        return v
    if _is_number(v):
        return "%.15g" % v.item()
    return ""


def _absolute(p):
    return p if os.path.isabs(p) or (len(p) > 1 and p[1] == ":") else os.path.join(os.getcwd(), p)


def _data_file(set_path, name):
    folder = os.path.dirname(set_path)
    base = os.path.splitext(os.path.basename(set_path))[0]
    if os.path.splitext(name)[1].lower() == ".dat":
        _fail("unsupported", set_path, "EEG.data names %s, a .dat file of the old layout (channel after channel); "
              "only .fdt files (frames of float32) are read: save the dataset again", name)
    last = name.replace("\\", "/").split("/")[-1]
    tries = [os.path.join(folder, name), os.path.join(folder, last)]
    if name[:1] in "/\\" or (len(name) > 1 and name[1] == ":"):
        tries.insert(0, name)
    for t in tries:
        if os.path.isfile(t):
            return t
    f = os.path.join(folder, base + ".fdt")
    if not os.path.isfile(f):
        _fail("file", set_path, "the data file %s is missing%s", tries[-1], "" if f == tries[-1] else
              " (and so is %s)" % f)
    from . import EegmexWarning

    warnings.warn(EegmexWarning("eegmex_set: %s: EEG.data names %s, which is missing; %s is read instead"
                                % (set_path, name, f), "eegmex_set:renamed"), stacklevel=4)
    return f


def _channels(EEG, n, path):
    label = ["%d" % (k + 1) for k in range(n)]
    unit = ["µV"] * n
    kind = [""] * n
    position = np.full((n, 3), np.nan)
    C = EEG.get("chanlocs")
    if not isinstance(C, list) or not C or not all(isinstance(c, dict) for c in C):
        return label, unit, kind, position
    if len(C) != n:
        _fail("damaged", path, "EEG.chanlocs has %d entries for %d channels", len(C), n)
    for k, c in enumerate(C):
        label[k] = _text(c, "labels") or label[k]
        unit[k] = _text(c, "unit") or unit[k]
        kind[k] = _text(c, "type")
        for a, axis in enumerate("XYZ"):
            v = c.get(axis)
            if _is_number(v):
                position[k, a] = float(v.item())
    return label, unit, kind, position


def _number(x):
    return int(x) if float(x).is_integer() else float(x)


def _events(EEG, fs, pnts, trials, path):
    E = EEG.get("event")
    if not isinstance(E, list) or not all(isinstance(e, dict) for e in E):
        E = []
    if E and "latency" not in E[0]:
        _fail("damaged", path, "EEG.event has no field latency")
    rows = []
    for k, e in enumerate(E):
        v = e["latency"]
        if not _is_number(v) or not math.isfinite(v.item()):
            _fail("damaged", path, "EEG.event(%d).latency is %s, not a finite number", k + 1, _shown(v))
        latency = float(v.item())
        d = e.get("duration")
        duration = float(d.item()) if _is_number(d) else 0.0
        t, value, cut = "", float("nan"), False
        v = e.get("type")
        if isinstance(v, str):
            t, cut = v, v.lower() == "boundary"
        elif _is_number(v):
            value = float(v.item())
            t, cut = "%.15g" % value, value == -99
        elif v is not None and _size(v)[0] * _size(v)[1] > 0:
            _fail("damaged", path, "EEG.event(%d).type is %s, neither text nor a number", k + 1, _sized(v))
        rows.append((1, k, t, value, latency, duration / fs, cut))
    if trials > 1:
        rows += [(0, k, "epoch", float(k + 1), float(k * pnts + 1), pnts / fs, k > 0) for k in range(trials)]
    out = []
    for _, _, t, value, latency, duration, cut in sorted(rows, key=lambda r: (math.floor(r[4] + 0.5), r[0], r[1])):
        position = math.floor(latency + 0.5)
        out.append(dict(type=t, value=value if math.isnan(value) else _number(value), latency=_number(latency),
                        position=position, onset=(latency - 1) / fs, duration=duration, discontinuity=bool(cut),
                        epoch=int(min(max(-(-position // pnts), 1), trials))))
    return out


def _read(path, S):
    EEG = S.get("EEG")
    if isinstance(EEG, list) and EEG and all(isinstance(e, dict) for e in EEG):
        if len(EEG) != 1:
            _fail("unsupported", path, "EEG holds %d datasets; one is read at a time", len(EEG))
        EEG = EEG[0]
    elif "nbchan" in S or "data" in S:
        EEG = S
    else:
        _fail("damaged", path, "holds neither a variable EEG nor the fields of one (nbchan, pnts, trials, srate, "
              "data): not an EEGLAB dataset")
    for name in ("nbchan", "pnts", "trials", "srate", "data"):
        if name not in EEG:
            _fail("damaged", path, "EEG.%s is missing", name)
    nbchan = _whole(EEG["nbchan"], "nbchan", path)
    pnts = _whole(EEG["pnts"], "pnts", path)
    trials = _whole(EEG["trials"], "trials", path)
    v = EEG["srate"]
    fs = float(v.item()) if _is_number(v) else None
    if fs is None or not (fs > 0) or not np.isfinite(fs):
        _fail("damaged", path, "EEG.srate is %s, not a positive number of Hz", _shown(v))
    if fs != int(fs):
        _fail("unsupported", path, "EEG.srate is %s Hz, not a whole number of Hz, which eegfetch needs", _shown(v))
    fs = int(fs)
    frames = pnts * trials
    v = EEG.get("xmin")
    xmin = float(v.item()) if _is_number(v) else 0.0

    D = EEG["data"]
    if _size(D)[0] * _size(D)[1] == 0 and isinstance(EEG.get("datfile"), str) and EEG["datfile"]:
        D = EEG["datfile"]
    data = None
    if isinstance(D, str) and D:
        data_file = _data_file(path, D)
        need = nbchan * frames * 4
        have = os.path.getsize(data_file)
        if have < need:
            _fail("damaged", path, "%s holds %.0f bytes, fewer than nbchan x pnts x trials x 4 = %d x %d x %d x 4 = "
                  "%.0f: the data file is cut short", data_file, have, nbchan, pnts, trials, need)
    elif isinstance(D, np.ndarray) and D.dtype.kind in "fiub":
        if _size(D)[0] != nbchan or D.size != nbchan * frames:
            _fail("damaged", path, "EEG.data is %s, not nbchan x pnts x trials = %d x %d x %d", _sized(D), nbchan,
                  pnts, trials)
        data_file = ""
        # Frames as rows: the channels x frames matrix in MATLAB's order, seen transposed (no copy when
        # the loader gave it in column order, as both do).
        data = D.reshape((nbchan, frames), order="F").T
    else:
        _fail("damaged", path, "EEG.data is %s, neither a file name nor a real matrix", _sized(D))

    label, unit, kind, position = _channels(EEG, nbchan, path)
    hdr = dict(fs=fs, nChans=nbchan, BinaryFormat=3, scale=np.ones(nbchan), endian="l", dataFile=data_file,
               nPoints=frames, label=label, unit=unit, type=kind, position=position, trials=trials, pnts=pnts,
               xmin=xmin, data=data)
    return hdr, _events(EEG, fs, pnts, trials, path)


def read_set(path):
    """An EEGLAB dataset (.set): ``hdr, events = read_set(path)``.

    hdr goes to fetch as it is when the samples are in an .fdt file (float32 frames; hdr['dataFile']
    is its full path, hdr['nPoints'] the dataset's frames). With the samples inside the .set,
    hdr['dataFile'] is '' and hdr['data'] holds them, frames x channels: written as float32
    (``hdr.pop('data').astype('<f4').tofile(name)``) they are the .fdt file fetch reads with the same hdr.
    Keys as Octave's eegmex_set: fs, nChans, BinaryFormat (3), scale (ones: microvolts), endian,
    dataFile, nPoints, label, unit, type (lists of str), position (nChans x 3, NaN where missing),
    trials, pnts, xmin, data. events: a list of dicts (type, value, latency, position from 1,
    onset, duration in seconds, discontinuity, epoch), one 'epoch' event per epoch of an epoched
    dataset. MAT v6 and v7 through scipy.io.loadmat; v7.3 through h5py, refused where it is not
    installed. Errors: OSError (the files), ValueError (their contents), with Octave's texts and
    its identifier in ``.id``. See docs/eeglab.md.
    """
    if isinstance(path, os.PathLike):
        path = os.fspath(path)
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    if not isinstance(path, str) or not path:
        raise ValueError("eegmex_set: give the file name as text: hdr, events = read_set(path)")
    path = _absolute(path)
    try:
        try:
            with open(path, "rb") as f:
                head = f.read(20)
        except OSError:
            _fail("file", path, "cannot be opened")
        if head.startswith(b"MATLAB 7.3 MAT-file"):
            try:
                S = _load_v73(path)
            except _Refusal:
                raise
            except Exception as e:  # h5py's own account of a file it cannot read
                _fail("damaged", path, "not a MAT file that load reads (%s)", e)
        else:
            try:
                S = _load_v7(path)
            except Exception as e:  # scipy's own account of a file it cannot read
                _fail("damaged", path, "not a MAT file that load reads (%s)", e)
        return _read(path, S)
    except _Refusal as r:
        error = (OSError if r.eid.endswith(":file") else ValueError)(str(r))
        error.id = r.eid
        raise error from None
