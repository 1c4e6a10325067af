"""XDF files through the Python package: the streams, samples and times write_xdf.py wrote; fetch on a
stream among others' chunks, whole and while the file grows in random pieces; events at their rows;
damaged files."""
import os
import sys
import warnings

import numpy as np
import pytest

import eegmex
from conftest import REPO

sys.path.insert(0, os.path.join(REPO, "tests", "xdf"))
import write_xdf  # noqa: E402


def corrected(times, offsets):
    """The clock offsets as the reference loader applies them: the last measurement before t, the first
    one before them all."""
    out = []
    for t in times:
        before = [v for c, v in offsets if c < t]
        out.append(t + (before[-1] if before else offsets[0][1]) if offsets else t)
    return np.array(out)


@pytest.fixture
def eeg_markers(tmp_path):
    offsets = [(1000.0 + 1.5 * k, 0.002 * k * (-1) ** k) for k in range(4)]
    streams = write_xdf.eeg_and_markers(n=1500, channels=4, fmt="int16", srate=500.0, chunk_samples=60,
                                        offsets=offsets)
    path = str(tmp_path / "rec.xdf")
    data = write_xdf.write(path, streams)
    return path, streams, data


def test_streams_samples_and_times_as_written(eeg_markers):
    path, (eeg, mk), _ = eeg_markers
    s = eegmex.read_xdf(path)
    assert [x["id"] for x in s] == [1, 7]
    a, b = s
    assert (a["name"], a["type"], a["channelCount"], a["nominalRate"], a["channelFormat"]) == ("EEG amp", "EEG", 4, 500.0, "int16")
    assert a["label"] == ["Fp1", "Fz", "C&3", "Oz"] and a["unit"] == ["microvolts"] * 4
    assert a["sampleCount"] == 1500 and a["footer"]
    assert a["firstTime"] == eeg.written_times()[0] and a["lastTime"] == eeg.written_times()[-1]
    assert np.array_equal(a["clockOffsets"], np.array(eeg.offsets))
    assert b["HDR"] is None and b["channelFormat"] == "string"
    values, times = eegmex.read_xdf_stream(path, 1)
    assert np.array_equal(values, eeg.values)
    assert np.array_equal(times, corrected(eeg.written_times(), eeg.offsets))
    texts, mtimes = eegmex.read_xdf_stream(path, 7)
    assert texts == mk.values
    assert np.array_equal(mtimes, corrected(mk.written_times(), mk.offsets))
    # fetch on the stream: the samples themselves at its own rate, scaled; decimated rows' times
    x, info = eegmex.fetch(path, a["HDR"], chanidx=[2, 0], fs=500)
    assert np.array_equal(x, eeg.values[:, [2, 0]].astype(float))
    assert info["frames"] == 1500
    t = eegmex.xdf_times(a["HDR"], 100)
    assert np.array_equal(t, times[4::5])
    ev = eegmex.xdf_events(path, a, fs=100)
    assert [e["text"] for e in ev] == [v[0] for v in mk.values]
    for e in ev:  # the nearest sample in time, and the row of 5 frames that holds it, from 1 as in Octave
        assert e["position"] == int(np.argmin(np.abs(times - e["time"]))) + 1
        assert e["row"] == (e["position"] + 4) // 5


def test_every_format_the_engine_takes(tmp_path):
    # int8 is widened to int16 on its way in; int64 and double64 have no HDR, their samples read whole.
    for fmt in ("int8", "int16", "int32", "float32", "int64", "double64"):
        streams = write_xdf.eeg_and_markers(n=450, channels=3, fmt=fmt, chunk_samples=31)
        path = str(tmp_path / (fmt + ".xdf"))
        write_xdf.write(path, streams, width=8 if fmt == "int32" else None)
        s = eegmex.read_xdf(path)[0]
        values, _ = eegmex.read_xdf_stream(path, 1)
        assert np.array_equal(values, streams[0].values.astype(float))
        if fmt in ("int64", "double64"):
            assert s["HDR"] is None
            continue
        x, _ = eegmex.fetch(path, s["HDR"], chanidx=[2, 0, 1], fs=500)
        assert np.array_equal(x, values[:, [2, 0, 1]]), fmt


def test_fetch_follows_a_growing_file(eeg_markers, tmp_path):
    path, (eeg, _), data = eeg_markers
    hdr = eegmex.read_xdf(path)[0]["HDR"]
    b = [1, -0.5]
    whole, _ = eegmex.fetch(path, hdr, chanidx=range(4), fs=100, filt_a=b, filt_b=[0.25, 0.25])
    grow = str(tmp_path / "growing.xdf")
    rng = np.random.default_rng(3)
    cuts = sorted(set(rng.integers(len(data) // 5, len(data), 12).tolist())) + [len(data)]
    out = np.zeros((whole.shape[0], 4))
    resumed, at, state, got = 0, 0, None, []
    for cut in cuts:
        with open(grow, "ab") as f:
            f.write(data[at:cut])
        at = cut
        hdr["dataFile"] = grow
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            _, info = eegmex.fetch(grow, hdr, chanidx=range(4), fs=100, filt_a=b, filt_b=[0.25, 0.25], data=out,
                                      resume=True)
            ev, state = eegmex.events(hdr, state, info["frames"])
        assert all(e["position"] <= info["frames"] for e in ev)
        got += ev
        resumed = max(resumed, info["resumedFrames"])
    assert resumed > 0
    assert np.array_equal(out, whole)
    key = lambda ev: [(e["time"], e["text"], e["stream"], e["position"]) for e in ev]  # noqa: E731 (value: NaN)
    assert key(got) == key(eegmex.xdf_events(grow, 1))  # every event once, as a whole read gives them


def test_damaged_files_name_the_chunk(tmp_path, eeg_markers):
    _, _, data = eeg_markers
    p = str(tmp_path / "bad.xdf")
    with open(p, "wb") as f:
        f.write(data.replace(b"</name><type>EEG</type>", b"</nam><type>EEG</type>", 1))
    with pytest.raises(ValueError, match=r"chunk at byte \d+ \(StreamHeader\): XML not well formed") as e:
        eegmex.read_xdf(p)
    assert e.value.id == "eegmex_xdf:damaged"
    with open(p, "wb") as f:
        f.write(data[:-9])
    with pytest.warns(eegmex.EegmexWarning, match="runs past the end of the file"):
        s = eegmex.read_xdf(p)
    assert not s[1]["footer"]
    hdr = s[0]["HDR"]
    with pytest.raises(ValueError, match="has no stream 9"):
        eegmex.fetch(p, dict(hdr, xdfStream=9), chanidx=[0], fs=500)
