"""The recording readers from Python: EDF/BDF against what was written and against MNE-Python, a
BrainVision set against MNE-Python, and the events of a growing file."""
import json
import os
import sys
import warnings

import numpy as np
import pytest

import eegmex
from conftest import REPO

sys.path.insert(0, os.path.join(REPO, "tests", "edf"))
import write_edf  # noqa: E402

mne = pytest.importorskip("mne")


@pytest.fixture(scope="module")
def edf_set(tmp_path_factory):
    folder = str(tmp_path_factory.mktemp("edf"))
    write_edf.make_set(folder)
    with open(os.path.join(folder, "manifest.json")) as f:
        return json.load(f)


def test_edf_headers_and_events_match_what_was_written(edf_set):
    read = 0
    for entry in edf_set:
        name = os.path.basename(entry["file"])
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            hdr, events = eegmex.read_edf(entry["file"])
        read += 1
        assert hdr["fs"] == entry["rate"], name
        assert hdr["label"] == entry["labels"], name
        assert list(hdr["annotation"]) == entry["annotation"], name
        assert list(hdr["recordSamples"]) == entry["samples_per_record"], name
        assert hdr["nRecords"] == entry["n_records"], name
        assert list(hdr["startTime"]) == entry["start_time"], name  # the first record's offset carried
        truncated = [c for c in caught if getattr(c.message, "id", "") == "eegmex_edf:truncated"]
        assert bool(truncated) == entry["cut"], name
        # fsChans and statusChan count from 0: the data channels at fs, and the channel named Status.
        at_fs = [c for c in range(hdr["nChans"]) if not hdr["annotation"][c] and hdr["channelFs"][c] == hdr["fs"]]
        assert list(hdr["fsChans"]) == at_fs, name
        if "Status" in hdr["label"] and entry["bdf"]:
            assert hdr["label"][hdr["statusChan"]] == "Status", name
        else:
            assert hdr["statusChan"] is None, name
        line = "%.9f %.9f %s"
        mine = sorted(line % (e["onset"], e["duration"], e["text"]) for e in events if e["type"] == "annotation")
        written = sorted(line % tuple(a) for a in entry["annotations"])
        assert mine == written, name
        status = [(e["onset"], e["duration"], e["value"]) for e in events if e["type"] == "status"]
        assert status == [tuple(s) for s in entry["status"]], name
        assert [e["onset"] for e in events] == sorted(e["onset"] for e in events), name
    assert read == len(edf_set)


def test_edf_data_through_fetch_equals_mne(edf_set):
    compared = []
    for entry in edf_set:
        name = os.path.basename(entry["file"])
        if entry["cut"] or entry["rounded"]:
            continue  # MNE takes a rounded duration as written: another rate
        hdr, _ = eegmex.read_edf(entry["file"])
        fastest = max(n for n, a in zip(entry["samples_per_record"], entry["annotation"]) if not a)
        if hdr["recordSamples"][hdr["fsChans"][0]] != fastest:
            continue  # MNE resamples every channel to the fastest
        compared.append(name)
        chans = [c for c in hdr["fsChans"] if c != hdr["statusChan"]]
        x, info = eegmex.fetch(hdr["dataFile"], hdr, chanidx=chans, fs=hdr["fs"])
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            raw = mne.io.read_raw_edf(entry["file"], preload=True, verbose="error") if name.endswith(
                ".edf") else mne.io.read_raw_bdf(entry["file"], preload=True, verbose="error")
        picks = [raw.ch_names.index(hdr["label"][c]) for c in chans]
        theirs = raw.get_data(picks=picks)[:, : x.shape[0]].T
        units = np.array([{"uV": 1e-6, "mV": 1e-3}.get(hdr["unit"][c], 1.0) for c in chans])
        assert x.shape[0] == theirs.shape[0], name
        np.testing.assert_allclose(x * units, theirs, rtol=1e-9, atol=1e-12 * np.abs(theirs).max(), err_msg=name)
    assert sorted(compared) == ["annotated.edf", "exact250e.edf", "exact250z.edf", "midnight.edf", "plain.edf",
                                "plus.bdf", "status.bdf"]


def test_edf_events_follow_a_growing_file(edf_set, tmp_path):
    source = [e for e in edf_set if os.path.basename(e["file"]) == "plus.bdf"][0]["file"]
    hdr, everything = eegmex.read_edf(source)
    record = hdr["dataOffset"], int(sum(hdr["recordSamples"])) * 3
    data = open(source, "rb").read()
    path = str(tmp_path / "growing.bdf")
    open(path, "wb").write(data[: record[0]])
    with pytest.warns(eegmex.EegmexWarning, match="holds 0 whole records"):
        grown_hdr, _ = eegmex.read_edf(path)
    grown_hdr["dataFile"] = path
    seen, state = [], None
    per = int(hdr["recordSamples"][hdr["fsChans"][0]])
    for n in range(1, hdr["nRecords"] + 1):
        with open(path, "ab") as f:
            f.write(data[record[0] + (n - 1) * record[1]: record[0] + n * record[1]])
        new, state = eegmex.events(grown_hdr, state, n * per)
        assert all(e["position"] <= n * per for e in new)
        seen += new
    key = lambda e: (e["type"], e["position"], e["text"], repr(e["value"]), repr(e["duration"]))
    assert sorted(map(key, seen)) == sorted(map(key, everything))


def write_brainvision(folder, fs=500, n=2000, chans=("Fp1", "Cz", "O2")):
    rng = np.random.default_rng(3)
    x = rng.integers(-3000, 3000, (n, len(chans))).astype("<i2")
    x.tofile(os.path.join(folder, "rec.eeg"))
    res = [0.1, 0.5, 1.0]
    lines = ["Brain Vision Data Exchange Header File Version 1.0", "", "[Common Infos]", "Codepage=UTF-8",
             "DataFile=rec.eeg", "MarkerFile=rec.vmrk", "DataFormat=BINARY", "DataOrientation=MULTIPLEXED",
             "NumberOfChannels=%d" % len(chans), "SamplingInterval=%d" % (1000000 // fs), "",
             "[Binary Infos]", "BinaryFormat=INT_16", "", "[Channel Infos]"]
    lines += ["Ch%d=%s,,%g,\u00b5V" % (k + 1, c, r) for k, (c, r) in enumerate(zip(chans, res))]
    open(os.path.join(folder, "rec.vhdr"), "w", encoding="utf-8").write("\r\n".join(lines) + "\r\n")
    marks = ["Brain Vision Data Exchange Marker File, Version 1.0", "", "[Common Infos]", "Codepage=UTF-8",
             "DataFile=rec.eeg", "", "[Marker Infos]", "Mk1=New Segment,,1,1,0,20240201131415000000",
             "Mk2=Stimulus,S  1,101,1,0", "Mk3=Stimulus,S  2,733,1,0", "Mk4=Response,R 15,1500,5,2"]
    open(os.path.join(folder, "rec.vmrk"), "w", encoding="utf-8").write("\r\n".join(marks) + "\r\n")
    return x, np.array(res)


def test_brainvision_against_mne(tmp_path):
    x, res = write_brainvision(str(tmp_path))
    hdr = eegmex.read_vhdr(str(tmp_path / "rec.vhdr"))
    raw = mne.io.read_raw_brainvision(str(tmp_path / "rec.vhdr"), preload=True, verbose="error")
    assert hdr["label"] == raw.ch_names and hdr["fs"] == raw.info["sfreq"]
    assert hdr["dataFile"] == str(tmp_path / "rec.eeg")
    ours, _ = eegmex.fetch(hdr["dataFile"], hdr, chanidx=range(hdr["nChans"]), fs=hdr["fs"])
    assert np.array_equal(ours, x * res)
    np.testing.assert_allclose(ours * 1e-6, raw.get_data().T, rtol=1e-12)
    markers = eegmex.read_vmrk(hdr["markerFile"])
    assert [m["description"] for m in markers] == ["", "S  1", "S  2", "R 15"]
    assert [m["position"] for m in markers] == [1, 101, 733, 1500]
    assert markers[3]["points"] == 5 and markers[3]["channel"] == 2
    ann = mne.read_annotations(str(tmp_path / "rec.vmrk"), sfreq=hdr["fs"])
    stim = [(m["type"] + "/" + m["description"], (m["position"] - 1) / hdr["fs"]) for m in markers[1:]]
    assert stim == [(d, o) for d, o in zip(ann.description, ann.onset) if not d.startswith("New")]
    # The events of a marker file, up to the frames read.
    first, state = eegmex.events(hdr, None, 800)
    rest, state = eegmex.events(hdr, state)
    assert [m["position"] for m in first] == [1, 101, 733]
    assert [m["position"] for m in rest] == [1500]


def test_reader_errors(tmp_path):
    with pytest.raises(OSError):
        eegmex.read_vhdr(str(tmp_path / "none.vhdr"))
    with pytest.raises(ValueError, match="eegmex_edf"):
        eegmex.read_edf("")
    bad = tmp_path / "bad.edf"
    bad.write_bytes(b"not an edf file at all")
    with pytest.raises((ValueError, OSError)):
        eegmex.read_edf(str(bad))


def test_finished_marker_file_and_changed_state(tmp_path):
    write_brainvision(str(tmp_path))
    hdr = eegmex.read_vhdr(str(tmp_path / "rec.vhdr"))
    # Lines that end in CR alone, the last without its end: it comes once the file is said finished.
    text = open(hdr["markerFile"], "rb").read().replace(b"\r\n", b"\r")[:-1]
    open(hdr["markerFile"], "wb").write(text)
    want = eegmex.read_vmrk(hdr["markerFile"])
    got, state = eegmex.events(hdr, None, 10**9)
    last, state = eegmex.events(hdr, state, float("inf"))
    assert len(last) == 1 and got + last == want and state["startedOver"] == ""
    # A state the caller changed is refused by its field.
    for name, value in (("point", float("nan")), ("line", -1.0), ("codePage", 9.0)):
        bad = dict(state, **{name: value})
        with pytest.raises(ValueError, match="state." + name) as e:
            eegmex.events(hdr, bad)
        assert e.value.id == "eegmex_events:usage"


def test_edf_channel_without_a_scale_is_left_out(edf_set, tmp_path):
    plain = next(e for e in edf_set if e["file"].endswith("plain.edf"))
    data = bytearray(open(plain["file"], "rb").read())
    ns = len(plain["labels"])
    at = 256 + (16 + 80 + 8) * ns  # signal 1's physical minimum, now equal to its maximum
    data[at:at + 8] = b"3200    "
    flat = tmp_path / "flat.edf"
    flat.write_bytes(bytes(data))
    with pytest.warns(eegmex.EegmexWarning, match="signal 1 .Fp1.: physical minimum 3200 and maximum 3200"):
        hdr, _ = eegmex.read_edf(str(flat))
    assert np.isnan(hdr["scale"][0]) and np.isnan(hdr["offset"][0])
    assert list(hdr["fsChans"]) == [c for c in eegmex.read_edf(plain["file"])[0]["fsChans"] if c != 0]
