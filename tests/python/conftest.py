"""Shared helpers of the Python tests: the repository, the build tree, recordings written by hand."""
import os
import shutil

import numpy as np
import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("EEGMEX_BUILD", os.path.join(REPO, "build"))

DTYPES = {1: "i2", 2: "i4", 3: "f4"}


def samples(fmt, shape, seed):
    rng = np.random.default_rng(seed)
    if fmt == 1:
        return rng.integers(-32768, 32768, shape)
    if fmt == 2:
        return rng.integers(-(2**31), 2**31, shape)
    if fmt == 3:
        return (rng.standard_normal(shape) * 1000).astype(np.float32)
    return rng.integers(-(2**23), 2**23, shape)


def encode(x, fmt, endian):
    """The samples' bytes in the file's encoding, in the order given."""
    order = "<" if endian == "l" else ">"
    if fmt == 4:
        u = (np.asarray(x, dtype=np.int64) & 0xFFFFFF).astype("<u4").view(np.uint8).reshape(-1, 4)[:, :3]
        return (u if endian == "l" else u[:, ::-1]).tobytes()
    return np.asarray(x).astype(order + DTYPES[fmt]).tobytes()


def write_recording(path, layout):
    """Writes the recording a case's `file` describes; returns the samples (frames x channels)."""
    fmt, endian, seed = layout["format"], layout["endian"], layout["seed"]
    head = b"H" * layout.get("dataOffset", 0)
    if "records" in layout:
        counts = layout["recordSamples"]
        per = [samples(fmt, (layout["records"], n), seed + c) for c, n in enumerate(counts)]
        body = b"".join(encode(per[c][r], fmt, endian) for r in range(layout["records"]) for c in range(len(counts)))
        x = per
    else:
        x = samples(fmt, (layout["frames"], layout["nChans"]), seed)
        body = encode(x.reshape(-1), fmt, endian)
    with open(path, "wb") as f:
        f.write(head + body)
    return x


@pytest.fixture(scope="session")
def octave():
    """octave-cli with the build tree's modules on its path, or a skip."""
    exe = shutil.which("octave-cli")
    if not exe or not os.path.exists(os.path.join(BUILD, "eegfetch.oct")):
        pytest.skip("octave-cli or the built Octave modules (build/eegfetch.oct) are missing")
    return exe
