"""Benchmark of eegmex.Decimator (run by scripts/bench_stream.sh): pushes of an inlet's chunk, 32
frames x 64 channels of int16 and of float32, 4th-order b/a, 5000 -> 500 Hz, against scipy's lfilter
with zi and slicing on the same chunks; and a push of 1 s of frames per frame and sample.

    python3 bench_stream.py B A ROUNDS
B, A: the coefficients, comma-separated. Prints "name value" lines."""
import sys
import time

import numpy as np
from scipy.signal import lfilter, lfilter_zi

import eegmex

b = np.array([float(v) for v in sys.argv[1].split(",")])
a = np.array([float(v) for v in sys.argv[2].split(",")])
rounds = int(sys.argv[3])
nChans, fs, factor, chunk = 64, 5000, 10, 32
hdr = dict(fs=fs, nChans=nChans, scale=[0.1] * nChans)
opt = dict(chanidx=list(range(nChans)), fs=fs // factor, filt_b=list(b), filt_a=list(a))
rng = np.random.default_rng(1)
frames = 5000 * 8
data = {"int16": rng.integers(-3000, 3000, (frames, nChans)).astype(np.int16)}
data["float32"] = data["int16"].astype(np.float32)
chunks = {k: [x[i : i + chunk] for i in range(0, frames, chunk)] for k, x in data.items()}


def per_call(run, items, reps=5, best=False):
    """Median (or least) over rounds of the mean time of one call over all items."""
    times = []
    for _ in range(max(rounds, reps)):
        t0 = time.perf_counter()
        run(items)
        times.append((time.perf_counter() - t0) / len(items))
    return float(np.min(times) if best else np.median(times))


def fastest_call(f, x, n=2000):
    """The fastest of n single calls: what a push costs when nothing else runs."""
    best = float("inf")
    for _ in range(n):
        t0 = time.perf_counter()
        f(x)
        best = min(best, time.perf_counter() - t0)
    return best


def pushes(items):
    d = eegmex.Decimator(hdr, **opt)
    push = d.push
    for x in items:
        push(x)


class Scipy:
    """The best a user writes with scipy: lfilter with zi along frames, the block's last frame kept."""

    def __init__(self):
        self.zi = np.zeros((len(b) - 1, nChans))
        self.phase = 0

    def push(self, x):
        y, self.zi = lfilter(b, a, x, axis=0, zi=self.zi)
        first = (factor - 1 - self.phase) % factor
        self.phase = (self.phase + len(x)) % factor
        return y[first::factor] * 0.1


def scipy_pushes(items):
    s = Scipy()
    push = s.push
    for x in items:
        push(x)


for kind in ("int16", "float32"):
    ours = per_call(pushes, chunks[kind])
    theirs = per_call(scipy_pushes, chunks[kind])
    print("PUSH_%s %.3f" % (kind, ours * 1e6))
    d = eegmex.Decimator(hdr, **opt)
    print("FASTEST_%s %.3f" % (kind, fastest_call(d.push, chunks[kind][1]) * 1e6))
    print("SCIPY_%s %.3f" % (kind, theirs * 1e6))

# A push of 1 s of frames, per sample.
second = [data["int16"][i : i + fs] for i in range(0, frames, fs)]
print("SECOND_NS_PER_SAMPLE %.4f" % (per_call(pushes, second) / (fs * nChans) * 1e9))

# The rows equal the read's, so the figures compare like with like.
d = eegmex.Decimator(hdr, **opt)
y = np.vstack([d.push(x) for x in chunks["int16"]])
s = Scipy()
z = np.vstack([s.push(x.astype(float)) for x in chunks["int16"]])
print("SCIPY_MAX_DIFF %.3g" % float(np.max(np.abs(y - z))))
