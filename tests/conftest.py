import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vesk.cython_pid as cp


@pytest.fixture
def mod():
    """The extension module. Its namespace, order included, is restored after
    a test rebinds or deletes names such as `np` or a reconstructor."""
    saved = dict(vars(cp))
    yield cp
    ns = vars(cp)
    ns.clear()
    ns.update(saved)


def f64(*values):
    """A 1-D float64 array."""
    return np.array(values, dtype=np.float64)


def run_python(code, *, check=True):
    """Runs `code` in a fresh interpreter (the one running the tests)."""
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=600
    )
    if check and proc.returncode != 0:
        raise AssertionError(f"child failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc
