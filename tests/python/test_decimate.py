"""eegmex.Decimator: the shared cases (stream_cases.json, also run by tests/octave/test_decimate.m)
against eegmex.fetch of the same frames, cut every way the table says, in every memory order and
with pickled and copied states, b/a or second-order sections; times, jumps and markers; refusals that leave the state as it was;
pushes on other threads."""
import copy
import json
import os
import pickle
import subprocess
import threading
import warnings

import numpy as np
import pytest

import eegmex
from conftest import BUILD

HERE = os.path.dirname(os.path.abspath(__file__))
CASES = json.load(open(os.path.join(HERE, "stream_cases.json")))["cases"]
DTYPES = {1: np.int16, 2: np.int32, 3: np.float32}


def frames_of(c):
    rng = np.random.default_rng(c["seed"])
    shape = (c["frames"], c["hdr"]["nChans"])
    if c["format"] == 3:
        return (rng.standard_normal(shape) * 1000).astype(np.float32)
    info = np.iinfo(DTYPES[c["format"]])
    return rng.integers(info.min, info.max, shape, endpoint=True).astype(DTYPES[c["format"]])


def settings_of(c):
    hdr = dict(c["hdr"])
    n = hdr["nChans"]
    hdr["scale"] = list(np.broadcast_to(np.asarray(hdr["scale"], float), (n,)))
    opt = dict(c["opt"])
    opt["chanidx"] = list(range(n)) if opt["chanidx"] == "all" else [k - 1 for k in opt["chanidx"]]
    return hdr, opt


def cut_sizes(cut, total, rng):
    if isinstance(cut, str):
        most = int(cut.split()[1])
        sizes = []
        while sum(sizes) < total:
            sizes.append(int(rng.integers(0, most + 1)))
        return sizes
    return list(cut) * (total // max(1, sum(cut)) + 2)


@pytest.mark.parametrize("case", CASES, ids=[c["name"] for c in CASES])
def test_every_cutting_gives_the_reads_rows(case, tmp_path):
    hdr, opt = settings_of(case)
    x = frames_of(case)
    path = str(tmp_path / "rec.bin")
    x.astype("<" + np.dtype(DTYPES[case["format"]]).str[1:]).tofile(path)
    want, _ = eegmex.fetch(path, dict(hdr, BinaryFormat=case["format"], endian="l"), **opt)
    if case.get("push") == "double":
        x = x.astype(np.float64)
    rng = np.random.default_rng(case["seed"])
    for cut in case["cuts"]:
        for order in ("C", "F"):
            xs = np.asarray(x, order=order)
            d = eegmex.Decimator(hdr, **opt)
            rows, at = [], 0
            for k, n in enumerate(cut_sizes(cut, case["frames"], rng)):
                n = min(n, case["frames"] - at)
                rows.append(d.push(xs[at : at + n]))
                at += n
                if k == 2:
                    d = pickle.loads(pickle.dumps(d))  # goes on from the pickled state
                if k == 3:
                    d = copy.deepcopy(d)
                if at == case["frames"]:
                    break
            y = np.vstack(rows)
            assert y.shape == want.shape
            assert np.array_equal(y, want), (cut, order)
            assert np.isfinite(y).all()  # the band-pass that overflows as b/a stays finite as sections


def test_dtypes_and_views_without_copy_give_the_same_rows():
    hdr = dict(fs=1000, nChans=16, scale=[0.5] * 16)
    opt = dict(chanidx=list(range(16)), fs=250, filt_b=[0.3, 0.2], filt_a=[1, -0.5])
    x = np.random.default_rng(9).integers(-100, 100, (401, 16))
    want = eegmex.Decimator(hdr, **opt).push(x.astype(np.float64))
    wide = np.zeros((401, 40), np.int16)
    wide[:, 3:35:2] = x
    for chunk in (x.astype(np.int8), x.astype(">i4"), x.astype(np.int64),
                  x.astype(np.float16), wide[:, 3:35:2], x[::-1][::-1].astype(np.int32), x.T.copy().T):
        assert np.array_equal(eegmex.Decimator(hdr, **opt).push(chunk), want), chunk.dtype


def test_times_jumps_and_markers():
    d = eegmex.Decimator(dict(fs=100, nChans=2, scale=[1, 1]), chanidx=[1, 0], fs=25)
    t = np.r_[0:6, 9:15] / 100
    x = np.c_[np.arange(1, 13), np.arange(101, 113)]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        y, times = d.push(x, timestamps=t)
    assert np.array_equal(y, [[104, 4], [108, 8], [112, 12]])
    assert np.array_equal(times, t[[3, 7, 11]])
    assert [c.message.id for c in caught] == ["eegmex_decimate:gap"]
    assert d.gaps.shape == (1, 2) and d.gaps[0, 0] == 7 and abs(d.gaps[0, 1] - 0.04) < 1e-12
    y, times = d.push(np.c_[13:17, 113:117], timestamps=np.r_[15:19] / 100)
    assert np.array_equal(y, [[116, 16]]) and np.array_equal(times, [0.18]) and d.gaps.shape == (0, 2)
    assert list(eegmex.place_markers([0.03, 0.07, 0.11], [0, 0.03, 0.031, 0.07, 0.2])) == [0, 0, 1, 1, -1]


def test_refusals_leave_the_state_as_it_was():
    hdr = dict(fs=100, nChans=2, scale=[1, 1])
    d = eegmex.Decimator(hdr, chanidx=[1, 0], fs=25, maxGap=0.5)
    d.push(np.ones((5, 2)), timestamps=np.arange(5) / 100)
    before = d.state()
    bad = [
        ((np.ones((3, 3)),), {}, ValueError),
        ((np.ones((3, 2)) + 1j,), {}, TypeError),
        ((np.array([["a", "b"]]),), {}, TypeError),
        ((np.ones((3, 2)),), {"timestamps": [1, 2]}, ValueError),
        ((np.ones((2, 2)),), {"timestamps": [1, 0.5]}, ValueError),
        ((np.ones((1, 2)),), {"timestamps": [0.01]}, ValueError),  # before the last frame's time
        ((np.ones((1, 2)),), {"timestamps": [np.nan]}, ValueError),
    ]
    for args, kw, error in bad:
        with pytest.raises(error):
            d.push(*args, **kw)
        after = d.state()
        assert all(np.array_equal(before[k], after[k], equal_nan=True) for k in before)
    changed = d.state()
    changed["state"][-1] += 1
    with pytest.raises(ValueError, match="changed"):
        eegmex.Decimator.from_state(changed)
    with pytest.raises(ValueError, match="HDR.scale was not set"):
        eegmex.Decimator(dict(fs=100, nChans=2), chanidx=[0], fs=25)
    with pytest.raises(ValueError, match="multiple of the requested"):
        eegmex.Decimator(hdr, chanidx=[0], fs=30)
    d.reset()
    assert d.frames == 0 and d.push(np.ones((4, 2))).shape == (1, 2)


def test_sections_are_refused_as_fetch_refuses_them_and_a_state_keeps_them():
    hdr = dict(fs=1000, nChans=3, scale=[1.0, 2.0, 0.5])
    sos = [[0.25, 0.5, 0.25, 1, -0.5, 0.125], [1, -1, 0, 1, -0.25, 0]]
    with pytest.raises(ValueError, match=r"Give OPT.sos or OPT.filt_a and OPT.filt_b, not both\."):
        eegmex.Decimator(hdr, chanidx=[0], fs=250, sos=sos, filt_b=[1, 0], filt_a=[1, 0])
    with pytest.raises(ValueError, match=r"a0 = 1"):
        eegmex.Decimator(hdr, chanidx=[0], fs=250, sos=[[1, 0, 0, 2, 0, 0]])
    with pytest.raises(ValueError, match=r"second-order sections"):
        eegmex.Decimator(hdr, chanidx=[0], fs=250, sos=[[1, 0, 0, 1, 0]])
    # The sections are part of the state: a decimator made from it filters as the one that made it.
    x = np.random.default_rng(11).integers(-500, 500, (203, 3)).astype(np.int16)
    d = eegmex.Decimator(hdr, chanidx=[2, 0], fs=250, sos=sos)
    plain = eegmex.Decimator(hdr, chanidx=[2, 0], fs=250)
    want = d.push(x)
    assert not np.array_equal(want, plain.push(x))
    d.reset()
    first = d.push(x[:50])
    again = eegmex.Decimator.from_state(d.state())
    assert np.array_equal(np.vstack([first, again.push(x[50:])]), want)
    assert np.array_equal(np.vstack([first, copy.copy(d).push(x[50:])]), want)


def test_pushes_on_threads_each_give_their_own_rows():
    hdr = dict(fs=1000, nChans=64, scale=[1.0] * 64)
    opt = dict(chanidx=list(range(64)), fs=100, filt_b=[0.2, 0.3, 0.2], filt_a=[1, -0.4, 0.1])
    xs = [np.random.default_rng(s).integers(-999, 999, (20000, 64)).astype(np.int16) for s in range(4)]
    want = [eegmex.Decimator(hdr, **opt).push(x) for x in xs]
    got = [None] * 4

    def run(i):
        d = eegmex.Decimator(hdr, **opt)
        got[i] = np.vstack([d.push(xs[i][a : a + 32]) for a in range(0, 20000, 32)])

    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(np.array_equal(g, w) for g, w in zip(got, want))


def test_a_state_octave_made_goes_on_here(octave, tmp_path):
    """S is the same value in both hosts: Octave pushes the first frames, Python goes on from its S."""
    x = np.arange(60, dtype=np.int16).reshape(20, 3) * 7 - 100
    x.T.astype("<i2").tofile(str(tmp_path / "x.bin"))  # column-major, as Octave reads it
    script = (
        "addpath('%s'); f = fopen('x.bin'); X = reshape(fread(f, Inf, 'int16=>int16'), 20, 3); fclose(f);"
        "S = eegmex_decimate(struct('fs', 100, 'nChans', 3, 'scale', [1 2 3]), struct('chanidx', [3 1], 'fs', 25,"
        " 'filt_b', [0.5 0.25], 'filt_a', [1 -0.5]));"
        "[~, S] = eegmex_decimate(S, X(1:7, :)); f = fopen('s.bin', 'w');"
        "fwrite(f, [numel(S.setup) numel(S.state) S.setup S.state S.check], 'double'); fclose(f);" % BUILD
    )
    subprocess.run([octave, "-H", "--no-gui", "--quiet", "--eval", script], check=True, cwd=str(tmp_path))
    v = np.fromfile(str(tmp_path / "s.bin"))
    a, b = int(v[0]), int(v[1])
    S = {"setup": v[2 : 2 + a], "state": v[2 + a : 2 + a + b], "check": v[2 + a + b :]}
    d = eegmex.Decimator.from_state(S)
    whole = eegmex.Decimator({"fs": 100, "nChans": 3, "scale": [1, 2, 3]}, chanidx=[2, 0], fs=25,
                             filt_b=[0.5, 0.25], filt_a=[1, -0.5])
    want = whole.push(x)
    assert d.frames == 7
    assert np.array_equal(d.push(x[7:]), want[1:])
