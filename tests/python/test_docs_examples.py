"""The Python examples of the README and docs/*.md, run as written against the installed package, in a
folder holding the recordings they name (tests/docs/run_examples.py writes them and runs the Octave
examples in CTest)."""
import os
import sys

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(ROOT, "tests", "docs"))
import run_examples  # noqa: E402


def test_python_examples_run_as_written(tmp_path):
    blocks = [b for bs in run_examples.collect(ROOT).values() for b in bs if b.lang == "python" and not b.skip]
    assert len(blocks) >= 4, "the extraction found too few Python examples"
    run_examples.write_recordings(str(tmp_path))
    failures = run_examples.run_python(blocks, sys.executable, str(tmp_path))
    if failures:
        pytest.fail("examples that do not run as written:\n" + "\n".join(failures))
