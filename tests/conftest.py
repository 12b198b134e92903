import hashlib
import subprocess
import sys
import textwrap
import traceback

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


DECLARED_FIELDS = {  # the order of the fields in each class's objects
    cp.PIDController: ("kp", "ki", "kd", "integral", "previous_error"),
    cp.PIDControllerXd: ("kp", "ki", "kd", "integral", "previous_error"),
    cp.AdaptiveController: ("kp", "ki", "kd", "integral", "previous_error",
                            "error_history", "max_adjustment", "learning_rate"),
}


def checksums(cls):
    """The stored format's checksums of a class, from its field names: the
    names in alphabetical order joined by spaces, hashed with SHA-256, SHA-1
    and MD5, the first seven hex digits of each."""
    text = " ".join(sorted(DECLARED_FIELDS[cls])).encode()
    return tuple(int(hashlib.new(h, text).hexdigest()[:7], 16) for h in ("sha256", "sha1", "md5"))


def fields(c):
    """A controller's fields by name, read through its pickled state (which
    holds the field objects themselves, in alphabetical order)."""
    base = next(b for b in type(c).__mro__ if b in DECLARED_FIELDS)
    r = c.__reduce__()
    return dict(zip(sorted(DECLARED_FIELDS[base]), r[2] if len(r) == 3 else r[1][2]))


def entries(exc):
    """The module's traceback entries of an exception (or pytest ExceptionInfo), outermost first."""
    if not isinstance(exc, BaseException):
        exc = exc.value
    return [f.f_code.co_name for f, _ in traceback.walk_tb(exc.__traceback__) if f.f_code.co_name.startswith("vesk.")]


def same(a, b):
    """Bitwise equality: arrays by type, dtype, shape and bytes; numbers by type and bits."""
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return type(a) is type(b) and (a.dtype, a.shape, a.tobytes()) == (b.dtype, b.shape, b.tobytes())
    return type(a) is type(b) and np.float64(a).tobytes() == np.float64(b).tobytes()
