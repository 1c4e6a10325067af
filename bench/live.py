"""The recordings of the recording-reader benchmark (scripts/bench_live.sh); MNE-Python reads the
same files through peer_mne_events.py.

live.py brainvision BASE MARKERS    BASE.vhdr, BASE.vmrk, BASE.eeg: 2 channels INT_16 at 1000 Hz,
    a small .eeg (30 frames a marker), MARKERS markers: one New Segment with its date, then
    stimuli 'S  1'..'S 15' and every 7th a response 'R  8', 30 frames apart.
live.py edfplus FILE ANNOTATIONS     an EDF+C file: 4 channels at 256 Hz and an annotation channel,
    1 s records, 60 annotations a record (onsets within the record, durations of 0.1 s on every
    other one, texts 'S  1'..'S 15'), ANNOTATIONS annotations in all.
live.py bdfstatus FILE CHANNELS RATE SECONDS SPR PULSES   a BDF file: CHANNELS data channels and
    a Status channel (CHANNELS + 1 signals), all at RATE Hz, records of SPR samples; PULSES trigger
    pulses spread evenly over it, each a change of the low 16 bits to a code 1..255 for 20 ms and
    back to 0 (one status event each), with bit 20 of the upper byte set throughout. The data
    channels repeat 8 s of noise (their values do not matter to the events).
live.py edf CHANNELS FILE            a plain EDF file of CHANNELS channels at 256 Hz, 10 records of 1 s.
live.py statusbytes FILE             prints "dataOffset recordBytes statusAt statusBytes records" of a
    file bdfstatus wrote (the floor program's arguments).
"""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "edf"))
import write_edf  # noqa: E402  (the tests' EDF/EDF+ writer: header fields and time-stamped lists)


def brainvision(base, markers):
    name = os.path.basename(base)
    frames = 30 * (markers + 1)
    rng = np.random.default_rng(5)
    rng.integers(-2000, 2000, size=(frames, 2), dtype=np.int16).astype("<i2").tofile(base + ".eeg")
    with open(base + ".vhdr", "w", newline="\n") as f:
        f.write("Brain Vision Data Exchange Header File Version 1.0\n; Data written by bench/live.py\n\n"
                "[Common Infos]\nCodepage=UTF-8\nDataFile=%s.eeg\nMarkerFile=%s.vmrk\nDataFormat=BINARY\n"
                "DataOrientation=MULTIPLEXED\nNumberOfChannels=2\nSamplingInterval=1000\n\n"
                "[Binary Infos]\nBinaryFormat=INT_16\n\n[Channel Infos]\nCh1=Fz,,0.1,\u00b5V\n"
                "Ch2=Cz,,0.1,\u00b5V\n" % (name, name))
    lines = ["Brain Vision Data Exchange Marker File, Version 1.0", "", "[Common Infos]", "Codepage=UTF-8",
             "DataFile=%s.eeg" % name, "", "[Marker Infos]",
             "; Each entry: Mk<Marker number>=<Type>,<Description>,<Position in data points>,",
             "; <Size in data points>, <Channel number (0 = marker is related to all channels)>",
             "Mk1=New Segment,,1,1,0,20261208120000000000"]
    for k in range(1, markers):
        if k % 7 == 0:
            lines.append("Mk%d=Response,R  8,%d,1,0" % (k + 1, 30 * k + 1))
        else:
            lines.append("Mk%d=Stimulus,S%3d,%d,1,0" % (k + 1, k % 15 + 1, 30 * k + 1))
    with open(base + ".vmrk", "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


def edfplus(path, annotations):
    per_record = 60
    records = -(-annotations // per_record)
    rng = np.random.default_rng(7)
    ann = []
    for k in range(annotations):
        r, j = divmod(k, per_record)
        onset = r + (j + rng.random()) / per_record
        ann.append(write_edf.Annotation(round(onset, 4), 0.1 if k % 2 else None, "S%3d" % (k % 15 + 1)))
    signals = [write_edf.Signal("EEG%d" % (c + 1), 256, rng.integers(-3000, 3000, size=256 * records))
               for c in range(4)]
    signals.append(write_edf.Signal("EDF Annotations", 1024, annotation=True))
    write_edf.write(path, signals, "1", records, plus=True, annotations=ann)


def bdf_header(channels, rate, seconds, spr):
    def f(text, width):
        b = str(text).encode("ascii")
        return b + b" " * (width - len(b))
    ns = channels + 1
    records = seconds * rate // spr
    duration = "%.8g" % (spr / rate)
    head = b"\xff" + b" " * 7 + f("X X X X", 80) + f("Startdate 08-DEC-2026 X X X", 80)
    head += f("08.12.26", 8) + f("12.00.00", 8) + f(256 * (ns + 1), 8) + f("24BIT", 44)
    head += f(records, 8) + f(duration[:8], 8) + f(ns, 4)
    labels = ["A%d" % (i + 1) for i in range(min(channels, 64))] + ["EXG%d" % (i + 1) for i in range(channels - 64)]
    labels.append("Status")
    columns = [(16, None), (80, "active electrode"), (8, "uV"), (8, "-262144"), (8, "262143"),
               (8, "-8388608"), (8, "8388607"), (80, "HP:DC; LP:417 Hz"), (8, spr), (32, "")]
    for width, value in columns:
        for i in range(ns):
            if value is None:
                head += f(labels[i], width)
            elif i == channels and width == 80 and value == "active electrode":
                head += f("Triggers and Status", width)
            elif i == channels and width == 8 and value == "uV":
                head += f("Boolean", width)
            else:
                head += f(value, width)
    return head, records


def bdfstatus(path, channels, rate, seconds, spr, pulses):
    head, records = bdf_header(channels, rate, seconds, spr)
    frames = records * spr
    status = np.full(frames, 1 << 20, dtype=np.int64)
    width = max(1, rate // 50)  # 20 ms
    starts = (np.arange(pulses, dtype=np.int64) * frames) // pulses + rate // 10
    for k, s in enumerate(starts):
        status[s:s + width] |= k % 255 + 1
    status_bytes = status.astype("<i4").view(np.uint8).reshape(-1, 4)[:, :3].reshape(records, spr * 3)
    rng = np.random.default_rng(3)
    block = 8 * rate // spr  # records of noise, repeated
    noise = np.round(rng.normal(0.0, 3e5, size=(block * spr, channels)).cumsum(axis=0) * 0.02)
    noise = np.clip(noise, -8388608, 8388607).astype("<i4")
    # channel after channel within each record: (record, channel, sample)
    noise = noise.reshape(block, spr, channels).transpose(0, 2, 1).reshape(-1)
    noise = noise.view(np.uint8).reshape(-1, 4)[:, :3].reshape(block, channels * spr * 3)
    with open(path, "wb") as f:
        f.write(head)
        for r0 in range(0, records, block):
            n = min(block, records - r0)
            f.write(np.concatenate([noise[:n], status_bytes[r0:r0 + n]], axis=1).tobytes())


def statusbytes(path):
    with open(path, "rb") as f:
        head = f.read(256)
        ns = int(head[252:256])
        rest = f.read(256 * ns)
    spr = [int(rest[216 * ns + 8 * i:216 * ns + 8 * i + 8]) for i in range(ns)]
    labels = [rest[16 * i:16 * i + 16].decode().strip() for i in range(ns)]
    s = labels.index("Status")
    record = 3 * sum(spr)
    records = (os.path.getsize(path) - 256 * (ns + 1)) // record
    print(256 * (ns + 1), record, 3 * sum(spr[:s]), 3 * spr[s], records)


def edf(channels, path):
    rng = np.random.default_rng(11)
    signals = [write_edf.Signal("E%d" % (c + 1), 256, rng.integers(-3000, 3000, size=2560)) for c in range(channels)]
    write_edf.write(path, signals, "1", 10)


if __name__ == "__main__":
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == "brainvision":
        brainvision(args[0], int(args[1]))
    elif cmd == "edfplus":
        edfplus(args[0], int(args[1]))
    elif cmd == "bdfstatus":
        bdfstatus(args[0], *(int(a) for a in args[1:6]))
    elif cmd == "statusbytes":
        statusbytes(args[0])
    elif cmd == "edf":
        edf(int(args[0]), args[1])
    else:
        sys.exit("usage: see the docstring of bench/live.py")
