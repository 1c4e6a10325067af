"""The W3 workload of the benchmark: a BDF file (MNE-Python reads it through peer_mne.py).

w3.py generate FILE CHANNELS RATE SECONDS   writes a BDF file: CHANNELS signals at RATE Hz (one-second
    records), SECONDS records of band-limited noise in 24-bit samples, physical range +-262143 uV.
"""
import sys

import numpy as np


def field(text, width):
    b = str(text).encode("ascii")
    return b + b" " * (width - len(b))


def generate(path, channels, rate, seconds):
    header = b"\xffBIOSEMI".ljust(8) + field("X X X X", 80) + field("Startdate 08-DEC-2026 X X X", 80)
    header += field("08.12.26", 8) + field("12.00.00", 8) + field(256 * (channels + 1), 8)
    header += field("24BIT", 44) + field(seconds, 8) + field(1, 8) + field(channels, 4)
    labels = ["A%d" % (i + 1) for i in range(min(channels, 64))] + ["EXG%d" % (i + 1) for i in range(channels - 64)]
    for width, value in [(16, None), (80, "active electrode"), (8, "uV"), (8, "-262144"), (8, "262143"),
                         (8, "-8388608"), (8, "8388607"), (80, "HP:DC; LP:417 Hz"), (8, rate), (32, "")]:
        for i in range(channels):
            header += field(labels[i] if value is None else value, width)
    rng = np.random.default_rng(3)
    with open(path, "wb") as f:
        f.write(header)
        state = np.zeros(channels)
        for _ in range(seconds):
            x = rng.normal(0.0, 3e5, size=(rate, channels)).cumsum(axis=0) * 0.02 + state
            state = x[-1] * 0.99
            d = np.clip(np.round(x), -8388608, 8388607).astype(np.int32).T.reshape(-1)  # channel after channel
            b = d.astype("<i4").view(np.uint8).reshape(-1, 4)[:, :3]
            f.write(b.tobytes())


if __name__ == "__main__":
    generate(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]))
