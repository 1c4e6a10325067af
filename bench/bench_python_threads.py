#!/usr/bin/env python3
"""Latency of calls beside a long read (a benchmark: it prints figures, asserts nothing).

While a read of W1's shape (64 channels int16 at 5 kHz, 3,000,000 frames, a 4th-order filter, factor 10)
runs in another thread, from /dev/zero so that no file is needed, it times ROUNDS of each of:
  - trigout(888, 1) through the simulated port;
  - a 10-frame read of another (small) file;
  - a Stream's read of the newest 100 ms of another recording that grows by 100 ms before each read;
and, for comparison, the same calls with no read running. The goal: each within 5 ms beside the read.

Run with the interpreter that has the package: build/python-venv/bin/python bench/bench_python_threads.py
Environment: ROUNDS (20), W1_FRAMES (3000000)."""
import os
import statistics
import tempfile
import threading
import time

import numpy as np

import eegmex

ROUNDS = int(os.environ.get("ROUNDS", "20"))
W1_FRAMES = int(os.environ.get("W1_FRAMES", "3000000"))
B = [0.0048, 0.0193, 0.0289, 0.0193, 0.0048]  # a 4th-order low-pass's shape; the cost is what counts
A = [1.0, -2.3695, 2.3140, -1.0547, 0.1874]


def w1_read():
    hdr = dict(fs=5000, nChans=64, BinaryFormat=1, scale=[0.1] * 64, endian="l", nPoints=W1_FRAMES)
    eegmex.fetch("/dev/zero", hdr, chanidx=range(64), fs=500, filt_b=B, filt_a=A)


def main():
    folder = tempfile.mkdtemp()
    small = os.path.join(folder, "small.eeg")
    np.zeros((1000, 8), dtype="<i2").tofile(small)
    small_hdr = dict(fs=1000, nChans=8, BinaryFormat=1, scale=[1.0] * 8, endian="l", nPoints=10)
    online = os.path.join(folder, "online.eeg")
    block = np.ones((500, 64), dtype="<i2").tobytes()  # 100 ms at 5 kHz
    with open(online, "wb") as f:
        f.write(block * 20)
    online_hdr = dict(fs=5000, nChans=64, BinaryFormat=1, scale=[0.1] * 64, endian="l")
    stream = eegmex.Stream(online, online_hdr, window=50, chanidx=range(64), fs=500, filt_b=B, filt_a=A)
    stream.read()
    lib = eegmex.simport()

    def calls():
        t = time.perf_counter()
        eegmex.trigout(888, 1, io_lib=lib)
        pulse = time.perf_counter() - t
        t = time.perf_counter()
        eegmex.fetch(small, small_hdr, chanidx=[0, 1], fs=1000)
        read = time.perf_counter() - t
        with open(online, "ab") as f:
            f.write(block)
        t = time.perf_counter()
        stream.read()
        newest = time.perf_counter() - t
        return pulse, read, newest

    alone = [calls() for _ in range(ROUNDS)]
    beside, read_times = [], []
    for _ in range(ROUNDS):
        worker = threading.Thread(target=w1_read)
        t = time.perf_counter()
        worker.start()
        time.sleep(0.02)  # the read is under way
        if worker.is_alive():
            beside.append(calls())
        worker.join()
        read_times.append(time.perf_counter() - t)
    names = ("trigout", "10-frame read of another file", "Stream: newest 100 ms")
    print("W1-shaped read in another thread: median %.3f s" % statistics.median(read_times))
    print("%-32s %12s %12s %12s" % ("call (ms)", "alone med", "beside med", "beside max"))
    for i, name in enumerate(names):
        a = [c[i] * 1e3 for c in alone]
        b = [c[i] * 1e3 for c in beside] or [float("nan")]
        print("%-32s %12.3f %12.3f %12.3f" % (name, statistics.median(a), statistics.median(b), max(b)))
    print("goal: each within 5 ms beside the read (%d of %d rounds overlapped)" % (len(beside), ROUNDS))


if __name__ == "__main__":
    main()
