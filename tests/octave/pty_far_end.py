#!/usr/bin/python3
"""The far end of a pseudo-terminal, standing in for a USB trigger box in the Octave tests.

    pty_far_end.py LINK OUT [SECONDS [HOLD]]

Opens a pty pair, points the symlink LINK at its device, and appends every byte that arrives to
OUT as "<monotonic ns> <byte>" lines, until SECONDS (default 60) have passed or LINK is removed.
While the file HOLD exists nothing is read, as by a box that takes no data: the pty's buffer fills.
"""
import os
import select
import sys
import time

link, out = sys.argv[1], sys.argv[2]
seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 60.0
hold = sys.argv[4] if len(sys.argv) > 4 else None
master, slave = os.openpty()
staged = link + ".new"
if os.path.lexists(staged):
    os.remove(staged)
os.symlink(os.ttyname(slave), staged)
os.rename(staged, link)
end = time.monotonic() + seconds
with open(out, "a") as f:
    while time.monotonic() < end and os.path.lexists(link):
        if hold and os.path.exists(hold):
            time.sleep(0.01)
            continue
        ready, _, _ = select.select([master], [], [], 0.05)
        if not ready:
            continue
        data = os.read(master, 4096)
        now = time.monotonic_ns()
        f.write("".join("%d %d\n" % (now, b) for b in data))
        f.flush()
