"""Leaks: every operation, succeeding and in each failure mode, repeated after a
warm-up, leaves the reference counts of its arguments and the interpreter's
allocated memory where they were."""

import gc
import pickle
import re
import sys
import sysconfig
import tracemalloc
import warnings

import numpy as np
import pytest

import vesk.cython_pid as cp
from conftest import checksums, f64, names

PID, XD, AD = cp.PIDController, cp.PIDControllerXd, cp.AdaptiveController
UNPICKLE = cp.__pyx_unpickle_PIDController
CHECKSUM, OTHER_CHECKSUM, _ = checksums(PID)  # two the reconstructor accepts
FOREIGN = checksums(AD)[0]  # one it refuses
ROUNDS = 600
MISSING = object()


class Boom(Exception):
    pass


class Odd:
    """Conversions that fail or return odd types."""

    def __init__(self, result):
        self.result = result

    def __float__(self):
        if self.result is Boom:
            raise Boom
        return self.result

    __int__ = __float__


def boom(*args, **kwargs):
    raise Boom


class IntSub(int):
    pass


class NoBuffer(np.ndarray):
    def __buffer__(self, flags):
        raise Boom


class Key(str):
    def __hash__(self):
        return hash(str(self)) ^ 1

    def __eq__(self, other):
        raise Boom


class Sub(PID):
    pass


def fake_np(**attrs):
    """A stand-in for the module's `np`; its functions are plain class attributes."""
    return type("FakeNumpy", (), {"zeros_like": np.zeros_like, "float64": np.float64, **attrs})


a, b, c = f64(1.0, 2.0, 3.0), f64(0.5, 0.25, 0.125), f64(0.1, 0.2, 0.3)
m = np.ones((2, 3))
dt = float("0.1")  # a float object of its own, so its count means something
pid, xd, ad = PID(a, b, c), XD(m, m, m), AD(a, b, c)
one = PID(f64(1.0), f64(1.0), f64(1.0))
bad_ad = AD(a, f64(1.0, 2.0), c)
state = PID(a, b, c).__reduce__()[2]  # the gains themselves and new zero arrays
sub = Sub.__new__(Sub)
# array, ndim, expected exception and message
odd_arrays = {
    "f32": (np.ones(3, np.float32), 0, ValueError, "but got 'float'"),
    "2-D": (m, 1, ValueError, "wrong number of dimensions (expected 1, got 2)"),
    "1-D": (a, 2, ValueError, "wrong number of dimensions (expected 2, got 1)"),
    "swapped": (a.astype(">f8"), 0, ValueError, "Big-endian"),
    "two fields": (np.zeros(3, [("x", "f8"), ("y", "f8")]), 0, ValueError, "expected end but got 'double'"),
    "no buffer": (a.view(NoBuffer), 0, Boom, ""),
}

# (id, callable, objects whose counts are watched, expected exception, part of its message)
CASES = [
    # success
    ("init", lambda: PID(a, b, c), [a, b, c], None, ""),
    ("init keywords", lambda: PID(a, b, kd=c), [a, b, c], None, ""),
    ("init 2-D", lambda: XD(m, m, m), [m], None, ""),
    ("init adaptive", lambda: AD(a, b, c, dt, max_adjustment=dt), [a, b, c, dt], None, ""),
    ("reinit", lambda: pid.__init__(a, b, c), [a, b, c], None, ""),
    ("step", lambda: pid.compute_control(a, b, dt), [a, b, dt, pid], None, ""),
    ("step keywords", lambda: pid.compute_control(a, current_position=b, dt=dt), [a, b, dt], None, ""),
    ("step dt 0", lambda: pid.compute_control(a, b, 0.0), [a, b], None, ""),
    ("step 2-D", lambda: xd.compute_control(m, m, dt), [m], None, ""),
    ("step adaptive", lambda: ad.compute_control(a, b, dt), [a, b, dt], None, ""),
    ("step adaptive dt 0", lambda: ad.compute_control(a, b, -1.0), [a, b], None, ""),
    ("new", lambda: AD.__new__(AD, 1, x=2), [AD], None, ""),
    ("reduce", lambda: pid.__reduce__(), [pid], None, ""),
    ("reduce empty", lambda: PID.__new__(PID).__reduce_cython__(), [], None, ""),
    ("setstate", lambda: PID.__new__(PID).__setstate__(state), [state, *state], None, ""),
    ("setstate dict", lambda: sub.__setstate__((*state, {"x": 1})), [*state], None, ""),
    ("unpickle", lambda: UNPICKLE(PID, CHECKSUM, state), [PID, state, *state], None, ""),
    ("unpickle subclass", lambda: UNPICKLE(Sub, OTHER_CHECKSUM, None), [Sub], None, ""),
    ("pickle round trip", lambda: pickle.loads(pickle.dumps(ad)), [ad], None, ""),
    # binding
    ("init count", lambda: PID(a, b), [a, b], TypeError, "takes exactly 3 positional arguments (2 given)"),
    ("init too many", lambda: AD(a, b, c, dt, dt, dt), [a, dt], TypeError, "at most 5"),
    ("init multiple", lambda: PID(a, b, c, kp=a), [a, b, c], TypeError, "multiple values"),
    ("init unexpected", lambda: AD(a, b, c, bogus=dt), [a, dt], TypeError, "unexpected keyword argument 'bogus'"),
    ("init missing", lambda: AD(a, b, max_adjustment=dt), [a, dt], TypeError, "at least 3"),
    ("init non-string keyword", lambda: PID(a, b, c, **{1: a}), [a], TypeError, "keywords must be strings"),
    ("init raising key", lambda: PID(a, b, **{Key("kd"): c}), [a, c], None, ""),  # matched by text, __eq__ not run
    ("step count", lambda: pid.compute_control(a, b), [a, b], TypeError, "exactly 3"),
    ("step unexpected", lambda: pid.compute_control(a, b, dt, x=a), [a, dt], TypeError, "unexpected"),
    ("step multiple", lambda: pid.compute_control(a, b, target_position=a), [a], TypeError, "multiple"),
    ("step missing", lambda: pid.compute_control(a, dt=dt), [a, dt], TypeError, "(1 given)"),
    ("step raising key", lambda: pid.compute_control(a, b, **{Key("dt"): dt}), [a, dt], None, ""),
    ("unbound no self", lambda: PID.compute_control(), [], TypeError, "needs an argument"),
    ("unbound wrong self", lambda: PID.compute_control(xd, a, b, dt), [xd, a], TypeError, ""),
    ("reduce argument", lambda: pid.__reduce__(a), [a], TypeError, "exactly 0"),
    ("reduce keyword", lambda: pid.__reduce__(x=a), [a], TypeError, "unexpected keyword argument 'x'"),
    ("setstate count", lambda: pid.__setstate__(), [], TypeError, "exactly 1"),
    ("unpickle count", lambda: UNPICKLE(PID, CHECKSUM), [PID], TypeError, "exactly 3"),
    # conversions
    ("dt string", lambda: pid.compute_control(a, b, "x"), [a, b], TypeError, "must be real number"),
    ("dt raising", lambda: pid.compute_control(a, b, Odd(Boom)), [a, b], Boom, ""),
    ("dt non-float", lambda: pid.compute_control(a, b, Odd("x")), [a, b], TypeError, "non-float"),
    ("learning rate", lambda: AD(a, b, c, "x"), [a], TypeError, ""),
    ("max adjustment", lambda: AD(a, b, c, dt, Odd(Boom)), [a, dt], Boom, ""),
    ("checksum string", lambda: UNPICKLE(PID, "x", state), [PID, state], TypeError, "an integer is required"),
    ("checksum non-int", lambda: UNPICKLE(PID, Odd("x"), state), [state], TypeError, "returned non-int"),
    ("checksum raising", lambda: UNPICKLE(PID, Odd(Boom), state), [state], Boom, ""),
    ("checksum int subclass", lambda: UNPICKLE(PID, Odd(IntSub(CHECKSUM)), state), [state],
     DeprecationWarning, "strict subclass"),
    ("checksum overflow", lambda: UNPICKLE(PID, 2**200, state), [state], OverflowError, ""),
    # type tests
    ("init list", lambda: PID(a, [1.0], c), [a, c], TypeError, "Argument 'ki' has incorrect type"),
    ("step list", lambda: pid.compute_control(a, [1.0], dt), [a, dt], TypeError, "incorrect type"),
    ("setstate list", lambda: pid.__setstate__(list(state)), [*state], TypeError, "Expected tuple, got list"),
    ("setstate tuple subclass", lambda: pid.__setstate__(type("T", (tuple,), {})(state)), [*state],
     TypeError, "Expected tuple"),
    # buffer validation (earlier arguments were held and must be released)
    *[(f"init {k}", lambda v=v: PID(a, b, v), [a, b, v], e, msg) for k, (v, nd, e, msg) in odd_arrays.items() if nd != 2],
    *[(f"init Xd {k}", lambda v=v: XD(m, v, m), [m, v], e, msg) for k, (v, nd, e, msg) in odd_arrays.items() if nd == 2 or e is Boom],
    ("step f32", lambda: ad.compute_control(a, odd_arrays["f32"][0], dt), [a], ValueError, "'float'"),
    # NumPy arithmetic and working values
    ("step broadcast", lambda: pid.compute_control(f64(1, 2), f64(1, 2), dt), [pid], ValueError, "broadcast"),
    ("step None", lambda: pid.compute_control(None, b, dt), [b], TypeError, "unsupported operand"),
    ("step in-place add", lambda: one.compute_control(a, b, dt), [a, b], ValueError, "non-broadcastable"),
    ("step on new", lambda: PID.__new__(PID).compute_control(a, b, dt), [a, b], TypeError, ""),
    ("adaptive history", lambda: ad.compute_control(f64(1, 2), f64(1, 2), dt), [ad], ValueError, ""),
    ("adaptive late failure", lambda: bad_ad.compute_control(a, b, dt), [a, b], ValueError, "broadcast"),
    ("adaptive None gain", lambda: AD(None, b, c), [b, c], AttributeError, "copy"),
    ("np missing", lambda: PID(a, b, c), [a, b, c], NameError, "name 'np' is not defined", MISSING),
    ("working value type", lambda: pid.compute_control(a, b, 0.0), [a, b], TypeError,
     "Cannot convert list to numpy.ndarray", fake_np(zeros_like=lambda *x: [0.0])),
    ("working value buffer", lambda: pid.compute_control(a, b, 0.0), [a, b], ValueError,
     "dtype mismatch", fake_np(zeros_like=lambda *x: np.zeros(3, np.float32))),
    ("zeros_like raising", lambda: PID(a, b, c), [a, b, c], Boom, "", fake_np(zeros_like=boom)),
    # pickling
    ("setstate None", lambda: pid.__setstate__(None), [], TypeError, "not subscriptable"),
    ("setstate short", lambda: PID.__new__(PID).__setstate__(state[:3]), [*state], IndexError, ""),
    ("setstate extra refused", lambda: sub.__setstate__((*state, 5)), [*state], TypeError, ""),
    ("unpickle checksum", lambda: UNPICKLE(PID, FOREIGN, state), [PID, state], pickle.PickleError,
     f"Incompatible checksums ({FOREIGN:#x} vs"),
    ("unpickle type", lambda: UNPICKLE(XD, CHECKSUM, state), [XD, state], TypeError, ""),
    ("unpickle state type", lambda: UNPICKLE(PID, CHECKSUM, [1]), [PID], TypeError, "Expected tuple, got list"),
    ("unpickle short state", lambda: UNPICKLE(Sub, CHECKSUM, state[:2]), [Sub, *state], IndexError, ""),
]


# The interpreter counts its allocated blocks only with its own allocator.
# Under the sanitizer build (PYTHONMALLOC=malloc) sys.getallocatedblocks() is
# always 0; there the bytes that tracemalloc traces stand in for blocks
# (NumPy traces its array data too). Free lists and caches fill up for longer
# in bytes than in blocks, so that measure warms up longer.
# A free-threaded interpreter's count is not exact either (its allocator's
# heaps free blocks of other threads late: one object kept per call was seen
# as -86 blocks), so there too bytes count.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
COUNTS_BLOCKS = sys.getallocatedblocks() > 0 and not FREE_THREADED
# There, too, memory that a collection frees (instance dicts, a class's
# caches) is given back only at a later quiescent point, so the bytes of a
# case that makes dicts or classes in cycles wander by megabytes.
LATE_FREES_REASON = "the free-threaded interpreter frees dicts of collected cycles late"
LATE_FREES = pytest.mark.skipif(FREE_THREADED, reason=LATE_FREES_REASON)
MAKES_CLASSES = {"setstate tuple subclass"}
WARMUP = 100 if COUNTS_BLOCKS else 1500


@pytest.fixture(autouse=True, scope="module")
def traced_memory():
    if COUNTS_BLOCKS or tracemalloc.is_tracing():
        yield
        return
    tracemalloc.start()
    try:
        yield
    finally:
        tracemalloc.stop()


def allocated():
    """Allocated blocks, or traced bytes where blocks are not counted."""
    return sys.getallocatedblocks() if COUNTS_BLOCKS else tracemalloc.get_traced_memory()[0]


# A leak adds at least one block, or 16 bytes (the smallest object), per call.
LEAK_PER_CALL = 1 if COUNTS_BLOCKS else 16


def leaks(growth, calls):
    """Whether every batch grew as a leak would. Caches and free lists make the
    measure wander by a few dozen blocks, or by a few kilobytes (NumPy's own
    pickling does), so blocks must grow by a quarter per call and bytes by a
    whole object."""
    return min(growth) >= calls * LEAK_PER_CALL // (4 if COUNTS_BLOCKS else 1)


def block_growth(fn, rounds):
    """Blocks gained over `rounds` calls of fn. Objects older than the call are
    frozen, which keeps the collections short."""
    gc.collect()
    gc.freeze()
    try:
        blocks = allocated()
        for _ in range(rounds):
            fn()
        gc.collect()
        return allocated() - blocks
    finally:
        gc.unfreeze()


def test_the_measure_sees_one_small_object_kept_per_call():
    kept = []
    growth = [block_growth(lambda: kept.append(float(len(kept)) + 0.5), ROUNDS) for _ in range(3)]
    assert leaks(growth, ROUNDS), growth


# What every call may touch besides its arguments: the classes, the float64
# dtype its results carry, and the module's own functions and names.
ALWAYS_WATCHED = [PID, XD, AD, np.dtype(np.float64), np.float64, *(
    v for k, v in vars(cp).items() if k.startswith("__pyx_unpickle") or k in ("np", "__test__"))]


def run_flat(fn, watched, exc, match="", warmup=WARMUP):
    """Calls fn in a warm-up, then in three measured batches of ROUNDS calls.

    The counts of `watched` must not move, and memory must not grow as a
    leak would (see leaks())."""
    if exc is not None:
        with pytest.raises(exc, match=re.escape(match) if match else None):
            fn()

    def once():
        try:
            fn()
        except exc or ():
            pass

    for _ in range(warmup):
        once()
    gc.collect()
    watched = [*watched, *ALWAYS_WATCHED]
    counts = [sys.getrefcount(o) for o in watched]
    growth = [block_growth(once, ROUNDS) for _ in range(3)]
    assert [sys.getrefcount(o) for o in watched] == counts
    assert not leaks(growth, ROUNDS), growth


@pytest.mark.parametrize("case", CASES, ids=[case[0] for case in CASES])
def test_operation_leaves_no_references_or_blocks_behind(case, mod):
    name, fn, watched, exc, match, *np_value = case
    if FREE_THREADED and name in MAKES_CLASSES:
        pytest.skip(LATE_FREES_REASON)
    if np_value:
        if np_value[0] is MISSING:
            del mod.np
        else:
            mod.np = np_value[0]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        run_flat(fn, watched, exc, match)


def test_reduce_without_reconstructor(mod, monkeypatch):
    monkeypatch.delattr(mod, "__pyx_unpickle_PIDController")
    run_flat(pid.__reduce__, [pid], NameError, "__pyx_unpickle_PIDController")


# The adaptive step costs five times as much (np.roll, np.mean, np.clip).
@pytest.mark.parametrize("cls, args, steps", [(PID, (a, b, c), 100_000), (XD, (m, m, m), 100_000),
                                              (AD, (a, b, c), 20_000)])
def test_many_steps_keep_gains_and_blocks_flat(cls, args, steps):
    ctl = cls(*args)
    r, y = args[0] + 1.0, args[0] * 0.5
    fields = ctl.__reduce__()[2]  # the controller's own gain and state objects
    gains = [fields[i] for i in ((1, 2, 3) if cls is not AD else (2, 3, 4))]
    for i in range(1000):
        ctl.compute_control(r, y, 0.01 if i % 2 else 0.0)
    gc.collect()
    counts = [sys.getrefcount(o) for o in (*gains, *args, r, y)]
    dts = iter(range(steps))
    growth = block_growth(lambda: ctl.compute_control(r, y, 0.01 if next(dts) % 2 else 0.0), steps)
    assert [sys.getrefcount(o) for o in (*gains, *args, r, y)] == counts
    assert growth < 1000 * LEAK_PER_CALL


@LATE_FREES
def test_a_million_controllers_leave_no_blocks():
    class Subclassed(AD):
        pass

    z = f64(0.0)
    rest = (None,) * (len(names(PID)) - 3)

    def four():
        PID.__new__(PID)
        Subclassed.__new__(Subclassed).x = z
        cyclic = PID.__new__(PID)  # a cycle through a field
        cyclic.__setstate__((cyclic, z, z, *rest))
        sub = Subclassed.__new__(Subclassed)  # a cycle through the instance dict
        sub.me = sub

    def chain():  # 100,000 controllers linked through a field, dropped at once
        head = None
        for _ in range(100_000):
            head, old = PID.__new__(PID), head
            head.__setstate__((old, z, z, *rest))

    counts = [sys.getrefcount(o) for o in (z, PID, AD, Subclassed)]
    growth = block_growth(four, 225_000) + block_growth(chain, 1)
    growth += block_growth(lambda: (PID(z, z, z), AD(z, z, z)), 1000)
    assert [sys.getrefcount(o) for o in (z, PID, AD, Subclassed)] == counts
    assert growth < 1000 * LEAK_PER_CALL
