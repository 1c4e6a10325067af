"""eegmex.fetch and eegmex.Stream: the same bits as Octave's module on the shared cases, in-place
targets of every memory order, refusals, online reads, memory and the GIL."""
import json
import os
import subprocess
import threading
import warnings

import numpy as np
import pytest

import eegmex
from conftest import BUILD, write_recording

HERE = os.path.dirname(os.path.abspath(__file__))
TABLE = os.path.join(HERE, "fetch_cases.json")
CASES = json.load(open(TABLE))["cases"]


def python_args(case):
    """The case in Python's terms: channel numbers from 0, OPT.data a fresh float64 array."""
    hdr = dict(case["hdr"])
    opt = dict(case["opt"])
    opt["chanidx"] = [c - 1 for c in opt["chanidx"]]
    if "data" in case:
        opt["data"] = np.zeros((case["data"], case.get("dataColumns", len(opt["chanidx"]))))
    return hdr, opt


def run_python(case, folder):
    hdr, opt = python_args(case)
    path = os.path.join(folder, case["name"] + ".bin")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            x, info = eegmex.fetch(path, hdr, **opt)
        except Exception as e:  # compared with Octave's error below
            return None, None, str(e), type(e)
    w = [str(c.message) for c in caught if issubclass(c.category, eegmex.EegmexWarning)]
    return x, info, w, None


@pytest.fixture(scope="module")
def shared(tmp_path_factory, octave):
    """Writes every case's recording and runs the table through Octave once."""
    folder = str(tmp_path_factory.mktemp("cases"))
    for case in CASES:
        write_recording(os.path.join(folder, case["name"] + ".bin"), case["file"])
    script = "addpath('%s'); addpath('%s'); octave_cases('%s', '%s');" % (BUILD, HERE, TABLE, folder)
    subprocess.run([octave, "-H", "--no-gui", "--quiet", "--eval", script], check=True, cwd=folder)
    return folder


@pytest.mark.parametrize("case", CASES, ids=[c["name"] for c in CASES])
def test_same_bits_as_octave(shared, case):
    x, info, said, error_type = run_python(case, shared)
    lines = open(os.path.join(shared, case["name"] + ".octave.txt")).read().splitlines()
    # Octave's host puts the function's name before the module's text of an error.
    octave_error = [l[6:].replace("eegfetch: ", "", 1) for l in lines if l.startswith("error ")]
    if octave_error:
        assert error_type is not None, "Octave raised %r, Python returned" % octave_error[0]
        assert said == octave_error[0]
        return
    assert error_type is None, said
    want = np.fromfile(os.path.join(shared, case["name"] + ".octave.bin"), dtype="<f8")
    assert x.dtype == np.float64 and x.ndim == 2
    assert np.array_equal(x.ravel(order="F").view(np.uint64), want.view(np.uint64))
    fields = [l for l in lines if l.startswith("info ")][0].split(" ", 4)
    assert (info["frames"], info["outputs"], info["resumedFrames"]) == tuple(int(v) for v in fields[1:4])
    assert info["fullReadReason"] == (fields[4] if len(fields) > 4 else "")
    assert said == [l[8:] for l in lines if l.startswith("warning ")]


@pytest.fixture
def recording(tmp_path):
    layout = {"format": 1, "endian": "l", "nChans": 6, "frames": 3000, "seed": 21}
    path = str(tmp_path / "rec.bin")
    x = write_recording(path, layout)
    hdr = {"fs": 1000, "nChans": 6, "BinaryFormat": 1, "scale": np.linspace(0.5, 3, 6), "endian": "l"}
    return path, hdr, x


CHANIDX_RANGE = "OPT.chanidx entries must be channel numbers from 1 to HDR.nChans."
FILTER = dict(filt_b=[0.25, 0.5, 0.25], filt_a=[1.0, -0.5, 0.125])


def test_result_is_fortran_array_of_the_engine(recording):
    path, hdr, x = recording
    y, info = eegmex.fetch(path, hdr, chanidx=[0, 5, 2], fs=1000)
    assert y.shape == (3000, 3) and y.flags.f_contiguous and y.flags.owndata is False
    # Unfiltered, at the file's rate: the samples times their scale, exactly.
    assert np.array_equal(y, x[:, [0, 5, 2]] * hdr["scale"][[0, 5, 2]])
    assert info == {"frames": 3000, "outputs": 3000, "resumedFrames": 0, "fullReadReason": "", "limit": "",
                    "firstOutput": 0, "missed": 0}


@pytest.mark.parametrize("layout", ["C", "F", "column_slice", "row_slice", "reversed", "transposed"])
def test_data_written_in_place_in_any_order(recording, layout):
    path, hdr, _ = recording
    want, _ = eegmex.fetch(path, hdr, chanidx=[1, 3, 4], fs=250, **FILTER)
    base = {
        "C": lambda: np.zeros((750, 3)),
        "F": lambda: np.zeros((750, 3), order="F"),
        "column_slice": lambda: np.zeros((750, 9))[:, 1::3],
        "row_slice": lambda: np.zeros((1500, 3))[::2],
        "reversed": lambda: np.zeros((750, 3))[::-1, ::-1],
        "transposed": lambda: np.zeros((3, 750)).T,
    }[layout]()
    outer = base.base if base.base is not None else base
    before = outer.copy()
    got, _ = eegmex.fetch(path, hdr, chanidx=[1, 3, 4], fs=250, data=base, **FILTER)
    assert got is base
    assert np.array_equal(base, want)
    # Nothing outside the view was written.
    mask = np.ones(outer.shape, bool)
    if layout in ("column_slice", "row_slice"):
        mask[(slice(None), slice(1, None, 3)) if layout == "column_slice" else (slice(None, None, 2),)] = False
        assert np.array_equal(outer[mask], before[mask])


def test_placement_window_keeps_other_rows(recording):
    path, hdr, _ = recording
    full, _ = eegmex.fetch(path, hdr, chanidx=[0], fs=100)
    data = np.full((20, 1), 7.0)
    eegmex.fetch(path, hdr, chanidx=[0], fs=100, data=data, dataPos=[5, 9, 100, 200])
    assert np.array_equal(data[5:10], full[100:105])
    assert np.all(data[:5] == 7) and np.all(data[10:] == 7)


@pytest.mark.parametrize(
    "target, error, text",
    [
        (np.zeros((10, 2), dtype=np.float32), TypeError, "float64"),
        (np.zeros((10, 2), dtype=np.int64), TypeError, "float64"),
        (np.zeros((10, 2), dtype=complex), TypeError, "float64"),
        ([[0.0, 0.0]], TypeError, "numpy array"),
        (np.zeros(10), ValueError, "two dimensions"),
        (np.zeros((10, 2, 1)), ValueError, "two dimensions"),
        (np.frombuffer(np.zeros(20).tobytes()).reshape(10, 2), ValueError, "read-only"),
        (np.zeros((10, 3)), ValueError, "^OPT.data must have the same size as chanidx.$"),
    ],
)
def test_targets_the_engine_cannot_write_are_refused(recording, target, error, text):
    path, hdr, _ = recording
    keep = np.copy(target) if isinstance(target, np.ndarray) else None
    with pytest.raises(error, match=text):
        eegmex.fetch(path, hdr, chanidx=[0, 1], fs=100, data=target)
    if keep is not None:
        assert np.array_equal(target, keep)


def test_unaligned_view_is_refused(recording):
    path, hdr, _ = recording
    raw = np.zeros(256, np.uint8)
    odd = np.ndarray((10, 2), dtype=np.float64, buffer=raw, offset=0, strides=(12, 100))
    with pytest.raises(ValueError, match="whole float64"):
        eegmex.fetch(path, hdr, chanidx=[0, 1], fs=100, data=odd)


def test_channel_numbers_of_any_dtype_count_from_zero(tmp_path):
    path = str(tmp_path / "wide.bin")
    x = np.arange(300 * 256, dtype="<i2").reshape(300, 256) % 1000
    x.tofile(path)
    hdr = {"fs": 100, "nChans": 256, "BinaryFormat": 1, "scale": np.ones(256), "endian": "l"}
    for chanidx in ([255, 0], np.array([255, 0], np.uint8), np.array([255.0, 0.0], np.float32), (255, 0)):
        y, _ = eegmex.fetch(path, hdr, chanidx=chanidx, fs=100)
        assert np.array_equal(y, x[:, [255, 0]])
    with pytest.raises(ValueError, match="^OPT.chanidx"):
        eegmex.fetch(path, hdr, chanidx=np.array([True, False]), fs=100)


def test_messages_are_the_modules(recording, tmp_path):
    path, hdr, _ = recording
    with pytest.raises(ValueError) as e:
        eegmex.fetch(path, hdr, chanidx=[6], fs=100)
    assert str(e.value) == CHANIDX_RANGE
    with pytest.raises(OSError, match="^Could not open eeg file.$"):
        eegmex.fetch(str(tmp_path / "missing.bin"), hdr, chanidx=[0], fs=100)
    with pytest.raises(ValueError, match="HDR.endian"):
        eegmex.fetch(path, dict(hdr, endian="x"), chanidx=[0], fs=100)
    with pytest.raises(ValueError, match="OPT.fs"):
        eegmex.fetch(path, hdr, chanidx=[0])


def grow(path, x, start, stop):
    with open(path, "ab") as f:
        f.write(np.asarray(x[start:stop]).astype("<i2").tobytes())


def test_stream_follows_a_growing_file_with_the_bits_of_full_reads(tmp_path):
    rng = np.random.default_rng(5)
    x = rng.integers(-32768, 32768, (20000, 4))
    path = str(tmp_path / "grow.bin")
    open(path, "wb").close()
    hdr = {"fs": 1000, "nChans": 4, "BinaryFormat": 1, "scale": [1.0, 0.5, 0.25, 2.0], "endian": "l"}
    s = eegmex.Stream(path, hdr, window=100, chanidx=[3, 0], fs=250, **FILTER)
    other = eegmex.Stream(path, hdr, window=30, chanidx=[3, 0], fs=250, **FILTER)
    at = 0
    for step, n in enumerate([1, 500, 3, 4000, 1, 7, 2500, 0, 6000, 3]):
        grow(path, x, at, at + n)
        at += n
        data, info = s.read()
        want = np.zeros((100, 2))
        eegmex.fetch(path, hdr, chanidx=[3, 0], fs=250, data=want, newest=True, **FILTER)
        assert np.array_equal(data, want), "step %d" % step
        assert info["frames"] == at
        if step > 1:
            assert info["fullReadReason"] == "" and info["resumedFrames"] > 0
    data2, info2 = other.read()  # its own state: the first read of this object starts from byte 0
    assert info2["fullReadReason"] == "no stream yet"
    assert np.array_equal(data2, s.data[-30:])
    s.reset()
    _, info = s.read()
    assert info["fullReadReason"] == "no stream yet"


def test_stream_needs_a_target(recording):
    path, hdr, _ = recording
    s = eegmex.Stream(path, hdr, chanidx=[0], fs=100)  # enough for read_new, not for read
    with pytest.raises(ValueError, match="window=N or data="):
        s.read()


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def test_ten_thousand_calls_do_not_grow_memory(recording):
    path, hdr, _ = recording
    data = np.zeros((50, 2))
    live = eegmex._eegmex.live_arrays()

    def calls(n):
        for i in range(n):
            eegmex.fetch(path, hdr, chanidx=[0, 1], fs=100, **FILTER)
            eegmex.fetch(path, hdr, chanidx=[0, 1], fs=100, data=data, resume=True, newest=True)
            with pytest.raises(ValueError):
                eegmex.fetch(path, hdr, chanidx=[9], fs=100)

    calls(500)
    before = rss_kib()
    calls(3500)
    after = rss_kib()
    assert eegmex._eegmex.live_arrays() == live
    assert after - before < 2048, "RSS grew by %d KiB over 10,500 calls" % (after - before)


def test_another_thread_runs_during_a_long_read(tmp_path):
    path = str(tmp_path / "long.bin")
    frames, chans = 400000, 32
    np.random.default_rng(1).integers(-1000, 1000, (frames, chans)).astype("<i2").tofile(path)
    hdr = {"fs": 1000, "nChans": chans, "BinaryFormat": 1, "scale": np.ones(chans), "endian": "l"}
    b = np.full(24, 1 / 24)
    a = np.zeros(24)
    a[0] = 1
    ticks = []
    done = threading.Event()

    def ticker():
        while not done.is_set():
            ticks.append(1)

    # The ticks made while the read runs, against those of the same time with the GIL held.
    t = threading.Thread(target=ticker)
    t.start()
    try:
        n0 = len(ticks)
        x, _ = eegmex.fetch(path, hdr, chanidx=list(range(chans)), fs=1000, filt_b=b, filt_a=a)
        during = len(ticks) - n0
    finally:
        done.set()
        t.join()
    assert x.shape == (frames, chans)
    assert during > 1000, "the other thread ran %d times during the read" % during


def test_threads_calling_at_once_each_get_their_own_result(recording):
    """Calls from several threads are serialised by the host's lock: no call sees another's state."""
    path, hdr, _ = recording
    settings = [dict(chanidx=[k, 5 - k], fs=f, **FILTER) for k, f in ((0, 100), (1, 250), (2, 500), (3, 1000))]
    want = [eegmex.fetch(path, hdr, **o)[0] for o in settings]
    failures = []

    def worker(k):
        target = np.zeros((want[k].shape[0], 2))
        for i in range(60):
            if i % 2:
                got, info = eegmex.fetch(path, hdr, data=target, **settings[k])
            else:
                got, info = eegmex.fetch(path, hdr, **settings[k])
            if not np.array_equal(got, want[k]) or info["outputs"] != want[k].shape[0]:
                failures.append((k, i))
            try:
                eegmex.fetch(path, hdr, chanidx=[k + 10], fs=100)
            except ValueError as e:
                if str(e) != CHANIDX_RANGE:
                    failures.append((k, str(e)))

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
