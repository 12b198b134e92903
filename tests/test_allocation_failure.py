"""Memory running out at each of the module's own allocations (new arrays,
scratch, the floats, tuples and names it makes), one at a time, in every
entry point. A build with fault injection (the sanitizer build) exports the
counter that arms it; elsewhere these tests skip.

Each failure raises MemoryError, or, where a step's fast path meets it, the
step gives the law's result by the generic law; nothing crashes, and the
controller steps on afterwards (after a failed __init__, once __init__ has
been repeated)."""

import ctypes
import pickle

import numpy as np
import pytest

import vesk.cython_pid as cp
from conftest import CLASSES, checksums, fields, gains, make, names, same

try:
    COUNTER = ctypes.c_long.in_dll(ctypes.CDLL(cp.__file__), "vesk_fail_allocation_at")
except (OSError, ValueError):
    COUNTER = None

pytestmark = pytest.mark.skipif(COUNTER is None, reason="a build without fault injection")

def stepped(cls, n):
    c = make(cls, n)
    shape = np.shape(fields(c)["kp"])
    for _ in range(3):
        c.compute_control(np.linspace(1.0, 2.0, n).reshape(shape), np.zeros(shape), 0.01)
    return c


def positions(c):
    shape = np.shape(fields(c)["kp"])
    return np.full(shape, 1.5), np.full(shape, 0.5)


def state_of(c):
    f = fields(c)
    return tuple(f[k] for k in sorted(f))


def entries(cls, c):
    """Each entry point's call on controller c, its arguments made beforehand."""
    checksum = checksums(cls)[0]
    reconstruct = getattr(cp, "__pyx_unpickle_" + cls.__name__)
    r, y = positions(c)
    strided = np.repeat(r, 2, axis=-1)[..., ::2]  # the generic law's: not contiguous
    new_gains, state = gains(cls, r.size), state_of(c)
    return {
        "compute_control": lambda: c.compute_control(r, y, 0.01),
        "compute_control dt 0": lambda: c.compute_control(r, y, 0.0),
        "compute_control generic": lambda: c.compute_control(strided, y, 0.01),
        "__init__": lambda: c.__init__(*new_gains),
        "__reduce_cython__": lambda: c.__reduce_cython__(),
        "__setstate_cython__": lambda: c.__setstate_cython__(state),
        "reconstructor": lambda: reconstruct(cls, checksum, state),
        "reconstructor bad checksum": lambda: reconstruct(cls, 1, state),
    }


ENTRIES = ["compute_control", "compute_control dt 0", "compute_control generic", "__init__", "__reduce_cython__", "__setstate_cython__",
           "reconstructor", "reconstructor bad checksum"]


@pytest.mark.parametrize("n", [6, 5000])
@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_each_allocation_that_fails_raises_memory_error_and_breaks_nothing(cls, entry, n):
    failures = reached_any = 0
    for k in range(1, 200):
        c = stepped(cls, n)
        expected = entries(cls, pickle.loads(pickle.dumps(c)))[entry]() if entry.startswith("compute") else None
        call = entries(cls, c)[entry]
        COUNTER.value = k
        try:
            result = call()
        except MemoryError:
            failures += 1
            result = MemoryError
        except Exception as exc:  # the bad checksum's own error
            assert entry == "reconstructor bad checksum", exc
            result = exc
        finally:
            reached = COUNTER.value == 0
            COUNTER.value = 0
        if expected is not None and result is not MemoryError:
            assert same(result, expected)
        if entry == "__init__" and result is MemoryError:
            call()  # a failed __init__ is repeated before the next step
        c.compute_control(*positions(c), 0.01)  # and the controller steps on
        reached_any |= reached
        if not reached:
            break  # the call made fewer than k allocations: every one has failed once
    else:
        pytest.fail("the sweep did not end")
    # The switch reaches every entry point that allocates anything of its own
    # (a fused step's failures go to the generic law, which gives the result).
    allocates = entry.startswith("compute") or entry in ("__reduce_cython__", "reconstructor bad checksum") or (
        entry == "__init__" and "error_history" in names(cls))  # the adaptive law copies the gains
    assert bool(reached_any) == allocates
    assert bool(failures) == (allocates and entry not in ("compute_control", "compute_control dt 0"))
