"""Writes XDF files for the tests, with contents chosen here and known exactly.

As a module: Stream describes one stream (its samples, which samples carry a time stamp of their own,
its chunk size and clock offsets) and write(path, streams, ...) writes the file, the streams' chunks
interleaved round-robin. As a command, write_xdf.py DIR writes the set the tests use into DIR and a
manifest, DIR/manifest.json, of what each file holds (per stream: samples as numbers or texts, and
every sample's time before clock offsets).
"""
import json
import os
import struct
import sys

import numpy as np

FORMATS = {"int8": "<i1", "int16": "<i2", "int32": "<i4", "int64": "<i8", "float32": "<f4", "double64": "<f8"}


def varlen(n, width=None):
    """[width][n as width bytes], width the least of 1, 4, 8 that holds n unless given."""
    if width is None:
        width = 1 if n < 256 else 4 if n < 2**32 else 8
    return bytes([width]) + n.to_bytes(width, "little")


def chunk(tag, content, width=None):
    return varlen(len(content) + 2, width) + struct.pack("<H", tag) + content


def escape(s):
    return s.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


class Stream:
    """values: n x channels (numbers) or a list of n lists of texts (string). stamped: the samples that
    carry a time stamp (None: all). Times: t0 + i / srate (irregular streams: the given times)."""

    def __init__(self, sid, name, stype, fmt, values, srate, t0=100.0, times=None, stamped=None,
                 chunk_samples=10, labels=None, units=None, offsets=(), footer=True):
        self.sid, self.name, self.type, self.format = sid, name, stype, fmt
        self.values = values if fmt == "string" else np.asarray(values, dtype=FORMATS[fmt])
        self.n = len(values)
        self.channels = len(values[0]) if self.n else (len(labels) if labels else 1)
        self.srate = srate
        self.times = list(times) if times is not None else [t0 + i / srate for i in range(self.n)]
        self.stamped = set(range(self.n)) if stamped is None else set(stamped)
        self.chunk_samples = chunk_samples
        self.labels, self.units = labels, units
        self.offsets = list(offsets)  # (collection time, offset)
        self.footer = footer

    def written_times(self):
        """Every sample's time as a reader deduces it: its own stamp, or the one before + 1 / srate."""
        out, last = [], 0.0
        dt = 1.0 / self.srate if self.srate > 0 else 0.0
        for i in range(self.n):
            last = self.times[i] if i in self.stamped else last + dt
            out.append(last)
        return out

    def header_xml(self):
        chans = ""
        if self.labels:
            chans = "<desc><channels>" + "".join(
                "<channel><label>%s</label><unit>%s</unit><type>EEG</type></channel>"
                % (escape(l), escape(self.units[k] if self.units else "")) for k, l in enumerate(self.labels)
            ) + "</channels></desc>"
        return ('<?xml version="1.0"?>\n<info><name>%s</name><type>%s</type><channel_count>%d</channel_count>'
                "<nominal_srate>%r</nominal_srate><channel_format>%s</channel_format><source_id>src%d</source_id>"
                "<created_at>5.0</created_at><uid>u-%d</uid>%s</info>"
                % (escape(self.name), escape(self.type), self.channels, float(self.srate), self.format, self.sid,
                   self.sid, chans)).encode()

    def sample_bytes(self, i):
        head = (b"\x08" + struct.pack("<d", self.times[i])) if i in self.stamped else b"\x00"
        if self.format == "string":
            return head + b"".join(varlen(len(t.encode())) + t.encode() for t in self.values[i])
        return head + self.values[i].tobytes()

    def chunks(self, width=None):
        for a in range(0, self.n, self.chunk_samples):
            b = min(self.n, a + self.chunk_samples)
            body = struct.pack("<I", self.sid) + varlen(b - a, width) + b"".join(self.sample_bytes(i) for i in range(a, b))
            yield chunk(3, body, width)

    def footer_xml(self):
        wt = self.written_times()
        return ("<?xml version=\"1.0\"?><info><first_timestamp>%r</first_timestamp><last_timestamp>%r</last_timestamp>"
                "<sample_count>%d</sample_count><clock_offsets>%s</clock_offsets></info>"
                % (wt[0] if wt else 0.0, wt[-1] if wt else 0.0, self.n,
                   "".join("<offset><time>%r</time><value>%r</value></offset>" % o for o in self.offsets))).encode()


def write(path, streams, width=None, boundary=True, cut=0):
    """The file: header, stream headers, samples round-robin (each stream's clock offsets spread among
    its chunks), boundaries, footers. cut: bytes left off the end."""
    out = bytearray(b"XDF:")
    out += chunk(1, b'<?xml version="1.0"?><info><version>1.0</version></info>', width)
    for s in streams:
        out += chunk(2, struct.pack("<I", s.sid) + s.header_xml(), width)
    gens = [(s, list(s.chunks(width))) for s in streams]
    rounds = max((len(c) for _, c in gens), default=0)
    for r in range(rounds):
        for s, cs in gens:
            if r < len(cs):
                out += cs[r]
            if s.offsets:
                k = r * len(s.offsets) // max(1, len(cs))
                k2 = (r + 1) * len(s.offsets) // max(1, len(cs))
                for t, v in s.offsets[k:k2]:
                    out += chunk(4, struct.pack("<Idd", s.sid, t, v), width)
        if boundary and r % 7 == 6:
            out += chunk(5, bytes(range(16)), width)
    for s in streams:
        if s.footer:
            out += chunk(6, struct.pack("<I", s.sid) + s.footer_xml(), width)
    data = bytes(out[: len(out) - cut] if cut else out)
    with open(path, "wb") as f:
        f.write(data)
    return data


def eeg_and_markers(n=2000, channels=4, fmt="int16", srate=500.0, chunk_samples=100, offsets=()):
    rng = np.random.default_rng(7)
    info = np.iinfo(FORMATS[fmt]) if fmt.startswith("int") else None
    if info is not None:
        lo, hi = max(info.min, -(2**23)), min(info.max, 2**23)
        x = rng.integers(lo, hi, size=(n, channels), endpoint=True)
        x[0, :] = lo
        x[1, :] = hi
    else:
        x = rng.standard_normal((n, channels)) * 100
    stamped = [i for i in range(n) if i % chunk_samples == 0 or i % 37 == 0]
    eeg = Stream(1, "EEG amp", "EEG", fmt, x, srate, t0=1000.25, stamped=stamped, chunk_samples=chunk_samples,
                 labels=["Fp1", "Fz", "C&3", "Oz"][:channels] + ["X%d" % k for k in range(4, channels)],
                 units=["microvolts"] * channels, offsets=offsets)
    mtimes = [1000.25 + 0.5 + 0.37 * k for k in range(int(n / srate / 0.37))]
    mk = Stream(7, "Markers", "Markers", "string", [["stim %d" % k] for k in range(len(mtimes))], 0.0,
                times=mtimes, chunk_samples=1, offsets=offsets[::2])
    return [eeg, mk]


def manifest_entry(streams):
    out = []
    for s in streams:
        out.append({"id": s.sid, "name": s.name, "format": s.format, "channels": s.channels, "srate": s.srate,
                    "count": s.n, "times": s.written_times(), "offsets": s.offsets,
                    "values": s.values if s.format == "string" else s.values.astype(np.float64).tolist()})
    return out


def write_set(folder):
    os.makedirs(folder, exist_ok=True)
    man = {}
    offs = [(990.0 + 2 * k, 0.01 * k - 0.003 * k * k) for k in range(5)]
    files = {
        "eeg_markers.xdf": (eeg_and_markers(offsets=offs), {}),
        "int32_wide.xdf": (eeg_and_markers(n=500, channels=3, fmt="int32", chunk_samples=64), {"width": 8}),
        "float32.xdf": (eeg_and_markers(n=300, channels=5, fmt="float32", chunk_samples=33), {"width": 4}),
        "double64.xdf": (eeg_and_markers(n=300, channels=2, fmt="double64", chunk_samples=50), {}),
        "int8.xdf": (eeg_and_markers(n=200, channels=2, fmt="int8"), {}),
        "int64.xdf": (eeg_and_markers(n=200, channels=2, fmt="int64"), {}),
        "live.xdf": ([Stream(3, "EEG", "EEG", "int16", np.arange(1200).reshape(400, 3) - 600, 250.0,
                             chunk_samples=40, footer=False)], {"cut": 77}),
    }
    for name, (streams, kw) in files.items():
        write(os.path.join(folder, name), streams, **kw)
        man[name] = manifest_entry(streams)
    with open(os.path.join(folder, "manifest.json"), "w") as f:
        json.dump(man, f)


if __name__ == "__main__":
    write_set(sys.argv[1])
