"""MNE-Python's reading of BrainVision recordings, for the comparison in test_brainvision_mne.m.

mne_read.py FILE... : for each header FILE.vhdr, read_raw_brainvision(FILE, preload=True) and write
  FILE.mne.json  {"ok": true, "sfreq", "ch_names", "units" (as the header gives them), "n_times",
                  "onset", "duration", "description" (the annotations)}
                 or {"ok": false, "error": "<exception class>: <message>"} when MNE refuses the file;
  FILE.mne.bin   get_data() (volts), float64 little-endian, one channel after another;
and for each marker file FILE.vmrk, read_annotations(FILE) (the rate from the header of the same
name) into FILE.mne.json {"ok", "onset", "duration", "description"}.
MNE 1.3's read_raw_brainvision opens the marker file in the locale's encoding as well, so it
refuses an ANSI marker file with characters beyond ASCII; read_annotations reads it as it says.
"""
import os
import sys
import warnings

import mne


def annotations(ann):
    return {
        "onset": [float(v) for v in ann.onset],
        "duration": [float(v) for v in ann.duration],
        "description": [str(v) for v in ann.description],
    }


def read(path):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            if path.endswith(".vmrk"):
                return dict(ok=True, **annotations(mne.read_annotations(path)))
            raw = mne.io.read_raw_brainvision(path, preload=True, verbose="error")
            data = raw.get_data()
    except Exception as e:  # every refusal is a result here
        return {"ok": False, "error": "%s: %s" % (type(e).__name__, e)}
    data.astype("<f8").tofile(path + ".mne.bin")
    return dict(
        ok=True,
        sfreq=raw.info["sfreq"],
        ch_names=list(raw.ch_names),
        units=[raw._orig_units[name] for name in raw.ch_names],
        n_times=int(raw.n_times),
        **annotations(raw.annotations),
    )


if __name__ == "__main__":
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    from mne_oracle import write_each

    write_each(read)
