"""MNE-Python side of the benchmark: a recording read as MNE users usually read one.

read_raw_brainvision (a .vhdr) or read_raw_bdf (a .bdf) with preload=True, raw.filter with the
given IIR coefficients, then every
factor-th sample (the last frame of each block, the module's default weights) of every channel,
in microvolts. MNE 1.3 applies an IIR filter forward and backward (filtfilt, zero phase), so it
does twice the filter work of the module, with another phase; the numbers differ for that reason.

peer_mne.py FILE fs targetFs b a rounds   (FILE: .vhdr or .bdf; b, a: comma-separated)
Prints "median_s=... peak_rss_mb=... rows=...".
"""
import resource
import statistics
import sys
import time

import mne
import numpy as np


def main():
    vhdr = sys.argv[1]
    fs, target_fs = int(sys.argv[2]), int(sys.argv[3])
    b, a = (np.array([float(v) for v in s.split(",")]) for s in sys.argv[4:6])
    rounds = int(sys.argv[6])
    factor = fs // target_fs
    mne.set_log_level("ERROR")
    times = []
    raw = out = None
    for _ in range(rounds):
        raw = out = None  # nothing of the previous round stays alive through the next
        t0 = time.perf_counter()
        if vhdr.endswith(".bdf"):
            raw = mne.io.read_raw_bdf(vhdr, preload=True)
        else:
            raw = mne.io.read_raw_brainvision(vhdr, preload=True)
        raw.filter(None, target_fs / 2, picks="all", method="iir", iir_params=dict(b=b, a=a), phase="zero")
        n = raw.n_times // factor
        out = raw.get_data(picks="all")[:, factor - 1 : n * factor : factor] * 1e6
        times.append(time.perf_counter() - t0)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    print("median_s=%.4f peak_rss_mb=%.1f rows=%d" % (statistics.median(times), peak, out.shape[1]))


if __name__ == "__main__":
    main()
