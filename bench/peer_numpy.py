"""numpy/scipy side of the benchmark: fromfile, lfilter, slicing; whole file or chunks with the state carried.
Every channel is filtered, then the selected ones are taken, as the module's definition does.

peer_numpy.py MODE FILE nChans fmt endian fs targetFs b a weights chanidx scale rounds
(b, a, weights, chanidx (1-based), scale: comma-separated). Prints "median_s=... peak_rss_mb=...".
"""
import resource
import statistics
import sys
import time

import numpy as np
from scipy.signal import lfilter


def main():
    mode, path = sys.argv[1], sys.argv[2]
    n_chans, fmt = int(sys.argv[3]), int(sys.argv[4])
    endian, fs, target_fs = sys.argv[5], int(sys.argv[6]), int(sys.argv[7])
    b, a, w = (np.array([float(v) for v in s.split(",")]) for s in sys.argv[8:11])
    chanidx = np.array([int(v) - 1 for v in sys.argv[11].split(",")])
    scale = np.array([float(v) for v in sys.argv[12].split(",")])
    rounds = int(sys.argv[13])
    dtype = np.dtype({1: "i2", 2: "i4", 3: "f4"}[fmt]).newbyteorder("<" if endian == "l" else ">")
    factor = fs // target_fs
    times = []
    x = y = out = None
    for _ in range(rounds):
        x = y = out = None  # nothing of the previous round stays alive through the next
        t0 = time.perf_counter()
        if mode == "whole":
            x = np.fromfile(path, dtype=dtype)
            x = x[: x.size // n_chans * n_chans].reshape(-1, n_chans).astype(np.float64)
            y = lfilter(b, a, x, axis=0)[:, chanidx]
            n = y.shape[0] // factor
            out = np.einsum("k,nkc->nc", w, y[: n * factor].reshape(n, factor, -1)) * scale[chanidx]
        else:
            chunk = factor * 20000
            zi = np.zeros((len(b) - 1, n_chans))
            parts = []
            with open(path, "rb") as f:
                while True:
                    x = np.fromfile(f, dtype=dtype, count=chunk * n_chans)
                    m = x.size // n_chans // factor * factor
                    if m == 0:
                        break
                    x = x[: m * n_chans].reshape(m, n_chans).astype(np.float64)
                    y, zi = lfilter(b, a, x, axis=0, zi=zi)
                    y = y[:, chanidx]
                    parts.append(np.einsum("k,nkc->nc", w, y.reshape(m // factor, factor, -1)) * scale[chanidx])
                    if m < chunk:
                        break
            out = np.concatenate(parts)
        times.append(time.perf_counter() - t0)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    print("median_s=%.4f peak_rss_mb=%.1f rows=%d" % (statistics.median(times), peak, out.shape[0]))


if __name__ == "__main__":
    main()
