import dataclasses
import gc
import hashlib
import subprocess
import sys
import textwrap
import traceback

import numpy as np
import pytest

import vesk.cython_pid as cp
from vesk import pid_tools


@pytest.fixture(scope="module", autouse=True)
def _frozen_heap():
    """What earlier modules left alive (NumPy, dask, matplotlib, ...) is moved
    out of the collector's sight for the module's duration: the tests that
    collect at every call, or at nearly every allocation, then scan only what
    the module made instead of the whole heap."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


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


# The registry of controller classes, read from the module: the classes (every
# type with a compute_control, in the module's order), their dimension, their
# fields in declared order (the order gc.get_referents lists them in) and the
# stored format's checksums. Tests take class facts from here.
CLASSES = tuple(v for v in vars(cp).values() if isinstance(v, type) and hasattr(v, "compute_control"))


def base(cls):
    """The module's class that `cls` is or derives from."""
    return next(b for b in cls.__mro__ if b in CLASSES)


def _ndim(cls):
    try:
        cls(*(np.zeros(1) for _ in range(3)))
    except ValueError:  # the buffer has the wrong number of dimensions
        return 2
    return 1


NDIM = {cls: _ndim(cls) for cls in CLASSES}


def shape_of(cls, n):
    """A shape of n elements for the class: (n,), or two rows of n // 2 for a 2-D class."""
    return (n,) if NDIM[base(cls)] == 1 else (2, n // 2)


def gains(cls, n, values=(2.0, 3.0, 4.0)):
    return [np.full(shape_of(cls, n), v) for v in values]


def make(cls, n, *args, **kwargs):
    """A controller of `cls` with n elements, its gains 2, 3 and 4, then the other arguments."""
    return cls(*gains(cls, n), *args, **kwargs)


def _declared(cls):
    c = make(cls, 2)
    s = pid_tools.state(c)  # the field objects by name
    named = {id(getattr(s, f.name)): f.name for f in dataclasses.fields(s)}
    order = tuple(named[id(o)] for o in gc.get_referents(c))
    assert sorted(order) == sorted(named.values()), (cls, order)
    return order


FIELDS = {cls: _declared(cls) for cls in CLASSES}  # declared order


def names(cls):
    """The field names in the order of the pickled state (alphabetical)."""
    return tuple(sorted(FIELDS[base(cls)]))


def checksums(cls):
    """The stored format's checksums of a class, from its field names: the
    names in alphabetical order joined by spaces, hashed with SHA-256, SHA-1
    and MD5, the first seven hex digits of each. The first is the one
    pickling writes."""
    text = " ".join(names(cls)).encode()
    sums = tuple(int(hashlib.new(h, text).hexdigest()[:7], 16) for h in ("sha256", "sha1", "md5"))
    written = cls.__new__(cls).__reduce__()[1][1]
    assert written == sums[0], f"{cls.__name__} writes {written:#x}, its field names give {sums}"
    return sums


def fields(c):
    """A controller's fields by name, read through its pickled state (which
    holds the field objects themselves, in alphabetical order)."""
    r = c.__reduce__()
    return dict(zip(names(type(c)), r[2] if len(r) == 3 else r[1][2]))


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
