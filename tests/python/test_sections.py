"""Second-order sections (sos=) against Debian's scipy.signal.sosfilt, bit for bit, and the online
reads of new rows only (Stream.read_new) and of the newest window's missed count."""
import numpy as np
import pytest

import eegmex
from conftest import write_recording

scipy_signal = pytest.importorskip("scipy.signal")

# 8th-order 0.1-30 Hz band-pass at 5 kHz: unstable as rounded b/a, fine as its 4 sections.
BAND = dict(N=4, Wn=[0.1, 30], btype="bandpass", fs=5000)


def reference(x, sos, scale, factor, weights=None):
    """sosfilt on the decoded samples, then the block's weighted sum in frame order, then the scale."""
    y = scipy_signal.sosfilt(sos, np.asarray(x, dtype=np.float64), axis=0)
    n = y.shape[0] // factor
    w = np.zeros(factor) if weights is None else np.asarray(weights, dtype=np.float64)
    if weights is None:
        w[-1] = 1.0
    acc = np.zeros((n, y.shape[1]))
    for i in range(factor):
        acc = acc + y[i:n * factor:factor] * w[i]
    return acc * scale


def same_bits(a, b):
    return a.shape == b.shape and np.array_equal(np.ascontiguousarray(a).view(np.uint64),
                                                 np.ascontiguousarray(b).view(np.uint64))


@pytest.mark.parametrize("fmt,endian,sections,weights", [
    (1, "l", "band", None),
    (2, "b", 2, [0.25, 0.5, 0.25, -0.125, 1.0]),
    (3, "l", 7, None),   # beyond the sections kept in registers
    (4, "b", 3, [1.0, 2.0, -1.0, 0.5, 0.5]),
])
def test_each_channel_is_sosfilt_bit_for_bit(tmp_path, fmt, endian, sections, weights):
    rng = np.random.default_rng(fmt)
    if sections == "band":
        sos = scipy_signal.butter(output="sos", **BAND)
    else:
        z, p = rng.uniform(-1, 1, (sections, 3)), rng.uniform(0.3, 0.99, sections)
        theta = rng.uniform(0, np.pi, sections)
        sos = np.column_stack([z, np.ones(sections), -2 * p * np.cos(theta), p * p])
    path = str(tmp_path / "r.bin")
    x = write_recording(path, {"format": fmt, "endian": endian, "nChans": 11, "frames": 4003, "seed": fmt})
    scale = np.linspace(0.5, 2, 11)
    hdr = {"fs": 5000, "nChans": 11, "BinaryFormat": fmt, "scale": scale, "endian": endian}
    chanidx = [10, 0, 3, 3]
    y, _ = eegmex.fetch(path, hdr, chanidx=chanidx, fs=1000, sos=sos, filt_subsample=weights)  \
        if weights else eegmex.fetch(path, hdr, chanidx=chanidx, fs=1000, sos=sos)
    assert same_bits(y, reference(x[:, chanidx], sos, scale[chanidx], 5, weights))
    # Resumed reads of the same file, one growing window after another, give the same bits.
    s = eegmex.Stream(path, dict(hdr, nPoints=1500), window=y.shape[0], chanidx=chanidx, fs=1000, sos=sos,
                      **({"filt_subsample": weights} if weights else {}))
    s.read()
    s.hdr = dict(hdr)
    got, info = s.read()
    assert info["resumedFrames"] == 1500 and same_bits(got, y)


def test_band_pass_stays_finite_as_sections_and_not_as_ba(tmp_path):
    path = str(tmp_path / "r.bin")
    write_recording(path, {"format": 1, "endian": "l", "nChans": 1, "frames": 130000, "seed": 9})
    hdr = {"fs": 5000, "nChans": 1, "BinaryFormat": 1, "scale": [1.0], "endian": "l"}
    b, a = scipy_signal.butter(**BAND)
    y_ba, _ = eegmex.fetch(path, hdr, chanidx=[0], fs=500, filt_b=b, filt_a=a)
    y_sos, _ = eegmex.fetch(path, hdr, chanidx=[0], fs=500, sos=scipy_signal.butter(output="sos", **BAND))
    assert not np.isfinite(y_ba[-1, 0])
    assert np.isfinite(y_sos).all() and np.abs(y_sos).max() < 1e5


def test_refusals(tmp_path):
    path = str(tmp_path / "r.bin")
    write_recording(path, {"format": 1, "endian": "l", "nChans": 2, "frames": 10, "seed": 1})
    hdr = {"fs": 100, "nChans": 2, "BinaryFormat": 1, "scale": [1, 1], "endian": "l"}
    sos = np.array([[1.0, 0, 0, 1, -0.5, 0]])
    for opt, text in [
        (dict(sos=sos, filt_b=[1.0], filt_a=[1.0]), "Give OPT.sos or OPT.filt_a and OPT.filt_b, not both."),
        (dict(sos=np.ones((2, 5))), "OPT.sos must be a real matrix of second-order sections"),
        (dict(sos=sos * 2), "Every row of OPT.sos must have a0 = 1 (divide the row by its a0)."),
        (dict(newRows=True), "OPT.newRows needs OPT.resume."),
        (dict(newRows=True, resume=True, data=np.zeros((2, 1))), "OPT.newRows returns the new rows"),
    ]:
        with pytest.raises(ValueError) as e:
            eegmex.fetch(path, hdr, chanidx=[0], fs=100, **opt)
        assert str(e.value).startswith(text)


@pytest.mark.filterwarnings("error::eegmex.EegmexWarning")
def test_read_new_returns_every_row_once_and_the_window_counts_what_it_missed(tmp_path):
    rng = np.random.default_rng(4)
    path = str(tmp_path / "grow.bin")
    x = rng.integers(-30000, 30000, (40000, 3)).astype("<i2")
    hdr = {"fs": 1000, "nChans": 3, "BinaryFormat": 1, "scale": [1.0, 0.5, 2.0], "endian": "l"}
    opt = dict(chanidx=[2, 0], fs=250, sos=scipy_signal.butter(3, 40, fs=1000, output="sos"))
    new_rows = eegmex.Stream(path, hdr, **opt)
    window = eegmex.Stream(path, hdr, window=20, **opt)
    rows, seen, written, placed_end, missed = [], 0, 0, 0, 0
    open(path, "wb").close()
    while written < len(x):
        step = int(rng.choice([0, 1, 3, 50, 400, 3000]))  # now and then far more than a window
        with open(path, "ab") as f:
            f.write(x[written:written + step].tobytes())
        written = min(len(x), written + step)
        y, info = new_rows.read_new()
        assert info["firstOutput"] == seen and y.shape == (written // 4 - seen, 2)
        seen += y.shape[0]
        rows.append(y)
        _, info = window.read()
        n = written // 4
        if n > 0 and placed_end > 0:
            assert info["missed"] == max(0, n - 20 - placed_end)
            missed += info["missed"]
        if n > 0:
            placed_end = n
    whole, _ = eegmex.fetch(path, hdr, **opt)
    assert same_bits(np.vstack(rows), whole)
    assert missed > 0
