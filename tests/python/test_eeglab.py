"""read_set: EEGLAB datasets that Octave writes (save -v7) against MNE-Python, MAT v7.3 files in
MATLAB's HDF5 layout through h5py (and the refusal without it), and damaged datasets refused with
the texts and identifiers of Octave's eegmex_set."""
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest
import scipy.io

import eegmex
from conftest import REPO

HERE = os.path.join(REPO, "tests", "eeglab")
sys.path.insert(0, HERE)
pytest.importorskip("mne")
import mne_read_set  # noqa: E402

NAMES = ["cont", "top", "embedded", "epochs", "epochs_embedded"]


def octave_exe():
    exe = shutil.which("octave-cli")
    if not exe:
        pytest.skip("octave-cli is missing")
    return exe


@pytest.fixture(scope="module")
def sets(tmp_path_factory):
    """The datasets of tests/eeglab/write_sets.m, written by Octave."""
    d = tmp_path_factory.mktemp("eeglab")
    subprocess.run([octave_exe(), "-H", "--no-gui", "--quiet", "--eval",
                    "addpath('%s'); write_sets('%s')" % (HERE, d)], check=True)
    return d


def fetch_all(hdr, folder):
    """Every channel at hdr['fs'] through fetch; samples inside the .set written as the docs say."""
    if not hdr["dataFile"]:
        hdr = dict(hdr, dataFile=str(folder / "written.fdt"))
        hdr["data"].astype("<f4").tofile(hdr["dataFile"])
    return eegmex.fetch(hdr["dataFile"], hdr, chanidx=np.arange(hdr["nChans"]), fs=hdr["fs"])[0]


def test_read_set_equals_mne(sets):
    got = {}
    for name in NAMES:
        path = str(sets / (name + ".set"))
        mne = mne_read_set.read(path)
        assert mne["ok"], mne
        hdr, ev = eegmex.read_set(path)
        n = hdr["nChans"]
        assert (hdr["fs"], n, hdr["nPoints"], hdr["label"]) == (mne["sfreq"], len(mne["ch_names"]), mne["n_times"],
                                                                  mne["ch_names"])
        x = fetch_all(hdr, sets)
        if hdr["dataFile"]:
            written = np.fromfile(hdr["dataFile"], "<f4").reshape(-1, n)[:hdr["nPoints"]]
        else:
            written = hdr["data"]
            assert written.shape == (hdr["nPoints"], n) and written.dtype == np.float32
        np.testing.assert_array_equal(x, written.astype(float))
        y = np.fromfile(path + ".mne.bin", "<f8").reshape(n, -1).T * 1e6
        assert np.all(np.abs(x - y) <= 4 * np.spacing(np.abs(x)))

        own = [e for e in ev if e["type"] != "epoch"]
        assert len(own) == len(mne["onset"])
        for e, onset, duration, d in zip(own, mne["onset"], mne["duration"], mne["description"]):
            assert e["type"] == d if np.isnan(e["value"]) else e["value"] == float(d)
            assert abs(e["onset"] - onset) < 1e-12 and abs(e["latency"] - (onset * hdr["fs"] + 1)) < 1e-9
            assert e["position"] == np.floor(e["latency"] + 0.5) and e["discontinuity"] == (d == "boundary")
            if np.isnan(duration):  # MNE: NaN for an empty duration, which is 0 here; NaN stays NaN
                assert e["duration"] == 0 or np.isnan(e["duration"])
            else:
                assert abs(e["duration"] - duration) < 1e-12
        for p, q in zip(mne["positions"], hdr["position"] / 1000):
            assert np.isnan(q).all() if p is None else np.allclose(p, [-q[1], q[0], q[2]], rtol=0, atol=1e-12)
        got[name] = hdr, ev

    hdr, ev = got["cont"]
    assert [e["position"] for e in ev] == [100, 250, 701, 900, 1201, 1301, 1536]
    assert [e["type"] for e in ev if e["discontinuity"]] == ["boundary", "boundary"]
    assert ev[3]["duration"] == 0 and np.isnan(ev[4]["duration"]) and ev[3]["value"] == 7
    assert hdr["type"][3] == "EOG" and hdr["unit"] == ["µV"] * 6 and hdr["data"] is None
    hdr, ev = got["epochs"]
    assert [e["type"] for e in ev] == ["epoch", "stim", "epoch", "stim", "resp", "epoch", "stim"]
    assert [(e["position"], e["value"], e["discontinuity"]) for e in ev if e["type"] == "epoch"] == \
        [(1, 1, False), (101, 2, True), (201, 3, True)]
    assert [e["position"] for e in ev if e["type"] == "stim"] == [51, 151, 251] and hdr["xmin"] == pytest.approx(-0.2)
    assert [e["epoch"] for e in ev] == [1, 1, 2, 2, 2, 3, 3]


# ---- MAT v7.3: MATLAB's HDF5 layout


def write_mat73(path, variables):
    """A MAT v7.3 file as MATLAB writes one: a 512-byte text header before the HDF5 data; numbers as
    double datasets and text as uint16 ones (dimensions reversed: MATLAB's column order); a struct
    as a group, a struct array as a group of reference datasets, one reference per element, into
    #refs#; an empty value as its dimensions with MATLAB_empty."""
    import h5py

    refs = []

    def put(parent, name, v, f):
        if isinstance(v, dict):
            g = parent.create_group(name)
            g.attrs["MATLAB_class"] = np.bytes_("struct")
            for k, x in v.items():
                put(g, k, x, f)
            return
        if isinstance(v, list):  # a 1 x n struct array
            g = parent.create_group(name)
            g.attrs["MATLAB_class"] = np.bytes_("struct")
            store = f.require_group("#refs#")
            for k in v[0]:
                r = []
                for e in v:
                    refs.append(0)
                    put(store, "r%d" % len(refs), e[k], f)
                    r.append(store["r%d" % len(refs)].ref)
                g.create_dataset(k, data=np.array(r, dtype=h5py.ref_dtype).reshape(-1, 1))
            return
        if isinstance(v, str):
            a, cls = np.array([ord(c) for c in v], dtype=np.uint16).reshape(1, -1), "char"
        else:
            a = np.asarray(v)
            cls = "single" if a.dtype == np.float32 else "double"
            a = a.reshape(1, 1) if a.ndim == 0 else a.astype(np.float32 if cls == "single" else float)
        if a.size == 0:
            d = parent.create_dataset(name, data=np.array(a.shape, dtype=np.uint64))
            d.attrs["MATLAB_empty"] = np.uint8(1)
        else:
            d = parent.create_dataset(name, data=a.T)
        d.attrs["MATLAB_class"] = np.bytes_(cls)
        if cls == "char":
            d.attrs["MATLAB_int_decode"] = np.int32(2)

    with h5py.File(path, "w", userblock_size=512) as f:
        for k, v in variables.items():
            put(f, k, v, f)
    with open(path, "r+b") as f:
        text = b"MATLAB 7.3 MAT-file, Platform: GLNXA64, Created on: Mon Dec  7 10:00:00 2026 HDF5 schema 1.00 ."
        f.write(text.ljust(116) + b"\0" * 8 + b"\x00\x02IM")


def cont_dataset(data):
    """The continuous dataset of write_sets.m, as plain values."""
    nan, none = float("nan"), np.zeros((0, 0))
    chanlocs = [dict(labels=l, type=t, X=x, Y=y, Z=z) for l, t, x, y, z in zip(
        ["Fp1", "Fz", "C3", "EOG left", "A1-A2", "Pz"], ["EEG", "EEG", "EEG", "EOG", "EEG", "EEG"],
        [80.8, 60.7, 0.5, none, -10.0, -71.7], [26.1, 0.0, 71.9, none, 20.0, 0.0], [-4.0, 59.5, 50.5, none, 30.0, 70.1])]
    event = [dict(type=t, latency=l, duration=d) for t, l, d in zip(
        ["stim", "resp", "boundary", 7.0, "boundary", "stim", 3.0], [100, 250.25, 700.5, 900, 1200.5, 1300.75, 1536],
        [0.0, 12.0, 250.0, none, nan, 2.5, 0.0])]
    return dict(setname="cont.set", nbchan=6.0, trials=1.0, pnts=1537.0, srate=512.0, xmin=0.0, data=data,
                chanlocs=chanlocs, event=event, icaweights=none, datfile="")


def same(a, b):
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return np.array_equal(a, b, equal_nan=True)
    return a == b or (a != a and b != b)


def test_v73_through_h5py_equals_v7(sets, tmp_path, monkeypatch):
    pytest.importorskip("h5py")
    shutil.copy(sets / "cont.fdt", tmp_path / "cont.fdt")
    v7 = eegmex.read_set(sets / "cont.set")
    write_mat73(tmp_path / "cont.set", {"EEG": cont_dataset("cont.fdt")})
    hdr, ev = eegmex.read_set(tmp_path / "cont.set")
    assert hdr["dataFile"] == str(tmp_path / "cont.fdt")
    assert same((dict(hdr, dataFile=""), ev), (dict(v7[0], dataFile=""), v7[1]))

    embedded = eegmex.read_set(sets / "embedded.set")
    samples = np.ascontiguousarray(embedded[0]["data"].T)   # channels x frames, as MATLAB holds them
    write_mat73(tmp_path / "top.set", cont_dataset(samples))   # the fields at the top level
    hdr, ev = eegmex.read_set(tmp_path / "top.set")
    assert same((hdr, ev), embedded) and hdr["data"].dtype == np.float32

    # Without h5py: a refusal that says what to do.
    monkeypatch.setitem(sys.modules, "h5py", None)
    with pytest.raises(ValueError, match="a MAT v7.3 \\(HDF5\\) file, which needs h5py here") as e:
        eegmex.read_set(tmp_path / "cont.set")
    assert e.value.id == "eegmex_set:unsupported"


# ---- refusals, with Octave's texts


def hostile(folder):
    """Damaged datasets (scipy's savemat) and what their refusal says."""
    ok = dict(nbchan=2.0, pnts=10.0, trials=1.0, srate=100.0, data="d.fdt")
    np.zeros(20, "<f4").tofile(folder / "d.fdt")
    np.zeros(19, "<f4").tofile(folder / "short.fdt")
    event = np.zeros((1, 2), dtype=[("type", object), ("latency", object)])
    event[0, 0] = ("stim", 3.0)
    event[0, 1] = ("resp", "abc")
    cases = {
        "nosrate": ({"EEG": {k: v for k, v in ok.items() if k != "srate"}}, "damaged", "EEG.srate is missing"),
        "nbchan": ({"EEG": dict(ok, nbchan=2.5)}, "damaged", "EEG.nbchan is 2.5, not a whole number from 1"),
        "fracrate": ({"EEG": dict(ok, srate=100.5)}, "unsupported",
                     "EEG.srate is 100.5 Hz, not a whole number of Hz, which eegfetch needs"),
        "size": ({"EEG": dict(ok, data=np.zeros((2, 9), np.float32))}, "damaged",
                 "EEG.data is a 2 x 9 single, not nbchan x pnts x trials = 2 x 10 x 1"),
        "short": ({"EEG": dict(ok, data="short.fdt")}, "damaged",
                  "%s holds 76 bytes, fewer than nbchan x pnts x trials x 4 = 2 x 10 x 1 x 4 = 80: the data file is "
                  "cut short" % (folder / "short.fdt")),
        "gone": (dict(ok, data="before.fdt"), "file",
                 "the data file %s is missing (and so is %s)" % (folder / "before.fdt", folder / "gone.fdt")),
        "alone": (dict(ok, data="alone.fdt"), "file", "the data file %s is missing" % (folder / "alone.fdt")),
        "latency": ({"EEG": dict(ok, event=event)}, "damaged", "EEG.event(2).latency is a 1 x 3 char, not a finite number"),
        "other": ({"x": 1.0}, "damaged", "holds neither a variable EEG nor the fields of one (nbchan, pnts, trials, "
                  "srate, data): not an EEGLAB dataset"),
    }
    files = {}
    for name, (variables, eid, text) in cases.items():
        files[name] = str(folder / (name + ".set"))
        scipy.io.savemat(files[name], variables)
        files[name] = (files[name], eid, "eegmex_set: %s: %s" % (files[name], text))
    path = str(folder / "text.set")
    with open(path, "w") as f:
        f.write("nbchan = 2\n")
    files["text"] = (path, "damaged", "eegmex_set: %s: not a MAT file that load reads (" % path)
    path = str(folder / "none.set")
    files["none"] = (path, "file", "eegmex_set: %s: cannot be opened" % path)
    return files


def test_refusals_say_what_octave_says(tmp_path):
    files = hostile(tmp_path)
    for name, (path, eid, text) in files.items():
        with pytest.raises(OSError if eid == "file" else ValueError) as e:
            eegmex.read_set(path)
        assert e.value.id == "eegmex_set:" + eid, (name, str(e.value))
        assert str(e.value).startswith(text) if name == "text" else str(e.value) == text, (name, str(e.value))
    with pytest.raises(ValueError, match="give the file name as text"):
        eegmex.read_set(42)

    # Octave's eegmex_set on the same files: the same identifier and text.
    listing = tmp_path / "files.txt"
    listing.write_text("\n".join(p for p, _, _ in files.values()) + "\n")
    script = ("addpath('%s'); fid = fopen('%s'); while true; f = fgetl(fid); if ~ischar(f), break; end; "
              "try; [~, ~] = eegmex_set(f); printf('read\\n'); catch e; printf('%%s\\t%%s\\n', e.identifier, "
              "e.message); end; end" % (os.path.join(REPO, "m"), listing))
    out = subprocess.run([octave_exe(), "-H", "--no-gui", "--quiet", "--eval", script], check=True,
                         capture_output=True, text=True, cwd=tmp_path).stdout.splitlines()
    assert len(out) == len(files)
    for line, (name, (path, eid, text)) in zip(out, files.items()):
        oid, message = line.split("\t", 1)
        assert oid == "eegmex_set:" + eid and (message.startswith(text) if name == "text" else message == text), \
            (name, line)
