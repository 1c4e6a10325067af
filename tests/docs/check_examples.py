#!/usr/bin/env python3
"""The examples a user copies run on a fresh machine in MATLAB and in GNU Octave alike.

Checked: the ```matlab blocks of README.md and docs/*.md, and the Examples section of every help
text in m/ (from its "Examples" line to "See also"). Each code line, its trailing % comment
dropped, must hold none of the Octave-only forms below and call no function that core Octave
lacks (the signal package is not installed by scripts/deps.sh; MATLAB needs a toolbox for them).
The rest of a help text mixes prose with code (the online idioms), so there only the forms that
prose never holds count: the package functions, the call indexed at once, the block keywords.

Also checked: every link to a heading of a page (page.md#anchor, #anchor) finds that heading.

usage: check_examples.py SOURCE_DIR
"""
import glob
import os
import re
import sys

OCTAVE_ONLY = [
    (re.compile(r'#'), '"#" comment', False),
    (re.compile(r'!='), '"!=" (MATLAB: ~=)', True),
    (re.compile(r'\+\+|--(?=\s*[;,)]|$)'), 'increment or decrement operator', False),
    (re.compile(r'[-+*/]='), 'compound assignment', False),
    (re.compile(r'\b(endfunction|endif|endwhile|endfor|endswitch|end_try_catch|'
                r'unwind_protect|end_unwind_protect)\b'), 'Octave block keyword', True),
    (re.compile(r'"'), 'double-quoted string (a string object in MATLAB)', False),
    (re.compile(r'(?<![\w.])(printf|puts|fputs|fdisp|rows|columns)\s*\('), 'Octave-only function', False),
    # The result of a call indexed at once, such as dir(f).bytes or size(x)(1). Only names that
    # are functions in every example are listed, so a struct array variable (ev(1).type) passes.
    (re.compile(r'(?<![\w.])(dir|size|numel|zeros|ones|struct|fileparts|fileread|find|eegfetch|'
                r'eegmex_\w+)\s*(\((?:[^()]|\([^()]*\))*\))\s*(?:\.[A-Za-z_]|[({])'), 'indexing the result of a call', True),
]
PACKAGE_FUNCTIONS = re.compile(
    r'(?<![\w.])(butter|cheby1|cheby2|ellip|besself|filtfilt|fir1|fir2|firls|remez|resample|decimate|'
    r'designfilt|lowpass|highpass|bandpass|bandstop|pwelch|hilbert)\s*\(')

# Lines whose text is outside this check's reach for now, by file and a piece of the line. An
# entry stops mattering when its line changes.
KNOWN = []


def code_part(line):
    """The line without its trailing % comment and with the text of its char arrays blanked, so
    that a '#' or a '"' inside 'quotes' does not count."""
    out = []
    quoted = False
    for i, c in enumerate(line):
        if c == "'":
            # a quote after a name, a closing bracket or another quote is a transpose
            if not quoted and i > 0 and (line[i - 1].isalnum() or line[i - 1] in ")]}_.'"):
                out.append(c)
                continue
            quoted = not quoted
            out.append(c)
        elif quoted:
            out.append(' ')
        elif c == '%':
            break
        else:
            out.append(c)
    return ''.join(out)


def markdown_examples(path):
    text = open(path, encoding='utf-8').read()
    for m in re.finditer(r'^```matlab\n(.*?)^```', text, re.S | re.M):
        first = text.count('\n', 0, m.start(1)) + 1
        for k, line in enumerate(m.group(1).split('\n')):
            yield first + k, line


def markdown_lines(path):
    for n, line in markdown_examples(path):
        yield n, line, True


def help_lines(path):
    """Every line of the help text, and whether it lies in the Examples section."""
    lines = open(path, encoding='utf-8').read().split('\n')
    inside = False
    for n, line in enumerate(lines, 1):
        if not line.startswith('%'):
            if n > 1:
                break
            continue
        body = line[1:]
        if re.match(r'\s*Examples?\s*$', body):
            inside = True
            continue
        if re.match(r'\s*See also', body):
            inside = False
        yield n, body, inside


def problems(line, example):
    code = code_part(line)
    found = [what for pattern, what, always in OCTAVE_ONLY if (example or always) and pattern.search(code)]
    m = PACKAGE_FUNCTIONS.search(code)
    if m:
        found.append(m.group(1) + ' (not in core Octave: the signal package)')
    return found


def slug(heading):
    """The anchor a heading gets on the code host: lower case, punctuation dropped, blanks as hyphens."""
    h = re.sub(r'[`*]', '', heading.strip().lower())
    h = re.sub(r'[^\w\- ]', '', h)
    return h.replace(' ', '-')


def dead_links(src, files):
    """Links to a page's heading (page.md#anchor, #anchor) whose heading is not there."""
    anchors = {}
    for rel in files:
        text = open(os.path.join(src, rel), encoding='utf-8').read()
        text = re.sub(r'^```.*?^```', '', text, flags=re.S | re.M)
        anchors[os.path.normpath(rel)] = {slug(m) for m in re.findall(r'^#+\s+(.*)$', text, re.M)}
    found = []
    for rel in files:
        for n, line in enumerate(open(os.path.join(src, rel), encoding='utf-8'), 1):
            for target, anchor in re.findall(r'\]\(([^)#\s]*)#([^)\s]+)\)', line):
                page = os.path.normpath(os.path.join(os.path.dirname(rel), target)) if target else os.path.normpath(rel)
                if page in anchors and anchor not in anchors[page]:
                    found.append('%s:%d: a link to %s#%s, which has no such heading' % (rel, n, target or rel, anchor))
    return found


def main():
    src = sys.argv[1]
    files = ['README.md'] + sorted(os.path.relpath(p, src) for p in glob.glob(os.path.join(src, 'docs', '*.md')))
    helps = sorted(os.path.relpath(p, src) for p in glob.glob(os.path.join(src, 'm', '*.m')))
    failures = []
    checked = 0
    for rel, reader in [(f, markdown_lines) for f in files] + [(f, help_lines) for f in helps]:
        for n, line, example in reader(os.path.join(src, rel)):
            checked += example
            if any(rel == f and piece in line for f, piece in KNOWN):
                continue
            for what in problems(line, example):
                failures.append('%s:%d: %s: %s' % (rel, n, what, line.strip()))
    failures += dead_links(src, files)
    if checked < 50:
        failures.append('only %d example lines found: the extraction is broken' % checked)
    if failures:
        print('examples that would not run on a fresh machine or in MATLAB, or links to no heading:')
        print('\n'.join('  ' + f for f in failures))
        return 1
    print('check_examples: %d example lines in %d files, all portable' % (checked, len(files) + len(helps)))
    return 0


if __name__ == '__main__':
    sys.exit(main())
