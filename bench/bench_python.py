"""The Python package's figures (a benchmark, not a test): prints them with their goals.

bench_python.py W1_FILE ONLINE_FILE b a rounds calls [FLOOR_COMMAND ...]
  W1_FILE       64 channels int16 little-endian at 5000 Hz (scripts/bench_python.sh generates it)
  ONLINE_FILE   a 600 MB recording of the same shape, copied frame by frame into a growing file
  b, a          the 4th-order Butterworth low-pass at 200 Hz, comma-separated
  FLOOR_COMMAND the decode-only floor of W1, run before each round (it prints "median_s=...")
Prints W1 through eegmex.fetch (median of `rounds`), one first touch of a result-sized array, the online
call (resume, newest; 100 ms appended before each of `calls` calls) and trigout against an empty call, in a
tight loop and one call every 25 ms.
The floor, W1 and the touch take turns, round by round, so that a machine that speeds up or slows down
during the run moves all three alike.
"""
import os
import re
import statistics
import subprocess
import sys
import time

import numpy as np

import eegmex
from eegmex import _eegmex


def main():
    w1, online, b, a = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
    rounds, calls = int(sys.argv[5]), int(sys.argv[6])
    b = np.array([float(v) for v in b.split(",")])
    a = np.array([float(v) for v in a.split(",")])
    hdr = dict(fs=5000, nChans=64, BinaryFormat=1, scale=np.full(64, 0.1), endian="l")
    opt = dict(chanidx=np.arange(64), fs=500, filt_b=b, filt_a=a)
    frames = os.path.getsize(w1) // 128
    rows = frames // 10
    floor_command = sys.argv[7:]

    def touch():
        x = np.empty((rows, 64), order="F")
        x.reshape(-1, order="F")[::512] = 0.0  # one write into each 4 KiB page

    times, cpu, touches, floors = [], [], [], []
    for _ in range(rounds):
        if floor_command:
            out = subprocess.run(floor_command, capture_output=True, text=True, check=True).stdout
            floors.append(float(re.search(r"median_s=([0-9.]+)", out).group(1)))
        result = None  # the last result is freed outside the time, as in the Octave benchmark
        c0 = os.times()
        t0 = time.perf_counter()
        result, _ = eegmex.fetch(w1, hdr, **opt)
        times.append(time.perf_counter() - t0)
        c1 = os.times()
        cpu.append(c1.user - c0.user + c1.system - c0.system)
        result = None  # the touch, like the read, takes storage just freed
        t0 = time.perf_counter()
        touch()
        touches.append(time.perf_counter() - t0)
    t_w1 = statistics.median(times)
    t_touch = statistics.median(touches)
    # CPU time (every thread) tells the work apart from the machine's load, which only stretches the wall time.
    print("W1 from Python, CPU time of all threads: %.3f s (median)" % statistics.median(cpu))
    print("W1 from Python: %.3f s (%d x 64); one first touch of the result: %.3f s" % (t_w1, rows, t_touch))
    if floors:
        print("FLOOR %.4f" % statistics.median(floors))
    print("W1_PY %.4f" % t_w1)
    print("TOUCH %.4f" % t_touch)

    # Online: the source copied into a growing file, 100 ms (500 frames) before each call.
    grow = online + ".grow"
    step = 500 * 128
    with open(online, "rb") as src, open(grow, "wb") as dst:
        total = os.path.getsize(online) - (calls + 2) * step
        while total > 0:
            chunk = src.read(min(total, 64 << 20))
            dst.write(chunk)
            total -= len(chunk)
        dst.flush()
        s = eegmex.Stream(grow, hdr, window=1000, chanidx=np.arange(64), fs=500, filt_b=b, filt_a=a)
        s.read()  # the first: a full read
        times = []
        for _ in range(calls):
            dst.write(src.read(step))
            dst.flush()
            t0 = time.perf_counter()
            _, info = s.read()
            times.append(time.perf_counter() - t0)
    os.remove(grow)
    size_mb = os.path.getsize(online) / 1e6
    print("online call (Stream: resume, newest, 2 s window of 64 channels) on a %.0f MB file: median %.3f ms, "
          "90th percentile %.3f ms (goal: median <= 1 ms); last reason %r, %d frames resumed"
          % (size_mb, 1e3 * statistics.median(times), 1e3 * sorted(times)[int(0.9 * len(times))],
             info["fullReadReason"], info["resumedFrames"]))

    # trigout against an empty extension call, alternating.
    lib = eegmex.simport()
    n = 20000
    empty, pulse = [], []
    for _ in range(5):
        t0 = time.perf_counter()
        for _ in range(n):
            _eegmex.live_arrays()
        empty.append((time.perf_counter() - t0) / n)
        t0 = time.perf_counter()
        for _ in range(n):
            eegmex.trigout(888, 1, 1, io_lib=lib)
        pulse.append((time.perf_counter() - t0) / n)
    e, p = statistics.median(empty), statistics.median(pulse)
    print("trigout call: %.1f us; an empty extension call: %.2f us; difference %.1f us (goal: <= 10 us)"
          % (p * 1e6, e * 1e6, (p - e) * 1e6))

    # The same calls as an experiment makes them: one every 25 ms, so that the caches are cold
    # again by the next one (alternating, 200 of each).
    empty, pulse = [], []
    for _ in range(200):
        time.sleep(0.025)
        t0 = time.perf_counter()
        _eegmex.live_arrays()
        empty.append(time.perf_counter() - t0)
        time.sleep(0.025)
        t0 = time.perf_counter()
        eegmex.trigout(888, 1, 1, io_lib=lib)
        pulse.append(time.perf_counter() - t0)
    e, p = statistics.median(empty), statistics.median(pulse)
    print("one call every 25 ms (cold caches): trigout %.1f us; an empty extension call %.1f us (medians)"
          % (p * 1e6, e * 1e6))


if __name__ == "__main__":
    main()
