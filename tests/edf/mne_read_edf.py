"""MNE-Python's reading of EDF and BDF files, and a plain read of their digital samples, for
test_edf_mne.m.

mne_read_edf.py FILE... : for each FILE (.edf or .bdf, as MNE tells them apart by the name),
read_raw_edf / read_raw_bdf(FILE, preload=True) and write
  FILE.mne.json  {"ok": true, "sfreq", "meas_date" ([y, m, d, H, M, S] of the header), "ch_names", "units" (as the header gives them), "n_times",
                  "onset", "duration", "description" (the annotations),
                  "status": [[sample, value], ...] (BDF: mne.find_events on Status, low 16 bits,
                  every change to a value other than 0), "digital": [samples of each signal]}
                 or {"ok": false, "error": "<exception class>: <message>"} when MNE refuses it;
  FILE.mne.bin   get_data() (SI units: volts for uV and mV), float64 little-endian, channel after channel;
  FILE.digital.bin  the digital samples of every signal, read here with numpy from the records
                 (not with MNE), float64, signal after signal.
"""
import os
import sys
import warnings

import numpy as np

import mne


def plain_digital(path):
    """Every signal's digital samples, from the header's counts and the whole records in the file."""
    with open(path, "rb") as f:
        raw = f.read()
    bdf = raw[0] == 255
    ns = int(raw[252:256])
    spr = [int(raw[256 + 216 * ns + 8 * i:256 + 216 * ns + 8 * (i + 1)]) for i in range(ns)]
    bps = 3 if bdf else 2
    body = np.frombuffer(raw, dtype=np.uint8, offset=256 * (ns + 1))
    n = len(body) // (sum(spr) * bps)
    rec = body[:n * sum(spr) * bps].reshape(n, sum(spr) * bps)
    out, at = [], 0
    for s in spr:
        b = rec[:, at:at + s * bps].reshape(-1, bps).astype(np.int64)
        at += s * bps
        if bdf:
            v = b[:, 0] | (b[:, 1] << 8) | (b[:, 2] << 16)
            v[v >= 1 << 23] -= 1 << 24
        else:
            v = b[:, 0] | (b[:, 1] << 8)
            v[v >= 1 << 15] -= 1 << 16
        out.append(v)
    return out


def read(path):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            reader = mne.io.read_raw_bdf if path.endswith(".bdf") else mne.io.read_raw_edf
            raw = reader(path, preload=True, verbose="error")
            data = raw.get_data()
            status = []
            if "Status" in raw.ch_names:
                ev = mne.find_events(raw, stim_channel="Status", consecutive=True, shortest_event=1,
                                     initial_event=True, mask=0xFFFF, mask_type="and", verbose="error")
                status = [[int(s), int(v)] for s, _, v in ev]
    except Exception as e:  # every refusal is a result here
        return {"ok": False, "error": "%s: %s" % (type(e).__name__, e)}
    data.astype("<f8").tofile(path + ".mne.bin")
    digital = plain_digital(path)
    np.concatenate(digital).astype("<f8").tofile(path + ".digital.bin")
    return dict(
        ok=True,
        sfreq=raw.info["sfreq"],
        ch_names=list(raw.ch_names),
        units=[raw._orig_units[name] for name in raw.ch_names],
        n_times=int(raw.n_times),
        onset=[float(v) for v in raw.annotations.onset],
        duration=[float(v) for v in raw.annotations.duration],
        description=[str(v) for v in raw.annotations.description],
        status=status,
        meas_date=None if raw.info["meas_date"] is None else list(raw.info["meas_date"].timetuple())[:6],
        digital_counts=[len(d) for d in digital],
    )


if __name__ == "__main__":
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    from mne_oracle import write_each

    write_each(read)
