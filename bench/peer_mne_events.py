"""MNE-Python side of the recording-reader benchmark (scripts/bench_live.sh): the events of a file as
MNE users read them. The import of mne is outside the times; each round reads the file anew (warm
cache: one untimed read first).

peer_mne_events.py annotations FILE ROUNDS   mne.read_annotations(FILE) (.vmrk: the sampling rate
    from the .vhdr beside it; .edf: the EDF+ time-stamped lists)
peer_mne_events.py header FILE ROUNDS        mne.io.read_raw_edf(FILE, preload=False): the header only
Prints "median_s=... rounds=... events=...".
"""
import statistics
import sys
import time

import mne


def main():
    kind, path, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
    mne.set_log_level("ERROR")
    if kind == "annotations":
        def read():
            return len(mne.read_annotations(path))
    elif kind == "header":
        def read():
            return len(mne.io.read_raw_edf(path, preload=False).annotations)
    else:
        sys.exit("usage: see the docstring of bench/peer_mne_events.py")
    n = read()
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        n = read()
        times.append(time.perf_counter() - t0)
    print("median_s=%.6f rounds=%d events=%d" % (statistics.median(times), rounds, n))


if __name__ == "__main__":
    main()
