"""The fused step against the generic law, bit for bit.

A step whose arrays are all plain (exact C-contiguous native float64
ndarrays of one shape) runs as one native pass; every other step runs the
law as NumPy operations. Each differential test steps two controllers with
the same state through the same random sequence: one gets the plain arrays,
the other a view of the target as an ndarray subclass, which sends every
one of its steps down the generic path through the same NumPy loops. Results,
fields, warnings, errors and np.seterrcall effects must agree exactly, NaN
payloads included.
"""

import pickle
import sys
import threading
import tracemalloc
import types
import warnings
import weakref

import numpy as np
import pytest

import vesk.cython_pid as cp
from conftest import CLASSES, NDIM, fields, names, shape_of

ONE_D = [cls for cls in CLASSES if NDIM[cls] == 1]
LARGE = 20_000  # past the size at which a fused PID step releases the GIL
ADAPTIVE_LARGE = 1 << 18  # the adaptive step keeps the GIL up to here (it rolls its history in place)


class Sub(np.ndarray):
    """A do-nothing subclass: NumPy computes with it as with an ndarray."""


SPECIALS = (np.nan, -np.nan, np.inf, -np.inf, 0.0, -0.0, 1e308, -1e308, 1e-308, 5e-324, -5e-324, 1e154)
DTS = (0.01, 0.01, 0.01, 0.25, 0, 0.0, -0.0, -0.01, np.nan, np.inf, -np.inf, 1, True, np.float64(0.02),
       np.float32(0.5), 1e-300, 1e300, 5e-324)
MODES = ("ignore", "warn", "raise", "call", "print", "log")


def bits(value):
    """Everything that identifies a field or result, NaN payloads included."""
    if isinstance(value, np.ndarray):
        a = np.asarray(value)
        return ("array", a.dtype.str, a.shape, a.strides, a.flags.c_contiguous, a.tobytes())
    if isinstance(value, float):
        return ("float", np.float64(value).tobytes())
    return ("other", type(value).__name__, repr(value))


def random_array(rng, shape, special_rate):
    values = rng.standard_normal(shape) * 10.0 ** rng.integers(-3, 4, size=shape)
    mask = rng.random(shape) < special_rate
    values[mask] = rng.choice(SPECIALS, size=int(mask.sum()))
    return values


def make(cls, shape, rng):
    """A factory of controllers with the same random gains (some of them special values)."""
    gains = [random_array(rng, shape, 0.05) for _ in range(3)]
    if "learning_rate" in names(cls):
        rate = float(rng.choice([0.01, 0.5, 0.0, -0.3, 2.0, 1e300, np.nan, np.inf, -np.inf]))
        bound = float(rng.choice([0.1, 1.0, 0.0, -0.0, -0.5, np.inf, -np.inf, np.nan, 1e-300]))
        return lambda: cls(*gains, learning_rate=rate, max_adjustment=bound)
    return lambda: cls(*gains)  # the gains are shared, which the PID law allows: it never writes them


class Recorder:
    """Collects what NumPy reports under np.errstate(all="call" / "log")."""

    def __init__(self):
        self.events = []

    def __call__(self, kind, flag):
        self.events.append(("call", kind, flag))

    def write(self, message):
        self.events.append(("log", message))


def run_step(controller, target, current, dt, mode, recorder, capfd):
    """One step under `mode`: (result or exception, warnings, recorded events, printed text)."""
    recorder.events.clear()
    capfd.readouterr()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        old_call = np.seterrcall(recorder)
        try:
            with np.errstate(all=mode):
                try:
                    outcome = controller.compute_control(target, current, dt)
                except Exception as exc:  # noqa: BLE001 - compared between the two paths
                    outcome = exc
        finally:
            np.seterrcall(old_call)
    reported = [(w.category, str(w.message)) for w in caught]
    return outcome, reported, list(recorder.events), capfd.readouterr()


def describe(outcome):
    if isinstance(outcome, Exception):
        return ("error", type(outcome), str(outcome))
    return ("result", bits(outcome))


def dtype_links(arrays):
    """Which of the arrays share one dtype object (NumPy gives a result its first operand's)."""
    arrays = [a for a in arrays if isinstance(a, np.ndarray)]
    return [[a.dtype is b.dtype for b in arrays] for a in arrays]


def check_identities(before, after, result):
    """What the law says about which objects the fields are after a step."""
    assert type(result) is np.ndarray
    assert all(result is not v for v in after.values())
    assert after["integral"] is before["integral"]  # updated in place
    for name in ("kp", "ki", "kd"):
        assert after[name] is before[name]  # never replaced (the adaptive kp is adapted in place)
    assert after["previous_error"] is not before["previous_error"]
    assert type(after["previous_error"]) is np.ndarray
    if "error_history" in before:
        assert after["error_history"] is not before["error_history"]
        assert type(after["error_history"]) is np.ndarray


SHAPES = {1: [(1,), (2,), (6,), (9,), (33,)], 2: [(1, 1), (2, 3), (3, 1), (1, 5), (4, 9)]}  # by dimension
CASES = [(cls, shape) for cls in CLASSES for shape in SHAPES[NDIM[cls]]]


@pytest.mark.parametrize("restored", [False, True], ids=["constructed", "unpickled"])
@pytest.mark.parametrize("cls, shape", CASES, ids=lambda c: getattr(c, "__name__", str(c)))
@pytest.mark.parametrize("seed", range(4))
def test_random_sequences_match_the_generic_path(cls, shape, seed, restored, capfd):
    rng = np.random.default_rng([seed, len(shape), shape[-1], restored])
    factory = make(cls, shape, rng)
    # Both start from the same state; unpickled arrays carry dtype objects of their own.
    if restored:
        proto = factory()
        fused, generic = pickle.loads(pickle.dumps(proto)), pickle.loads(pickle.dumps(proto))
    else:
        fused, generic = factory(), factory()
    recorder = Recorder()
    for step in range(120):
        special_rate = rng.choice([0.0, 0.0, 0.02, 0.3])
        target = random_array(rng, shape, special_rate)
        current = target if rng.random() < 0.1 else random_array(rng, shape, special_rate)
        if rng.random() < 0.1:
            target, current = unaligned(target), unaligned(current)
        if rng.random() < 0.1:
            target.setflags(write=False)
        if len(shape) == 2 and rng.random() < 0.15:  # F-ordered or strided: generic on both sides
            current = np.asfortranarray(current) if rng.random() < 0.5 else np.repeat(current, 2, axis=1)[:, ::2]
        dt = DTS[rng.integers(len(DTS))]
        mode = MODES[rng.integers(len(MODES))] if special_rate or rng.random() < 0.2 else "warn"

        before = fields(fused)
        a = run_step(fused, target, current, dt, mode, recorder, capfd)
        b = run_step(generic, target.view(Sub), current, dt, mode, recorder, capfd)
        context = f"step {step}: dt={dt!r}, mode={mode}"
        assert describe(a[0]) == describe(b[0]), context
        assert a[1:] == b[1:], context
        after_a, after_b = fields(fused), fields(generic)
        assert {k: bits(v) for k, v in after_a.items()} == {k: bits(v) for k, v in after_b.items()}, context
        if not isinstance(a[0], Exception):
            check_identities(before, after_a, a[0])
            links_a = dtype_links([a[0], target, *after_a.values()])
            links_b = dtype_links([b[0], target, *after_b.values()])
            assert links_a == links_b, context


@pytest.mark.parametrize("cls", ONE_D)
def test_large_steps_release_the_gil_and_match(cls, capfd):
    rng = np.random.default_rng(7)
    proto = make(cls, (LARGE,), rng)()
    fused, generic = pickle.loads(pickle.dumps(proto)), pickle.loads(pickle.dumps(proto))
    recorder = Recorder()
    for dt in (0.01, 0.0, 0.02, np.nan, -0.5):
        target, current = random_array(rng, (LARGE,), 0.0), random_array(rng, (LARGE,), 0.0)
        a = run_step(fused, target, current, dt, "warn", recorder, capfd)
        b = run_step(generic, target.view(Sub), current, dt, "warn", recorder, capfd)
        assert describe(a[0]) == describe(b[0]) and a[1:] == b[1:]
        assert {k: bits(v) for k, v in fields(fused).items()} == {k: bits(v) for k, v in fields(generic).items()}


@pytest.mark.parametrize("n", [6, 4096, LARGE, ADAPTIVE_LARGE])
def test_controllers_stepped_from_two_threads_give_the_sequential_results(n):
    # Small steps share the module's caches (look-ups, spares, the scratch
    # block) between threads; without the GIL they run truly at once.
    rng = np.random.default_rng(11)
    protos = [make(cp.PIDController, (n,), rng)(), make(cp.AdaptiveController, (n,), rng)()]
    inputs = [[(random_array(rng, (n,), 0.0), random_array(rng, (n,), 0.0)) for _ in range(20 if n >= LARGE else 300)]
              for _ in protos]

    def run(controller, steps, out):
        with np.errstate(all="ignore"):
            out.extend(controller.compute_control(t, c, 0.01).tobytes() for t, c in steps)

    sequential = [[], []]
    for proto, steps, out in zip(protos, inputs, sequential):
        run(pickle.loads(pickle.dumps(proto)), steps, out)
    threaded = [[], []]
    threads = [threading.Thread(target=run, args=(pickle.loads(pickle.dumps(p)), s, o))
               for p, s, o in zip(protos, inputs, threaded)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert threaded == sequential


# ---- which path a step takes -------------------------------------------------------------------


def generic_ran(step, pid_law):
    """Runs `step()`; True when the generic law ran. The generic law calls NumPy's
    Python-level functions (np.roll, np.zeros_like, ...), and the PID law at
    LARGE elements keeps at least six arrays of that size alive at once; a fused
    step calls no Python function, and a fused PID step makes three such arrays."""
    calls = []

    def profile(frame, event, arg):
        if event == "call":
            calls.append(frame.f_code.co_name)

    tracemalloc.start()
    sys.setprofile(profile)
    try:
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        step()
        peak = tracemalloc.get_traced_memory()[1] - before
    finally:
        sys.setprofile(None)
        tracemalloc.stop()
    return bool({"roll", "zeros_like", "_mean", "clip"} & set(calls)) or (pid_law and peak > 5 * LARGE * 8)


def stepped(cls, shape, **changes):
    """A controller of the given shape after one plain step, then its fields changed as
    given (a value may be a function of the current fields, for aliasing)."""
    g = np.linspace(0.5, 1.5, int(np.prod(shape))).reshape(shape)
    c = cls(g, g + 1, g + 2)
    c.compute_control(np.ones(shape), np.zeros(shape), 0.01)
    if changes:
        values = fields(c)
        for name, value in changes.items():
            values[name] = value(values) if callable(value) else value
        c.__setstate_cython__(tuple(values[k] for k in sorted(values)))
    return c


def read_only(a):
    a.setflags(write=False)
    return a


def unaligned(a):
    """A copy of `a` whose data lie at an odd address, as a pickle can bring them back."""
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    out = np.frombuffer(raw[1:].data, dtype=a.dtype).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out


def replace_np(mod, monkeypatch):
    mod.np = types.SimpleNamespace(**{k: getattr(np, k) for k in ("zeros_like", "float64", "roll", "mean", "clip", "zeros")})


def wrap(name):
    def patch(mod, monkeypatch):
        original = getattr(np, name)
        monkeypatch.setattr(np, name, lambda *a, **k: original(*a, **k))
    return patch


N = LARGE
ONES, ZEROS = np.ones(N), np.zeros(N)
META = np.dtype(np.float64, metadata={"unit": "m"})
OUT_OF_PLACE = np.zeros(2 * N)

# reason: (controller, target, current, dt, module set-up); every value made anew per test
PID_REASONS = {
    "target a subclass": lambda: (stepped(cp.PIDController, (N,)), ONES.view(Sub), ZEROS, 0.01, None),
    "current a subclass": lambda: (stepped(cp.PIDController, (N,)), ONES, ZEROS.view(Sub), 0.01, None),
    "target strided": lambda: (stepped(cp.PIDController, (N,)), np.ones(2 * N)[::2], ZEROS, 0.01, None),
    "current broadcast": lambda: (stepped(cp.PIDController, (N,)), ONES, np.zeros(1), 0.01, None),
    "kp byte-swapped": lambda: (stepped(cp.PIDController, (N,), kp=ONES.astype(ONES.dtype.newbyteorder())), ONES,
                                ZEROS, 0.01, None),
    "target dtype with metadata": lambda: (stepped(cp.PIDController, (N,)), np.ones(N, dtype=META), ZEROS, 0.01, None),
    "2-D target F-ordered": lambda: (stepped(cp.PIDControllerXd, (100, N // 100)),
                                     np.asfortranarray(np.ones((100, N // 100))), np.zeros((100, N // 100)), 0.01, None),
    "gain not an array": lambda: (stepped(cp.PIDController, (N,), kp=2.0), ONES, ZEROS, 0.01, None),
    "gain of another shape": lambda: (stepped(cp.PIDController, (N,), kd=np.ones(1)), ONES, ZEROS, 0.01, None),
    "integral read-only": lambda: (stepped(cp.PIDController, (N,), integral=read_only(np.zeros(N))), ONES, ZEROS, 0.01, None),
    "integral is kp": lambda: (stepped(cp.PIDController, (N,), integral=lambda f: f["kp"]), ONES, ZEROS, 0.01, None),
    "integral is the previous error": lambda: (
        stepped(cp.PIDController, (N,), integral=lambda f: f["previous_error"]), ONES, ZEROS, 0.01, None),
    "integral views the target": lambda: (
        stepped(cp.PIDController, (N,), integral=OUT_OF_PLACE[:N]), OUT_OF_PLACE[N // 2:N // 2 + N], ZEROS, 0.01, None),
    "previous error not an array": lambda: (stepped(cp.PIDController, (N,), previous_error=0.0), ONES, ZEROS, 0.01, None),
    "np replaced, dt zero": lambda: (stepped(cp.PIDController, (N,)), ONES, ZEROS, 0.0, replace_np),
    "np.zeros_like replaced, dt negative": lambda: (stepped(cp.PIDController, (N,)), ONES, ZEROS, -1.0, wrap("zeros_like")),
    "NaN in a result": lambda: (stepped(cp.PIDController, (N,)), np.full(N, np.nan), ZEROS, 0.01, None),
    "overflow flag": lambda: (stepped(cp.PIDController, (N,)), np.full(N, 1e308), np.full(N, -1e308), 0.01, None),
    "underflow flag": lambda: (stepped(cp.PIDController, (N,)), np.full(N, 1e-300), ZEROS, 1e-300, None),
    "overflow flag in the derivative": lambda: (stepped(cp.PIDController, (N,)), ONES * 2, ZEROS, 5e-324, None),
}

ADAPTIVE_REASONS = {
    "target a subclass": lambda: (stepped(cp.AdaptiveController, (6,)), np.ones(6).view(Sub), np.zeros(6), 0.01, None),
    "target strided": lambda: (stepped(cp.AdaptiveController, (6,)), np.ones(12)[::2], np.zeros(6), 0.01, None),
    "current broadcast": lambda: (stepped(cp.AdaptiveController, (6,)), np.ones(6), np.zeros(1), 0.01, None),
    "history of another shape": lambda: (
        stepped(cp.AdaptiveController, (6,), error_history=np.zeros((11, 6))), np.ones(6), np.zeros(6), 0.01, None),
    "history F-ordered": lambda: (
        stepped(cp.AdaptiveController, (6,), error_history=np.asfortranarray(np.zeros((10, 6)))),
        np.ones(6), np.zeros(6), 0.01, None),
    "learning rate a NumPy float": lambda: (
        stepped(cp.AdaptiveController, (6,), learning_rate=np.float64(0.01)), np.ones(6), np.zeros(6), 0.01, None),
    "maximum adjustment an int": lambda: (
        stepped(cp.AdaptiveController, (6,), max_adjustment=1), np.ones(6), np.zeros(6), 0.01, None),
    "maximum adjustment NaN": lambda: (
        stepped(cp.AdaptiveController, (6,), max_adjustment=float("nan")), np.ones(6), np.zeros(6), 0.01, None),
    "kp read-only": lambda: (
        stepped(cp.AdaptiveController, (6,), kp=read_only(np.ones(6))), np.ones(6), np.zeros(6), 0.01, None),
    "kp is the integral": lambda: (
        stepped(cp.AdaptiveController, (6,), kp=lambda f: f["integral"]), np.ones(6), np.zeros(6), 0.01, None),
    "kp views the history": lambda: (
        stepped(cp.AdaptiveController, (6,), kp=lambda f: f["error_history"][3]), np.ones(6), np.zeros(6), 0.01, None),
    "previous error not an array": lambda: (
        stepped(cp.AdaptiveController, (6,), previous_error=0.0), np.ones(6), np.zeros(6), 0.01, None),
    "np replaced": lambda: (stepped(cp.AdaptiveController, (6,)), np.ones(6), np.zeros(6), 0.01, replace_np),
    "np.roll replaced": lambda: (stepped(cp.AdaptiveController, (6,)), np.ones(6), np.zeros(6), 0.01, wrap("roll")),
    "np.mean replaced": lambda: (stepped(cp.AdaptiveController, (6,)), np.ones(6), np.zeros(6), 0.01, wrap("mean")),
    "np.clip replaced": lambda: (stepped(cp.AdaptiveController, (6,)), np.ones(6), np.zeros(6), 0.01, wrap("clip")),
    "np.zeros_like replaced, dt zero": lambda: (
        stepped(cp.AdaptiveController, (6,)), np.ones(6), np.zeros(6), 0.0, wrap("zeros_like")),
    "NaN in a result": lambda: (stepped(cp.AdaptiveController, (6,)), np.full(6, np.nan), np.zeros(6), 0.01, None),
    "overflow flag": lambda: (stepped(cp.AdaptiveController, (6,)), np.full(6, 1e200), np.zeros(6), 0.01, None),
    "empty arrays": lambda: (stepped(cp.AdaptiveController, (0,)), np.ones(0), np.zeros(0), 0.01, None),
}


@pytest.mark.parametrize("reason", [*(("pid", r) for r in PID_REASONS), *(("adaptive", r) for r in ADAPTIVE_REASONS)],
                         ids=lambda r: f"{r[0]}: {r[1]}")
def test_each_fallback_reason_takes_the_generic_path(reason, mod, monkeypatch):
    law, name = reason
    controller, target, current, dt, setup = (PID_REASONS if law == "pid" else ADAPTIVE_REASONS)[name]()
    if setup:
        setup(mod, monkeypatch)
    outcome = []

    def step():
        try:
            outcome.append(controller.compute_control(target, current, dt))
        except ValueError as exc:
            outcome.append(exc)

    with np.errstate(all="ignore"):
        ran = generic_ran(step, law == "pid")
    if isinstance(outcome[0], Exception):  # a fused step raises nothing: NumPy refused
        assert "read-only" in str(outcome[0])
    else:
        assert ran, name


@pytest.mark.parametrize("cls, shape", [(cp.PIDController, (N,)), (cp.PIDControllerXd, (100, N // 100)),
                                        (cp.AdaptiveController, (6,)), (cp.AdaptiveController, (N,))])
@pytest.mark.parametrize("dt", [0.01, 0.0, -1.0])
@pytest.mark.parametrize("aligned", [True, False], ids=["aligned", "unaligned"])
def test_the_plain_case_takes_the_fused_path(cls, shape, dt, aligned):
    controller = stepped(cls, shape)
    target, current = np.ones(shape), np.zeros(shape)
    if not aligned:  # every operand, the fields as a restored pickle can hold them
        values = {k: unaligned(v) if isinstance(v, np.ndarray) else v for k, v in fields(controller).items()}
        controller.__setstate_cython__(tuple(values[k] for k in sorted(values)))
        target, current = unaligned(target), unaligned(current)
    assert not generic_ran(lambda: controller.compute_control(target, current, dt), "error_history" not in names(cls))


STATES = {  # restored states that the fused path must leave to the generic law, or handle alike
    "integral is kp": dict(integral=lambda f: f["kp"]),
    "integral is the previous error": dict(integral=lambda f: f["previous_error"]),
    "kp is ki": dict(kp=lambda f: f["ki"]),
    "previous error is the target": dict(previous_error="target"),
    "integral read-only": dict(integral=lambda f: read_only(f["integral"].copy())),
    "gains read-only": dict(kp=lambda f: read_only(f["kp"].copy()), kd=lambda f: read_only(f["kd"].copy())),
}
ADAPTIVE_STATES = {
    "kp views the history": dict(kp=lambda f: f["error_history"][2]),
    "integral views the history": dict(integral=lambda f: f["error_history"][9]),
    "history views kp": dict(error_history=lambda f: np.broadcast_to(f["kp"], (10, 6))),
    "negative zero bound": dict(max_adjustment=-0.0),
    "NumPy float learning rate": dict(learning_rate=np.float64(0.5)),
}


@pytest.mark.parametrize("cls, state", [*((c, s) for c in ONE_D for s in STATES),
                                        *((cp.AdaptiveController, s) for s in ADAPTIVE_STATES)],
                         ids=lambda x: getattr(x, "__name__", x))
def test_restored_states_match_the_generic_path(cls, state, capfd):
    target = np.array([1.0, -2.0, 0.0, -0.0, 3e-300, 7.0])
    changes = (STATES | ADAPTIVE_STATES)[state]

    def build():
        c = stepped(cls, (6,))
        values = fields(c)
        for name, value in changes.items():
            values[name] = target if value == "target" else value(values) if callable(value) else value
        c.__setstate_cython__(tuple(values[k] for k in sorted(values)))
        return c

    fused, generic = build(), build()
    recorder = Recorder()
    for dt in (0.01, 0.0, -0.5, 0.2, np.nan):
        current = np.linspace(-1.0, 1.0, 6)
        a = run_step(fused, target, current, dt, "warn", recorder, capfd)
        b = run_step(generic, target.view(Sub), current, dt, "warn", recorder, capfd)
        assert describe(a[0]) == describe(b[0]) and a[1:] == b[1:], dt
        assert {k: bits(v) for k, v in fields(fused).items()} == {k: bits(v) for k, v in fields(generic).items()}


@pytest.mark.parametrize("n", [6, 700])  # 700: longer than a block, the undo log's own path
@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("namespace", ["numpy", "replaced np"])
def test_overflow_under_each_errstate_mode_matches_the_generic_path(cls, mode, namespace, n, mod, capfd):
    shape = shape_of(cls, n)
    fused, generic = stepped(cls, shape), stepped(cls, shape)
    if namespace == "replaced np":
        replace_np(mod, None)
    recorder = Recorder()
    huge = np.full(shape, 1e308)
    for target, current, dt in ((huge, -huge, 0.01), (np.ones(shape), np.zeros(shape), 1e-320),
                                (huge, np.zeros(shape), -1e300), (np.ones(shape), np.zeros(shape), 0.01)):
        a = run_step(fused, target, current, dt, mode, recorder, capfd)
        b = run_step(generic, target.view(Sub), current, dt, mode, recorder, capfd)
        assert describe(a[0]) == describe(b[0]) and a[1:] == b[1:], (mode, dt)
        assert {k: bits(v) for k, v in fields(fused).items()} == {k: bits(v) for k, v in fields(generic).items()}


@pytest.mark.parametrize("dt", [0.01, 0.0])
def test_a_replaced_np_sees_the_generic_laws_calls(mod, dt):
    seen = []

    class Spy:
        def __getattr__(self, name):
            seen.append(name)
            return getattr(np, name)

    pid_controller, adaptive_controller = stepped(cp.PIDController, (6,)), stepped(cp.AdaptiveController, (6,))
    mod.np = Spy()
    pid_controller.compute_control(np.ones(6), np.zeros(6), dt)
    pid_seen, seen[:] = list(seen), []
    adaptive_controller.compute_control(np.ones(6), np.zeros(6), dt)
    assert pid_seen == ([] if dt > 0 else ["zeros_like"])
    assert seen == ["roll", "mean", "clip"] + ([] if dt > 0 else ["zeros_like"])


def test_signed_zeros_through_the_adaptive_gain_match_the_generic_path(capfd):
    # Every sign combination of a zero gain, a zero adjustment and a zero bound:
    # where clip keeps the value and where it takes the bound shows only here.
    zeros = np.array([0.0, -0.0])
    kp = np.repeat(zeros, 4)
    error = np.tile(np.repeat(zeros, 2), 2)
    recorder = Recorder()
    for rate in (0.0, -0.0, 1.0):
        for bound in (0.0, -0.0, 1.0):
            def build():
                c = stepped(cp.AdaptiveController, (8,), kp=kp.copy(), learning_rate=rate, max_adjustment=bound)
                return c
            fused, generic = build(), build()
            for current in (error, -error, np.full(8, 3.0)):
                target = np.zeros(8)
                a = run_step(fused, target, current, 0.0, "warn", recorder, capfd)
                b = run_step(generic, target.view(Sub), current, 0.0, "warn", recorder, capfd)
                assert describe(a[0]) == describe(b[0]), (rate, bound)
                assert bits(fields(fused)["kp"]) == bits(fields(generic)["kp"]), (rate, bound)


# ---- reuse of a field's array -------------------------------------------------------------------


# 700: longer than a block (the pass writes over a reused array itself); 5000: the
# kernel runs without the GIL.
@pytest.mark.parametrize("n", [6, 700, 5000])
@pytest.mark.parametrize("cls", ONE_D)
@pytest.mark.parametrize("holder", ["weak reference", "view", "reference"])
def test_a_field_array_that_something_else_can_see_is_not_reused(cls, holder, n):
    c = stepped(cls, (n,))
    for name in [k for k in ("previous_error", "error_history") if k in names(cls)]:
        old = fields(c)[name]
        kept = {"weak reference": weakref.ref(old), "view": old[...], "reference": old}[holder]
        saved = np.array(old, copy=True)
        del old
        c.compute_control(np.full(n, 3.0), np.zeros(n), 0.01)
        if holder == "weak reference":
            assert kept() is None  # the old array went, as the generic law lets it go
        else:
            assert np.array_equal(kept, saved)  # nothing written into what someone else holds
            assert fields(c)[name] is not kept and not np.shares_memory(fields(c)[name], kept)


def test_the_kernels_mean_is_numpys_for_every_history_length():
    rng = np.random.default_rng(5)
    for n in (1, 2, 3, 7, 8, 9, 16, 17, 100, 1000):
        for _ in range(20):
            c = cp.AdaptiveController(np.ones(n), np.ones(n), np.ones(n), learning_rate=1.0, max_adjustment=np.inf)
            history = rng.standard_normal((10, n)) * 10.0 ** rng.integers(-5, 6, (10, n))
            history[:, rng.random(n) < 0.2] = -0.0  # columns of negative zeros sum to +0.0
            values = fields(c) | {"error_history": history, "kp": np.zeros(n)}
            c.__setstate_cython__(tuple(values[k] for k in sorted(values)))
            error = rng.standard_normal(n)
            error[rng.random(n) < 0.2] = -0.0
            c.compute_control(error, np.zeros(n), 0.0)
            rolled = np.roll(history, 1, axis=0)
            rolled[0] = error
            delta = np.clip(1.0 * np.mean(rolled, axis=0) * error, -np.inf, np.inf)
            expected = np.zeros(n) + delta
            assert fields(c)["kp"].tobytes() == expected.tobytes(), n


# ---- scratch kept from step to step -----------------------------------------------------------


@pytest.mark.parametrize("cls", CLASSES)
def test_steps_of_other_sizes_in_between_leave_each_controller_as_the_generic_law_does(cls):
    # Every step longer than the stack's room logs its old values into one heap
    # block kept for the next step, whichever controller takes it, smaller or
    # larger; a step that NumPy takes over puts them back from it. Interleaved
    # steps of three sizes, an overflow among them, end as the generic law ends.
    sizes = (300, 5000, 1000)  # each past the stack's room; 5000 without the GIL
    rng = np.random.default_rng(11)
    shapes = [shape_of(cls, n) for n in sizes]
    pairs = [(stepped(cls, shape), stepped(cls, shape)) for shape in shapes]
    for step in range(4):
        for (fused, generic), shape in zip(pairs, shapes):
            target, current = rng.normal(size=shape), rng.normal(size=shape)
            if step == 2:
                target.flat[0], current.flat[0] = 1e308, -1e308
            with np.errstate(all="ignore"):
                a = fused.compute_control(target, current, 0.01)
                b = generic.compute_control(target.view(Sub), current, 0.01)
            assert bits(a) == bits(np.asarray(b))
            assert {k: bits(v) for k, v in fields(fused).items()} == {k: bits(v) for k, v in fields(generic).items()}
