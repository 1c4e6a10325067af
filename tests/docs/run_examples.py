#!/usr/bin/env python3
"""Runs the examples of the README, docs/*.md and the help texts as written, as a new user would.

The ```matlab blocks of README.md and docs/*.md run in octave-cli, one session per page, block after
block in the page's order (a later block may go on from an earlier one, as a reader does), against the
modules of the build tree; the Examples sections of the help texts (m/*.m) and the loops their text
shows run the same way, one session per help text. The ```python blocks run in a Python that imports
the installed package (tests/python/test_docs_examples.py runs them in the pytest suite, where the
package is installed; this script runs them too when given --python).

Each session runs in a folder that holds the recordings the examples name: rec.eeg (32 int16 channels
at 1000 Hz, little-endian, 20 s) with its BrainVision header rec.vhdr and markers rec.vmrk, rec2.eeg
(the same frames), rec.bdf (BDF: 8 channels at 256 Hz, one at 64 Hz, a Status channel with
trigger codes 1 and 2), and rec.set with rec.fdt (an EEGLAB dataset: 8 of rec.eeg's channels as
float32, 'stim' and 'resp' events). The names the examples leave to the reader are given: `running` and
`recording` (the caller's loop condition: true for three passes), `file`, `fileName` and `name` (the
file rec.eeg), `N`, `nRows`, `nMax`; `plot` keeps what it is given, as a figure does. An example that
shares OPT.data with anything fails (the warning eegfetch:sharedData is made an error).

A block that cannot run here says why on the line before its fence:
    <!-- example not run: a USB trigger box on /dev/ttyACM0 -->
and the help texts' blocks that cannot are listed in HELP_NOT_RUN below, with the reason.

usage: run_examples.py SOURCE_DIR BUILD_DIR [--python PYTHON]
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
NOT_RUN = re.compile(r'<!--\s*example not run:\s*(.+?)\s*-->\s*$')

# Help-text blocks that cannot run here, by file and their first line: why.
HELP_NOT_RUN = {}

# The loops that help texts show outside their Examples sections, by file: their first line, and
# what the text around them takes as given (run before them; it is not part of the example).
PLAIN = ("HDR = struct('fs', 1000, 'nChans', 32, 'BinaryFormat', 1, 'scale', 0.1 * ones(1, 32), 'endian', 'l'); "
         "OPT = struct('chanidx', [1 5], 'fs', 250);")
HELP_BLOCKS = {
    'm/eegfetch.m': [("OPT.data = zeros(N, numel(OPT.chanidx));", PLAIN),
                     ("OPT.data = zeros(nMax, numel(OPT.chanidx));", PLAIN)],
    'm/eegmex_events.m': [("HDR = eegmex_vhdr('rec.vhdr');   chanidx = 1:HDR.nChans;", "")],
}


class Block:
    def __init__(self, where, lang, lines, skip=None):
        self.where, self.lang, self.lines, self.skip = where, lang, lines, skip

    @property
    def code(self):
        return '\n'.join(self.lines)


def markdown_blocks(src, rel):
    lines = open(os.path.join(src, rel), encoding='utf-8').read().split('\n')
    i = 0
    while i < len(lines):
        m = re.match(r'^```(matlab|python)\s*$', lines[i])
        if not m:
            i += 1
            continue
        skip = NOT_RUN.search(lines[i - 1]) if i > 0 else None
        j = i + 1
        while j < len(lines) and not lines[j].startswith('```'):
            j += 1
        yield Block('%s:%d' % (rel, i + 2), m.group(1), lines[i + 1:j], skip and skip.group(1))
        i = j + 1


def help_blocks(src, rel):
    """The Examples section (up to See also), and the listed loops, of one help text."""
    text = open(os.path.join(src, rel), encoding='utf-8').read().split('\n')
    body = []
    for line in text:
        if not line.startswith('%'):
            if body:
                break
            continue
        body.append(line[1:])
    out = []
    for k, line in enumerate(body):
        if re.match(r'\s*Examples?\s*$', line):
            end = next((e for e in range(k + 1, len(body)) if re.match(r'\s*See also', body[e])), len(body))
            lines = body[k + 1:end]
            # the code is indented below the heading; prose after it is not
            first = next((x for x in lines if x.strip()), '')
            indent = len(first) - len(first.lstrip())
            cut = next((e for e, x in enumerate(lines) if x.strip() and len(x) - len(x.lstrip()) < indent),
                       len(lines))
            out.append((k + 1, lines[:cut]))
    given = {}
    for first, prelude in HELP_BLOCKS.get(rel, []):
        k = next((k for k, line in enumerate(body) if line.strip() == first), None)
        if k is None:
            raise SystemExit('%s: the block starting %r is gone: update HELP_BLOCKS' % (rel, first))
        indent = len(body[k]) - len(body[k].lstrip())
        end = k + 1  # to the first blank line or line indented less
        while end < len(body) and body[end].strip() and len(body[end]) - len(body[end].lstrip()) >= indent:
            end += 1
        out.append((k, body[k:end]))
        given[k] = prelude
    for k, lines in sorted(out):
        # the block as a user copies it: the help's indent removed, prose lines after it dropped
        code = [line for line in lines]
        while code and not code[-1].strip():
            code.pop()
        indent = min(len(line) - len(line.lstrip()) for line in code if line.strip())
        code = [line[indent:] for line in code]
        if given.get(k):
            code.insert(0, given[k])
        yield Block('%s:%d' % (rel, k + 2), 'matlab', code, HELP_NOT_RUN.get((rel, code[0].strip())))


def write_recordings(folder):
    """The recordings the examples name."""
    rng = np.random.default_rng(7)
    fs, n, nch = 1000, 20000, 32
    t = np.arange(n) / fs
    x = (300 * np.sin(2 * np.pi * 10 * t)[:, None] * np.linspace(0.5, 1.5, nch)
         + rng.normal(0, 50, (n, nch))).round().astype('<i2')
    x.tofile(os.path.join(folder, 'rec.eeg'))
    shutil.copy(os.path.join(folder, 'rec.eeg'), os.path.join(folder, 'rec2.eeg'))
    labels = ['Fp1', 'Fp2', 'F3', 'F4', 'C3', 'C4', 'P3', 'P4', 'O1', 'O2', 'F7', 'F8', 'T7', 'T8', 'P7', 'P8',
              'Fz', 'Cz', 'Pz', 'Oz', 'FC1', 'FC2', 'CP1', 'CP2', 'FC5', 'FC6', 'CP5', 'CP6', 'TP9', 'TP10',
              'POz', 'FCz']
    with open(os.path.join(folder, 'rec.vhdr'), 'w', encoding='utf-8') as f:
        f.write('Brain Vision Data Exchange Header File Version 1.0\n[Common Infos]\nCodepage=UTF-8\n'
                'DataFile=rec.eeg\nMarkerFile=rec.vmrk\nDataFormat=BINARY\nDataOrientation=MULTIPLEXED\n'
                'NumberOfChannels=%d\nSamplingInterval=1000\n[Binary Infos]\nBinaryFormat=INT_16\n'
                '[Channel Infos]\n' % nch)
        for k, label in enumerate(labels, 1):
            f.write('Ch%d=%s,,0.1,\u00b5V\n' % (k, label))
    with open(os.path.join(folder, 'rec.vmrk'), 'w', encoding='utf-8') as f:
        f.write('Brain Vision Data Exchange Marker File, Version 1.0\n[Common Infos]\nCodepage=UTF-8\n'
                'DataFile=rec.eeg\n[Marker Infos]\nMk1=New Segment,,1,1,0,20240201131415000000\n')
        for k, at in enumerate(range(1000, n - 1000, 700), 2):
            f.write('Mk%d=Stimulus,S  %d,%d,1,0\n' % (k, 1 + k % 2, at))
    sys.path.insert(0, os.path.join(HERE, '..', 'edf'))
    import write_edf
    records, spr = 20, 256
    signals = [write_edf.Signal('EEG%d' % k, spr, rng.integers(-30000, 30000, records * spr)) for k in range(1, 4)]
    signals.append(write_edf.Signal('Resp', 64, rng.integers(-30000, 30000, records * 64)))
    signals += [write_edf.Signal('EEG%d' % k, spr, rng.integers(-30000, 30000, records * spr)) for k in range(4, 9)]
    status, _ = write_edf.status_channel(rng, records * spr, spr, [1, 2] * 20)
    write_edf.write(os.path.join(folder, 'rec.bdf'), signals + [status], '1', records, bdf=True)
    write_eeglab(folder, x[:, :8], labels[:8], fs)


def write_eeglab(folder, x, labels, fs):
    """rec.set with its samples in rec.fdt (float32 frames), an EEGLAB dataset as MAT v5 lays it
    out, with 'stim' and 'resp' events."""
    import scipy.io
    frames, nch = x.shape
    x.astype('<f4').tofile(os.path.join(folder, 'rec.fdt'))
    chanlocs = np.zeros((1, nch), dtype=[('labels', object), ('type', object)])
    for k, label in enumerate(labels):
        chanlocs[0, k] = (label, 'EEG')
    at = list(range(1000, frames - 1000, 700))
    event = np.zeros((1, len(at)), dtype=[('type', object), ('latency', object), ('duration', object)])
    for k, latency in enumerate(at):
        event[0, k] = ('stim' if k % 2 == 0 else 'resp', float(latency), 0.0)
    eeg = {'setname': 'rec', 'filename': 'rec.set', 'filepath': '', 'nbchan': float(nch), 'trials': 1.0,
           'pnts': float(frames), 'srate': float(fs), 'xmin': 0.0, 'xmax': (frames - 1) / fs, 'data': 'rec.fdt',
           'chanlocs': chanlocs, 'event': event, 'ref': 'common', 'saved': 'yes'}
    scipy.io.savemat(os.path.join(folder, 'rec.set'), {'EEG': eeg}, format='5')


OCTAVE_STUBS = {
    'running.m': """function r = running()
% The caller's own loop condition in the examples: true for three passes.
  global EXAMPLE_PASSES
  EXAMPLE_PASSES = EXAMPLE_PASSES + 1;
  r = EXAMPLE_PASSES <= 3;
end
""",
    'recording.m': """function r = recording()
% The caller's own loop condition in the examples: true for three passes.
  r = running();
end
""",
    'plot.m': """function plot(varargin)
% Keeps what it is given, as a figure does (no window here).
  global EXAMPLE_PLOTTED
  EXAMPLE_PLOTTED{end + 1} = varargin;
end
""",
}


def octave_session(pages, build, stubs):
    """An Octave script that runs each page's blocks in order and prints one line per failure."""
    out = ["warning('off', 'Octave:shadowed-function'); addpath('%s'); addpath('%s');" % (build, stubs),
           "warning('error', 'eegfetch:sharedData');",
           "global example_failures__; example_failures__ = 0;"]
    for blocks in pages:
        out += ["clear -v; global example_failures__ EXAMPLE_PASSES EXAMPLE_PLOTTED; EXAMPLE_PLOTTED = {};",
                "file = 'rec.eeg'; fileName = file; name = file; N = 1000; nRows = 5000; nMax = 6000;"]
        for b in blocks:
            out += ["EXAMPLE_PASSES = 0;", "try", b.code, "catch example_error__",
                    "  example_failures__ = example_failures__ + 1;",
                    "  fprintf('%s: %%s\\n', example_error__.message);" % b.where, "end"]
    out.append("exit(min(example_failures__, 1));")
    return '\n'.join(out) + '\n'


PYTHON_PRELUDE = """
class _Running:
    # The caller's own loop condition in the examples: true for three passes.
    def __init__(self):
        self.passes = 0

    def __bool__(self):
        self.passes += 1
        return self.passes <= 3


running = _Running()
"""


def run_python(blocks, python, work):
    """Runs each page's Python blocks in one process of `python`; returns the failures."""
    failures = []
    pages = {}
    for b in blocks:
        pages.setdefault(b.where.split(':')[0], []).append(b)
    for page, bs in pages.items():
        script = [PYTHON_PRELUDE, 'import sys, traceback', 'failed = 0']
        for b in bs:
            script += ['running.passes = 0', 'try:', '    exec(compile(%r, %r, "exec"))' % (b.code, b.where),
                       'except Exception as e:', '    failed += 1',
                       '    print("%s: %%s: %%s" %% (type(e).__name__, e))' % b.where]
        script.append('sys.exit(1 if failed else 0)')
        r = subprocess.run([python, '-c', '\n'.join(script)], cwd=work, capture_output=True, text=True, timeout=300)
        if r.returncode != 0:
            failures += [line for line in r.stdout.splitlines() if line.strip()] or [page + ': ' + r.stderr[-500:]]
    return failures


def collect(src):
    pages = ['README.md'] + sorted(os.path.relpath(p, src) for p in glob.glob(os.path.join(src, 'docs', '*.md')))
    helps = sorted(os.path.relpath(p, src) for p in glob.glob(os.path.join(src, 'm', '*.m')))
    blocks = {}
    for rel in pages:
        blocks[rel] = list(markdown_blocks(src, rel))
    for rel in helps:
        blocks[rel] = list(help_blocks(src, rel))
    return blocks


def main():
    args = sys.argv[1:]
    python = None
    if '--python' in args:
        k = args.index('--python')
        python = args[k + 1]
        del args[k:k + 2]
    src, build = (os.path.abspath(a) for a in args)
    blocks = collect(src)
    work = tempfile.mkdtemp(prefix='eegmex-examples-')
    try:
        write_recordings(work)
        stubs = os.path.join(work, 'stubs')
        os.mkdir(stubs)
        for name, text in OCTAVE_STUBS.items():
            open(os.path.join(stubs, name), 'w').write(text)
        failures, ran, skipped = [], 0, []
        pages = []
        for rel, bs in blocks.items():
            skipped += ['%s (%s)' % (b.where, b.skip) for b in bs if b.skip]
            mine = [b for b in bs if b.lang == 'matlab' and not b.skip]
            if mine:
                pages.append(mine)
                ran += len(mine)
        # One Octave for every page (starting one costs more than the examples): each page starts
        # from nothing but the given names.
        r = subprocess.run(['octave-cli', '-H', '--no-gui', '--no-window-system', '--quiet', '--eval',
                            octave_session(pages, build, stubs)],
                           cwd=work, capture_output=True, text=True, timeout=600,
                           env=dict(os.environ, EEGMEX_BUILD=build))
        if r.returncode != 0:
            found = [line for line in r.stdout.splitlines() if re.match(r'^[\w./-]+:\d+: ', line)]
            failures += found or ['octave ended with %d: %s' % (r.returncode, r.stderr[-800:])]
        py = [b for bs in blocks.values() for b in bs if b.lang == 'python' and not b.skip]
        if python:
            ran += len(py)
            failures += run_python(py, python, work)
        if ran < 20:
            failures.append('only %d examples found: the extraction is broken' % ran)
        if failures:
            print('examples that do not run as written:')
            print('\n'.join('  ' + f for f in failures))
            return 1
        print('run_examples: %d examples ran as written%s; not run: %s' % (
            ran, '' if python else ' (the %d Python ones run in the pytest suite)' % len(py),
            '; '.join(skipped) or 'none'))
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
