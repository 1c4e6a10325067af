"""Writes EDF, EDF+, BDF and BDF+ files for the tests, from digital samples chosen here.

As a module: write(path, signals, duration, ...) writes one file; Signal and Annotation describe
its contents. As a command, write_edf.py DIR writes the set the tests use into DIR and a manifest,
DIR/manifest.json, of what each file holds as written (rate, records, channels, annotations,
status events as [onset, duration, value]; whether the header's duration is rounded, whether the
file was cut short), for the tests to compare a reader with.

The files: EDF and BDF, several record sizes, channels of another rate, an annotation channel
(EDF+ and BDF+), a Status channel with its upper bits set (BDF), digital values at the extremes of
each format and negative ones, physical ranges with an offset, record durations that the header's
8 characters had to round, a header that says -1 records, a file still being written (longer than
its header says, with a partial last record) and one cut short.
"""
import datetime
import json
import math
import os
import sys

import numpy as np


class Signal:
    """One signal: digital samples (n_records * samples_per_record of them), or an annotation channel."""

    def __init__(self, label, samples_per_record, digital=None, unit="uV", physical=(-3200.0, 3200.0),
                 digital_range=None, transducer="AgAgCl electrode", prefilter="HP:0.1Hz LP:100Hz",
                 annotation=False):
        self.label = label
        self.spr = samples_per_record
        self.digital = None if digital is None else np.asarray(digital, dtype=np.int64)
        self.unit = unit
        self.physical = physical
        self.digital_range = digital_range
        self.transducer = transducer
        self.prefilter = prefilter
        self.annotation = annotation


class Annotation:
    """onset (s after the first sample), duration (s, or None), texts (one TAL can hold several)."""

    def __init__(self, onset, duration, *texts):
        self.onset = onset
        self.duration = duration
        self.texts = texts


def field(value, width):
    """A header field: text, left-aligned and padded with spaces; too long is an error here."""
    text = value if isinstance(value, bytes) else str(value).encode("latin-1")
    if len(text) > width:
        raise ValueError("%r does not fit in %d characters" % (text, width))
    return text + b" " * (width - len(text))


def number_text(x):
    """A number in at most 8 characters, as exact as they allow (text is written as it is)."""
    if isinstance(x, str):
        return x
    if float(x) == int(x) and len(str(int(x))) <= 8:
        return str(int(x))
    for digits in range(8, 0, -1):
        t = ("%.*g" % (digits, x))
        if len(t) <= 8:
            return t
    raise ValueError(x)


def tal(onset, duration, texts):
    text = b"%+g" % onset if onset == int(onset) else ("%+.6f" % onset).rstrip("0").encode()
    if duration is not None:
        text += b"\x15" + ("%.6f" % duration).rstrip("0").rstrip(".").encode()
    return text + b"\x14" + b"".join(t.encode("utf-8") + b"\x14" for t in texts) + b"\x00"


def write(path, signals, duration, n_records, bdf=False, plus=False, annotations=(), first_onset=0.0,
          records_field=None, start=("01.02.24", "13.14.15"), recording=None, patient="X X X X",
          reserved=None, partial_bytes=0, patch=None):
    """Writes one file. duration: the record duration as written (text, 8 characters at most);
    annotations go into the record their onset falls in, by the duration's value. records_field: the header's record count (default n_records; -1 for unknown). partial_bytes:
    bytes of a next record appended after the whole ones (a record being written). patch: a
    function of the header bytes returning them changed (for broken headers)."""
    bps = 3 if bdf else 2
    ns = len(signals)
    seconds = float(duration)
    if reserved is None:
        reserved = ("BDF+C" if bdf else "EDF+C") if plus else ("24BIT" if bdf else "")
    if recording is None:
        recording = "Startdate 01-FEB-2024 X X X" if plus else "eegmex test recording"
    head = b"\xff" + field("", 7) if bdf else field("0", 8)  # BDF: a first byte 255
    head += field(patient, 80) + field(recording, 80) + field(start[0], 8) + field(start[1], 8)
    head += field(256 * (ns + 1), 8) + field(reserved, 44)
    head += field(n_records if records_field is None else records_field, 8)
    head += field(duration, 8) + field(ns, 4)
    lo, hi = (-(1 << 23), (1 << 23) - 1) if bdf else (-32768, 32767)
    cols = {k: [] for k in ("label", "transducer", "unit", "pmin", "pmax", "dmin", "dmax", "prefilter", "spr")}
    for s in signals:
        dmin, dmax = s.digital_range or (lo, hi)
        pmin, pmax = s.physical
        if s.annotation:
            pmin, pmax, unit, transducer, prefilter = -1, 1, "", "", ""
        else:
            unit, transducer, prefilter = s.unit, s.transducer, s.prefilter
        cols["label"].append(field(s.label, 16))
        cols["transducer"].append(field(transducer, 80))
        cols["unit"].append(field(unit, 8))
        cols["pmin"].append(field(number_text(pmin), 8))
        cols["pmax"].append(field(number_text(pmax), 8))
        cols["dmin"].append(field(dmin, 8))
        cols["dmax"].append(field(dmax, 8))
        cols["prefilter"].append(field(prefilter, 80))
        cols["spr"].append(field(s.spr, 8))
    for k in ("label", "transducer", "unit", "pmin", "pmax", "dmin", "dmax", "prefilter", "spr"):
        head += b"".join(cols[k])
    head += b" " * (32 * ns)
    if patch:
        head = patch(head)

    # Annotations go into the record their onset falls in, after its time-keeping list.
    per_record = [[tal(first_onset + r * seconds, None, [""])] for r in range(n_records)]
    for a in annotations:
        r = min(int(math.floor(a.onset / seconds)), n_records - 1)
        per_record[r].append(tal(first_onset + a.onset, a.duration, a.texts))
    records = []
    for r in range(n_records):
        parts = []
        for s in signals:
            if s.annotation:
                text = b"".join(per_record[r])
                room = s.spr * bps
                if len(text) > room:
                    raise ValueError("record %d's annotations need %d bytes, the channel holds %d" % (r, len(text), room))
                parts.append(text + b"\x00" * (room - len(text)))
                per_record[r] = []  # a second annotation channel of the record stays empty
            else:
                d = s.digital[r * s.spr:(r + 1) * s.spr]
                if bdf:
                    u = (d & 0xFFFFFF).astype("<u4").view(np.uint8).reshape(-1, 4)[:, :3]
                    parts.append(u.tobytes())
                else:
                    parts.append(d.astype("<i2").tobytes())
        records.append(b"".join(parts))
    with open(path, "wb") as f:
        f.write(head)
        f.write(b"".join(records))
        if partial_bytes:
            f.write(records[0][:partial_bytes])


def noise(rng, n, lo, hi):
    """Digital samples over the whole range, the extremes first."""
    d = rng.integers(lo, hi + 1, size=n, dtype=np.int64)
    d[:2] = [lo, hi]
    return d


def status_channel(rng, n, spr, codes):
    """A Status channel: pulses of the given codes, the upper 8 bits busy, and its manifest events."""
    v = np.zeros(n, dtype=np.int64)
    events = []
    at = 3
    for code in codes:
        width = int(rng.integers(1, 9))
        if at + width >= n:
            break
        v[at:at + width] = code
        events.append([at, width, code])
        at += width + (0 if code % 3 == 0 else int(rng.integers(1, 40)))  # some codes follow each other at once
    upper = rng.integers(0, 256, size=n, dtype=np.int64) << 16
    d = v | upper
    d[d >= 1 << 23] -= 1 << 24  # 24-bit two's complement: the top bit set is negative
    return Signal("Status", spr, d, unit="Boolean", physical=(-(1 << 23), (1 << 23) - 1),
                  transducer="Triggers and Status", prefilter="No filtering"), events


def start_time(start, first_onset):
    """[year, month, day, hour, minute, second]: the header's start and the first record's offset."""
    d, mo, y = (int(x) for x in start[0].split("."))
    h, mi, s = (int(x) for x in start[1].split("."))
    t = datetime.datetime(y + (2000 if y < 85 else 1900), mo, d, h, mi, s) + datetime.timedelta(seconds=first_onset)
    return [t.year, t.month, t.day, t.hour, t.minute, t.second + t.microsecond / 1e6]


def make_set(folder):
    rng = np.random.default_rng(19)
    manifest = []

    def add(name, signals, duration, n_records, rate, annotations=(), status=(), **kw):
        path = os.path.join(folder, name)
        write(path, signals, duration, n_records, annotations=annotations, **kw)
        manifest.append(dict(
            file=path, bdf=kw.get("bdf", False), cut=False, duration=duration,
            rounded=len(duration) == 8 and float(duration) * rate != max(s.spr for s in signals if not s.annotation)
            and "." in duration,
            rate=rate, n_records=n_records, labels=[s.label for s in signals],
            first_onset=kw.get("first_onset", 0.0),
            start_time=start_time(kw.get("start", ("01.02.24", "13.14.15")), kw.get("first_onset", 0.0)),
            annotation=[s.annotation for s in signals], samples_per_record=[s.spr for s in signals],
            annotations=[[a.onset, a.duration or 0.0, t] for a in annotations for t in a.texts],
            status=[[at / rate, width / rate, code] for at, width, code in status]))

    E = (-32768, 32767)
    # EDF, 1 s records at 256 Hz; a channel at 64 Hz; mV, a physical offset, an inverted range.
    n = 12
    add("plain.edf", [
        Signal("Fp1", 256, noise(rng, n * 256, *E)),
        Signal("Cz", 256, noise(rng, n * 256, *E), physical=("-500,5", 499.75)),  # a decimal comma
        Signal("Temp", 64, noise(rng, n * 64, -2000, 2000), unit="degC", physical=(30, 42),
               digital_range=(-2000, 2000), transducer="thermistor", prefilter=""),
        Signal("EOG", 256, noise(rng, n * 256, -1000, 1000), unit="mV", physical=(5.0, -5.0),
               digital_range=(-1000, 1000)),
        Signal("Offset", 256, noise(rng, n * 256, 0, 4095), physical=(100, 900), digital_range=(0, 4095)),
    ], "1", n, 256)

    # EDF+C, 0.5 s records at 200 Hz, an annotation channel, a first record 0.25 s after the start time.
    n = 20
    add("annotated.edf", [
        Signal("C3", 100, noise(rng, n * 100, *E)),
        Signal("EDF Annotations", 60, annotation=True),
        Signal("C4", 100, noise(rng, n * 100, -100, 100), physical=(-10, 10), digital_range=(-100, 100)),
        Signal("Resp", 10, noise(rng, n * 10, *E), unit="", physical=(0, 1)),
    ], "0.5", n, 200, plus=True, first_onset=0.25, annotations=[
        Annotation(0.0, None, "start"),
        Annotation(1.25, 0.5, "eyes closed"),
        Annotation(3.0, None, "T1", "T2"),
        Annotation(4.75, 2.125, "\u00b5-burst \u20ac"),
        Annotation(9.5, None, "end"),
    ])

    # Rounded durations: one sample per record at 256 Hz (".0039063"), header -1 records.
    n = 700
    add("rounded256.edf", [
        Signal("A1", 1, noise(rng, n, *E)),
        Signal("A2", 1, noise(rng, n, *E), physical=(-1.5, 2.5)),
    ], ".0039063", n, 256, records_field=-1)
    # One sample per record at 16384 Hz (".0000610" holds every whole rate from 16381 to 16406) and at
    # 30000 Hz (".0000333", 29985 to 30075): the rates round in binary and in decimal.
    add("rounded16384.edf", [Signal("H1", 1, noise(rng, 400, *E))], ".0000610", 400, 16384)
    add("rounded30000.edf", [Signal("K1", 1, noise(rng, 400, *E))], ".0000333", 400, 30000)
    # Five samples per record at 2048 Hz: 5 / 2048 = 0.00244140625 s, written "0.002441".
    n = 300
    add("rounded2048.bdf", [
        Signal("B1", 5, noise(rng, n * 5, -(1 << 23), (1 << 23) - 1)),
        Signal("B2", 5, noise(rng, n * 5, -(1 << 23), (1 << 23) - 1), physical=(-262144, 262143.96875)),
    ], "0.002441", n, 2048, bdf=True)

    # Durations written exactly in all 8 characters: 250 Hz as written, not a rate of a rounding window.
    add("exact250e.edf", [Signal("E1", 250, noise(rng, 4 * 250, *E))], "+1.0E+00", 4, 250)
    add("exact250z.edf", [Signal("Z1", 250, noise(rng, 4 * 250, *E)), Signal("Z2", 250, noise(rng, 4 * 250, *E))],
        "00000001", 4, 250)

    # EDF+C whose first record starts an hour and a half minute after a start time a minute before
    # midnight: the start time carries into the next day.
    add("midnight.edf", [
        Signal("M1", 100, noise(rng, 8 * 100, *E)),
        Signal("EDF Annotations", 30, annotation=True),
    ], "1", 8, 100, plus=True, start=("01.02.03", "23.59.03"), recording="Startdate 01-FEB-2003 X X X",
        first_onset=3630.5, annotations=[Annotation(2.5, None, "late")])

    # Three channels at 100 Hz and one at 400 Hz: the rate is the most common one, not the fastest.
    n = 5
    add("fastaux.edf", [Signal("C%d" % k, 100, noise(rng, n * 100, *E)) for k in (1, 2, 3)]
        + [Signal("Accel", 400, noise(rng, n * 400, *E), unit="mg", physical=(-8000, 8000))], "1", n, 100)

    # BDF with a Status channel, 1 s records at 512 Hz, a channel at 128 Hz; a recording still being
    # written: the header says 4 records, the file holds 6 and part of a 7th.
    n = 6
    status, events = status_channel(rng, n * 512, 512, [1, 2, 3, 255, 6, 65535, 9, 12, 40000, 7])
    B = (-(1 << 23), (1 << 23) - 1)
    add("status.bdf", [
        Signal("A1", 512, noise(rng, n * 512, *B)),
        Signal("A2", 512, noise(rng, n * 512, -8000, 8000), physical=(-262144, 262144), digital_range=(-8000, 8000)),
        Signal("GSR", 128, noise(rng, n * 128, 0, 100000), unit="nS", physical=(0, 1e6), digital_range=(0, 100000)),
        status,
    ], "1", n, 512, status=events, records_field=4, partial_bytes=1000, bdf=True)

    # BDF+C: 0.25 s records at 1024 Hz, annotations and Status.
    n = 16
    status, events = status_channel(rng, n * 256, 256, [5, 10, 15, 20, 25])
    add("plus.bdf", [
        Signal("Fz", 256, noise(rng, n * 256, *B)),
        Signal("BDF Annotations", 30, annotation=True),
        status,
        Signal("Oz", 256, noise(rng, n * 256, -100, 100), physical=(-1.25, 1.25), digital_range=(-100, 100)),
    ], "0.25", n, 1024, bdf=True, plus=True, status=events, annotations=[
        Annotation(0.5, 1.0, "block 1"), Annotation(2.0, None, "pause"), Annotation(3.5, 0.25, "block 2"),
    ])

    # Cut short: the header says 10 records, the file holds 7 and a half.
    n = 10
    path = os.path.join(folder, "cut.edf")
    write(path, [Signal("X", 50, noise(rng, n * 50, *E))], "0.1", n)
    with open(path, "r+b") as f:
        f.truncate(512 + 7 * 100 + 50)
    manifest.append(dict(file=path, bdf=False, cut=True, duration="0.1", rounded=False, rate=500, n_records=7, labels=["X"],
                         annotation=[False], samples_per_record=[50], annotations=[], status=[],
                         first_onset=0.0, start_time=[2024, 2, 1, 13, 14, 15]))

    with open(os.path.join(folder, "manifest.json"), "w", encoding="utf-8") as f:
        json.dump(manifest, f, ensure_ascii=False, indent=1)
    return manifest


if __name__ == "__main__":
    m = make_set(sys.argv[1])
    print("write_edf: %d files in %s" % (len(m), sys.argv[1]))
