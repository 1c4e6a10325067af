"""Arguments in Python: what is refused (naming the argument, changing nothing the caller holds), what is
converted (byte order, paths that are not UTF-8), the exception classes and where warnings point."""
import os
import pickle
import warnings

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import eegmex
from test_formats import write_brainvision


@pytest.fixture
def rec(tmp_path):
    rng = np.random.default_rng(1)
    x = rng.integers(-2000, 2000, (60, 4)).astype("<i2")
    path = tmp_path / "rec.eeg"
    x.tofile(path)
    return str(path), dict(fs=100, nChans=4, BinaryFormat=1, scale=[0.5, 1.0, 2.0, 4.0], endian="l"), x


def test_data_whose_elements_share_storage_is_refused_untouched(rec):
    path, hdr, _ = rec
    base = np.full(64, -3.0)
    for strides in [(8, 0), (0, 8), (8, 8), (16, 24)]:  # a step of 0; rows and columns that interleave
        view = as_strided(base, shape=(10, 3), strides=strides)
        with pytest.raises(ValueError, match="^data is a view whose elements share storage"):
            eegmex.fetch(path, hdr, chanidx=[0, 1, 2], fs=100, data=view)
        assert np.all(base == -3.0)
    # A view whose steps do not overlap is written in place as it lies.
    wide = np.full((20, 7), -3.0)
    got, _ = eegmex.fetch(path, hdr, chanidx=[0, 1, 2], fs=100, data=wide[::2, 1::2])
    want, _ = eegmex.fetch(path, hdr, chanidx=[0, 1, 2], fs=100)
    assert np.array_equal(wide[::2, 1::2], want[:10]) and np.all(wide[1::2] == -3.0)


def test_big_endian_numbers_are_taken_as_numbers(rec):
    path, hdr, x = rec
    want, _ = eegmex.fetch(path, hdr, chanidx=[3, 1], fs=50, filt_subsample=[0.25, 0.75])
    swapped = dict(hdr, scale=np.asarray(hdr["scale"], dtype=">f8"), nPoints=np.array(60, dtype=">i4"))
    got, _ = eegmex.fetch(path, swapped, chanidx=np.array([3, 1], dtype=">i8"), fs=np.float64(50).astype(">f8"),
                          filt_subsample=np.array([0.25, 0.75], dtype=">f8"))
    assert np.array_equal(got, want)
    assert np.array_equal(want[:, 0], (x[1::2, 3] * 0.75 + x[0::2, 3] * 0.25) * 4.0)
    target = np.zeros((30, 2), dtype=">f8")
    with pytest.raises(TypeError, match="^data must be a float64 array in the machine's byte order.*>f8"):
        eegmex.fetch(path, hdr, chanidx=[3, 1], fs=50, data=target)
    assert not target.any()


def test_a_float64_array_through_pickle_is_taken_as_data(rec):
    path, hdr, _ = rec
    target = pickle.loads(pickle.dumps(np.zeros((60, 2))))
    got, _ = eegmex.fetch(path, hdr, chanidx=[0, 2], fs=100, data=target)
    assert got is target
    assert np.array_equal(target, eegmex.fetch(path, hdr, chanidx=[0, 2], fs=100)[0])


def test_a_nul_inside_a_path_is_refused(rec, tmp_path):
    path, hdr, _ = rec
    with pytest.raises(ValueError, match="^The file name must not hold a NUL character.$"):
        eegmex.fetch(path + "\0.junk", hdr, chanidx=[0], fs=100)
    write_brainvision(str(tmp_path))
    for reader in (eegmex.read_vhdr, eegmex.read_vmrk, eegmex.read_edf):
        with pytest.raises(ValueError, match="must not hold a NUL character"):
            reader(str(tmp_path / "rec.vhdr") + "\0x")
    with pytest.raises(ValueError, match="io_lib must not hold a NUL character"):
        eegmex.trigout(888, 1, io_lib=eegmex.simport() + "\0x")


def test_paths_that_are_not_utf8_are_read_as_fetch_reads_them(tmp_path):
    folder = os.path.join(os.fsencode(str(tmp_path)), b"caf\xe9")  # Latin-1, not UTF-8
    os.mkdir(folder)
    x, res = write_brainvision(os.fsdecode(folder))
    for given in (os.path.join(folder, b"rec.vhdr"), os.fsdecode(os.path.join(folder, b"rec.vhdr"))):
        hdr = eegmex.read_vhdr(given)
        assert os.fsencode(hdr["dataFile"]) == os.path.join(folder, b"rec.eeg")
        got, _ = eegmex.fetch(hdr["dataFile"], hdr, chanidx=[0, 1, 2], fs=hdr["fs"])
        assert np.array_equal(got, x * res)
        assert [m["position"] for m in eegmex.read_vmrk(hdr["markerFile"])] == [1, 101, 733, 1500]
        events, _ = eegmex.events(hdr, None)
        assert len(events) == 4
    lib = os.path.join(folder, b"port.so")
    os.symlink(os.fsencode(eegmex.simport()), lib)
    eegmex.trigout(888, 1, io_lib=lib)
    eegmex.trigout(888, 1, io_lib=os.fsdecode(lib))


def test_a_misspelt_keyword_is_a_type_error_naming_it(rec):
    path, hdr, _ = rec
    for bad, hint in [("filt_B", "filt_b"), ("filter_b", "filt_b"), ("sfreq", None)]:
        with pytest.raises(TypeError, match="unexpected keyword argument '%s'" % bad) as caught:
            eegmex.fetch(path, hdr, chanidx=[0], fs=100, **{bad: [1.0]})
        if hint:
            assert repr(hint) in str(caught.value)
        with pytest.raises(TypeError, match=bad):
            eegmex.Stream(path, hdr, window=5, chanidx=[0], fs=100, **{bad: [1.0]})
    s = eegmex.Stream(path, hdr, window=5, chanidx=[0], fs=100)
    with pytest.raises(TypeError, match="newst"):
        s.read(newst=True)


def test_what_is_not_there_is_file_not_found_with_its_path(rec, tmp_path):
    path, hdr, _ = rec
    missing = str(tmp_path / "none.eeg")
    with pytest.raises(FileNotFoundError) as caught:
        eegmex.fetch(missing, hdr, chanidx=[0], fs=100)
    assert caught.value.filename == missing and "Could not open eeg file." in str(caught.value)
    for reader, name in ((eegmex.read_vhdr, "none.vhdr"), (eegmex.read_edf, "none.edf")):
        with pytest.raises(FileNotFoundError) as caught:
            reader(str(tmp_path / name))
        assert caught.value.filename == str(tmp_path / name)
    with pytest.raises(FileNotFoundError) as caught:
        eegmex.trigout(888, 1, io_lib=str(tmp_path / "none.so"))
    assert caught.value.filename == str(tmp_path / "none.so")
    # A trigger box that is not plugged in: its device is not there.
    box = str(tmp_path / "ttyACM9")
    lib = eegmex.serialport(box, port=4321)
    try:
        with pytest.raises(FileNotFoundError) as caught:
            eegmex.trigout(4321, 1, io_lib=lib)
        assert caught.value.filename == box
    finally:
        eegmex.serialport("clear")
    # A directory is there but is no recording: OSError, not FileNotFoundError.
    with pytest.raises(OSError) as caught:
        eegmex.fetch(str(tmp_path), hdr, chanidx=[0], fs=100)
    assert not isinstance(caught.value, FileNotFoundError)


def test_warnings_point_at_the_callers_line(rec):
    path, hdr, _ = rec
    long = dict(hdr, nPoints=100)  # more frames than the file holds
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        eegmex.fetch(path, long, chanidx=[0], fs=100)
        eegmex.Stream(path, long, window=5, chanidx=[0], fs=100).read()
    assert len(seen) == 2
    assert all(w.filename == __file__ for w in seen), [w.filename for w in seen]
