"""Writes an XDF file holding a plain recording's frames (int16 little-endian, multiplexed) as one stream
in chunks of CHUNK samples, each chunk's first sample with its time stamp, a marker chunk (a string
stream) after every tenth, for the XDF benchmark: xdf_from_bin.py BIN NCHANS FS CHUNK OUT [COPIES].
COPIES > 1 writes the frames that many times over, as one stream, for a larger file."""
import struct
import sys

import numpy as np


def varlen(n):
    width = 1 if n < 256 else 4 if n < 2**32 else 8
    return bytes([width]) + n.to_bytes(width, "little")


def chunk(tag, content):
    return varlen(len(content) + 2) + struct.pack("<H", tag) + content


def header(sid, name, stype, n, fs, fmt):
    xml = ("<?xml version=\"1.0\"?><info><name>%s</name><type>%s</type><channel_count>%d</channel_count>"
           "<nominal_srate>%r</nominal_srate><channel_format>%s</channel_format></info>" % (name, stype, n, fs, fmt))
    return chunk(2, struct.pack("<I", sid) + xml.encode())


def main(src, nchans, fs, per, out, copies=1):
    nchans, fs, per, copies = int(nchans), float(fs), int(per), int(copies)
    frame = 2 * nchans
    rec = np.dtype([("f", "u1"), ("v", "<i2", (nchans,))])
    with open(out, "wb") as o:
        o.write(b"XDF:" + chunk(1, b"<?xml version=\"1.0\"?><info><version>1.0</version></info>"))
        o.write(header(1, "W1", "EEG", nchans, fs, "int16") + header(2, "Markers", "Markers", 1, 0.0, "string"))
        k = 0
        for copy in range(copies):
            with open(src, "rb") as f:
                while True:
                    raw = f.read(per * frame)
                    n = len(raw) // frame
                    if n == 0:
                        break
                    x = np.frombuffer(raw[: n * frame], dtype="<i2").reshape(n, nchans)
                    rest = np.zeros(n - 1, dtype=rec)
                    rest["v"] = x[1:]
                    t = k * per / fs
                    body = (struct.pack("<I", 1) + varlen(n) + b"\x08" + struct.pack("<d", t) + x[0].tobytes()
                            + rest.tobytes())
                    o.write(chunk(3, body))
                    if k % 10 == 9:
                        text = b"mark %d" % k
                        o.write(chunk(3, struct.pack("<I", 2) + varlen(1) + b"\x08" + struct.pack("<d", t)
                                      + varlen(len(text)) + text))
                    k += 1


if __name__ == "__main__":
    main(*sys.argv[1:])
