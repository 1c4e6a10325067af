"""MNE-Python's reading of EEGLAB datasets, for test_eeglab_mne.m and tests/python/test_eeglab.py.

mne_read_set.py FILE... : for each FILE (.set), read_raw_eeglab (one trial) or read_epochs_eeglab
(several), and read_annotations, and write
  FILE.mne.json  {"ok": true, "sfreq", "ch_names", "n_times" (frames, epochs one after another),
                  "onset", "duration", "description" (the annotations), "positions" (each channel's
                  montage position in m, head frame, null where it has none)}
                 or {"ok": false, "error": "<exception class>: <message>"} when MNE refuses it;
  FILE.mne.bin   get_data() (volts), float64 little-endian, channel after channel, the epochs of
                 each channel one after another.
"""
import os
import sys
import warnings

import numpy as np

import mne


def read(path):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                raw = mne.io.read_raw_eeglab(path, preload=True, verbose="error")
                data = raw.get_data()
                info = raw.info
            except TypeError as e:  # several trials: the epochs reader
                if "trials" not in str(e):
                    raise
                raw = mne.io.read_epochs_eeglab(path, verbose="error")
                data = np.concatenate(list(raw.get_data()), axis=1)
                info = raw.info
            annotations = mne.read_annotations(path)
            montage = raw.get_montage()
    except Exception as e:  # every refusal is a result here
        return {"ok": False, "error": "%s: %s" % (type(e).__name__, e)}
    data.astype("<f8").tofile(path + ".mne.bin")
    pos = montage.get_positions()["ch_pos"] if montage is not None else {}
    positions = []
    for name in info["ch_names"]:
        p = pos.get(name)
        positions.append(None if p is None or np.isnan(p).all() else [float(v) for v in p])
    return dict(
        ok=True,
        sfreq=info["sfreq"],
        ch_names=list(info["ch_names"]),
        n_times=int(data.shape[1]),
        onset=[float(v) for v in annotations.onset],
        duration=[float(v) for v in annotations.duration],
        description=[str(v) for v in annotations.description],
        positions=positions,
    )


if __name__ == "__main__":
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    from mne_oracle import write_each

    write_each(read)
