"""What the MNE-Python oracle scripts of the reader tests share: each reads the files named on its
command line with its own `read` and writes FILE.mne.json beside each, for the Octave test to compare."""
import json
import sys

import mne


def write_each(read):
    mne.set_log_level("ERROR")
    for path in sys.argv[1:]:
        with open(path + ".mne.json", "w", encoding="utf-8") as f:
            json.dump(read(path), f, ensure_ascii=False)
    print("mne %s read %d files" % (mne.__version__, len(sys.argv) - 1))
