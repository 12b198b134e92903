"""AdaptiveController: construction, the adaptive law, and what a failure leaves behind."""

import math
import os
import sysconfig

import numpy as np
import pytest

from conftest import f64, fields, names, same, entries
import vesk.cython_pid as cp

AC = cp.AdaptiveController
NAMES = names(cp.AdaptiveController)
GAINS = (f64(1.0), f64(0.5), f64(0.01))
A2 = f64(1.0, 2.0)
INIT, STEP = (f"vesk.cython_pid.AdaptiveController.{m}" for m in ("__init__", "compute_control"))


def assert_fields(c, expected):
    got = fields(c)
    assert [n for n in NAMES if not same(got[n], expected[n])] == []


class Ref:
    """The adaptive law, statement by statement, in plain NumPy."""

    def __init__(self, kp, ki, kd, learning_rate=0.01, max_adjustment=0.1):
        self.kp, self.ki, self.kd = kp.copy(), ki.copy(), kd.copy()
        self.integral = np.zeros_like(kp, dtype=np.float64)
        self.previous_error = np.zeros_like(kp, dtype=np.float64)
        self.error_history = np.zeros((10, kp.shape[0]))
        self.learning_rate, self.max_adjustment = float(learning_rate), float(max_adjustment)

    def step(self, target, current, dt):
        dt = float(dt)
        error = target - current
        h = np.roll(self.error_history, shift=1, axis=0)
        h[0] = error
        self.error_history = h
        delta = self.learning_rate * np.mean(h, axis=0) * error
        delta = np.clip(delta, -self.max_adjustment, self.max_adjustment)
        self.kp += delta
        self.integral += error * dt
        derivative = (error - self.previous_error) / dt if dt > 0 else np.zeros_like(error)
        u = self.kp * error + self.ki * self.integral + self.kd * derivative
        self.previous_error = error.copy()
        return u

    @property
    def fields(self):
        return {name: getattr(self, name) for name in NAMES}


def test_worked_example():
    c, ref = AC(*GAINS), Ref(*GAINS)
    kp0, integral0 = fields(c)["kp"], fields(c)["integral"]
    # history mean, kp, integral, derivative, signal after each of three equal steps
    for mean, kp, integral, derivative, signal in [(0.2, 1.004, 0.2, 20.0, 2.308), (0.4, 1.012, 0.4, 0.0, 2.224),
                                                   (0.6, 1.024, 0.6, 0.0, 2.348)]:
        u = c.compute_control(f64(2.0), f64(0.0), 0.1)
        f = fields(c)
        assert same(u, ref.step(f64(2.0), f64(0.0), 0.1))
        assert_fields(c, ref.fields)
        assert f["previous_error"].tolist() == [2.0] and f["kp"] == pytest.approx([kp])
        assert np.mean(f["error_history"], axis=0) == pytest.approx([mean])
        assert f["integral"] == pytest.approx([integral]) and u == pytest.approx([signal])
        assert same(u, f["kp"] * 2.0 + f64(0.5) * f["integral"] + f64(0.01) * f64(derivative))
        # kp and integral change in place; the returned array is kept nowhere
        assert f["kp"] is kp0 and f["integral"] is integral0 and all(u is not v for v in f.values())


DTS = [0.1, 0.01, 0.0, -0.05, math.nan, 1, 0, -2, 2.5, np.float64(0.3), math.inf]


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("n", [0, 1, 3, 8])
def test_matches_reference(seed, n):
    rng = np.random.default_rng(seed * 100 + n)
    lr, mx = [(0.01, 0.1), (1, 2), (0.5, 0.05), (-0.3, -0.1), (0.0, 1e9), (2.0, 0.01)][seed]
    gains = [rng.normal(size=n) * 3 for _ in range(3)]
    c, ref = AC(*gains, lr, mx), Ref(*gains, lr, mx)
    assert_fields(c, ref.fields)
    for step in range(25):
        target = rng.normal(size=n) * rng.choice([0.1, 1, 100])
        current = rng.normal(size=2 * n)[::2]  # a strided view is a valid float array
        dt = DTS[(step + seed) % len(DTS)]
        assert same(c.compute_control(target, current, dt), ref.step(target, current, dt)), step
        assert_fields(c, ref.fields)


@pytest.mark.parametrize("lr", [0.001, 0])
def test_history_keeps_ten_errors(lr):
    c = AC(f64(1.0), f64(0.0), f64(0.0), lr, 10.0)
    for e in range(1, 12):
        kp = fields(c)["kp"].copy()
        c.compute_control(f64(float(e)), f64(0.0), 0.1)
    f = fields(c)
    assert f["error_history"][:, 0].tolist() == [11.0, 10, 9, 8, 7, 6, 5, 4, 3, 2]  # the first error is gone
    assert f["kp"] - kp == pytest.approx([lr * 6.5 * 11])  # mean of 2..11 over ten rows
    assert lr or f["kp"].tolist() == [1.0]


@pytest.mark.parametrize("target", [100.0, -100.0])
@pytest.mark.parametrize("lr, delta", [(0.01, 0.1), (-0.01, -0.1)])
def test_adjustment_is_clipped(target, lr, delta):
    c = AC(f64(1.0), f64(0.0), f64(0.0), lr)
    c.compute_control(f64(target), f64(0.0), 0.1)
    assert fields(c)["kp"].tolist() == [1.0 + delta]  # unbounded it would be lr * 1000


@pytest.mark.parametrize("args, kwargs, lr, mx", [
    ((), {}, 0.01, 0.1), ((1,), {}, 1.0, 0.1), ((np.float64(0.25), 3), {}, 0.25, 3.0),
    ((), {"max_adjustment": 0.5}, 0.01, 0.5), ((), {"learning_rate": True}, 1.0, 0.1),
])
def test_rates_stored_as_python_floats(args, kwargs, lr, mx):
    by_name = dict(zip(("initial_kp", "initial_ki", "initial_kd", "learning_rate", "max_adjustment"), GAINS + args))
    for c in (AC(*GAINS, *args, **kwargs), AC(**by_name, **kwargs)):
        f = fields(c)
        assert (type(f["learning_rate"]), f["learning_rate"], type(f["max_adjustment"]), f["max_adjustment"]) == (
            float, lr, float, mx)


def test_gains_are_copied_and_init_restarts():
    kp, ki, kd = f64(1.0, 2.0), f64(0.5, 0.1), f64(0.2, 0.3)
    c, ref = AC(kp, ki, kd), Ref(kp, ki, kd)
    f = fields(c)
    assert all(f[n] is not a for n, a in (("kp", kp), ("ki", ki), ("kd", kd)))
    assert f["integral"] is not f["previous_error"] and f["error_history"].shape == (10, 2)
    kp[:], ki[:], kd[:] = 9.0, 9.0, 9.0
    for _ in range(3):
        u = c.compute_control(f64(1.0, -1.0), f64(0.0, 0.5), 0.1)
        assert same(u, ref.step(f64(1.0, -1.0), f64(0.0, 0.5), 0.1))
        u[:] = 1e6
    assert_fields(c, ref.fields)
    assert kp.tolist() == [9.0, 9.0]  # adaptation does not reach the caller's array
    c.__init__(*GAINS)
    assert_fields(c, Ref(*GAINS).fields)


class Spy:
    """numpy, recording the calls made through it; the call named by `fail` ('zeros_like#2': the second) raises."""

    def __init__(self, fail=None):
        self.calls, self.fail = [], fail

    def __getattr__(self, name):
        target = getattr(np, name)
        if isinstance(target, type) or not callable(target):
            return target

        def call(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            if self.fail in (name, f"{name}#{sum(c[0] == name for c in self.calls)}"):
                raise RuntimeError(name)
            return target(*args, **kwargs)
        return call


COPY = "'NoneType' object has no attribute 'copy'"


@pytest.mark.parametrize("args, np_fail, exc, msg, replaced", [
    ((A2, A2), None, TypeError, r"^__init__\(\) takes at least 3 positional arguments \(2 given\)$", ""),
    ((A2,) * 3 + (0.1,) * 3, None, TypeError, r"^__init__\(\) takes at most 5 positional arguments \(6 given\)$", ""),
    ((A2, A2, A2, 0.1, "x"), None, TypeError, "^must be real number, not str$", ""),
    ((None, A2, A2), None, AttributeError, COPY, ""),
    ((A2, None, A2), None, AttributeError, COPY, "kp"),
    ((A2, A2, None), None, AttributeError, COPY, "kp ki"),
    ((A2,) * 3, "no np", NameError, "^name 'np' is not defined$", "kp ki kd"),
    ((A2,) * 3, "zeros_like#1", RuntimeError, "zeros_like", "kp ki kd"),
    ((A2,) * 3, "zeros_like#2", RuntimeError, "zeros_like", "kp ki kd integral"),
    ((A2,) * 3, "zeros", RuntimeError, "zeros", "kp ki kd integral previous_error"),
])
def test_init_failure_keeps_later_fields(mod, args, np_fail, exc, msg, replaced):
    c = AC(f64(7.0), f64(8.0), f64(9.0), 4.0, 5.0)
    old = fields(c)
    if np_fail == "no np":
        del mod.np
    elif np_fail:
        mod.np = Spy(np_fail)
    with pytest.raises(exc, match=msg) as ei:
        c.__init__(*args)
    assert entries(ei) == [INIT]
    f = fields(c)
    assert [n for n in NAMES if f[n] is not old[n]] == sorted(replaced.split())


def test_numpy_calls(mod):
    spy = mod.np = Spy()
    c = AC(A2, A2, A2, 0.5, 0.25)
    h0 = fields(c)["error_history"]
    c.compute_control(A2, f64(0.0, 0.0), 0.0)
    z1, z2, z3, roll, mean, clip, z4 = spy.calls
    assert z1 == z2 == ("zeros_like", (A2,), {"dtype": np.float64})  # templates are initial_kp itself
    assert z3 == ("zeros", ((10, 2),), {}) and type(z3[1][0][1]) is int
    assert roll[0] == "roll" and roll[1][0] is h0 and roll[2] == {"shift": 1, "axis": 0}
    assert mean[:1] + mean[2:] == ("mean", {"axis": 0}) and mean[1][0] is fields(c)["error_history"]
    assert clip[0] == "clip" and clip[1][1:] == (-0.25, 0.25) and type(clip[1][1]) is float and clip[2] == {}
    assert z4[0] == "zeros_like" and len(z4[1]) == 1 and z4[2] == {}


@pytest.mark.parametrize("args, exc, msg, traced", [
    ((None, A2, 0.1), TypeError, "unsupported operand", True),
    ((A2, None, 0.1), TypeError, "unsupported operand", True),
    ((f64(1.0, 2.0, 3.0), f64(0.0, 0.0, 0.0), 0.1), ValueError, "could not broadcast", True),
    ((f64(1.0, 2.0, 3.0), f64(0.0), 0.1), ValueError, "could not broadcast", True),
    (None, NameError, "^name 'np' is not defined$", True),
    ((A2, A2, "x"), TypeError, "must be real number, not str", True),
    ((A2, A2), TypeError, r"^compute_control\(\) takes exactly 3 positional arguments \(2 given\)$", True),
    ((A2, A2, 0.1, 0.1), TypeError, r"^compute_control\(\) takes exactly 3 positional arguments \(4 given\)$", True),
    (([1.0, 2.0], A2, 0.1), TypeError, r"^Argument 'target_position' has incorrect type", False),
    ((A2, np.zeros(2, np.float32), 0.1), ValueError, "Buffer dtype mismatch", True),
])
def test_step_failures_change_nothing(mod, args, exc, msg, traced):
    """Every failure up to the history update leaves the fields as they were. Positions whose length
    does not broadcast to n fail on row 0 of the rolled copy, before the copy is stored, so the
    stored history is still the previous array."""
    c, ref = AC(A2, f64(0.5, 0.5), f64(0.1, 0.1)), Ref(A2, f64(0.5, 0.5), f64(0.1, 0.1))
    for e in (1.0, -2.0):
        assert same(c.compute_control(f64(e, e), A2, 0.1), ref.step(f64(e, e), A2, 0.1))
    before = fields(c)
    if args is None:  # `np` is first needed for the roll
        del mod.np
        args = (A2, A2, 0.1)
    with pytest.raises(exc, match=msg) as ei:
        c.compute_control(*args)
    mod.np = np
    assert entries(ei) == ([STEP] if traced else [])
    assert all(fields(c)[n] is before[n] for n in NAMES)
    assert_fields(c, ref.fields)
    # and the controller goes on as if the call had never been made
    assert same(c.compute_control(A2, f64(0.5, 0.5), 0.1), ref.step(A2, f64(0.5, 0.5), 0.1))
    assert_fields(c, ref.fields)


@pytest.mark.parametrize("bad", ["ki", "kd"])
@pytest.mark.parametrize("length, fails", [(3, True), (1, False)])
def test_gain_length_mismatch(bad, length, fails):
    gains = {"kp": f64(1.0, 2.0), "ki": f64(0.5, 0.5), "kd": f64(0.1, 0.1), bad: np.full(length, 0.25)}
    c, ref = AC(gains["kp"], gains["ki"], gains["kd"]), Ref(gains["kp"], gains["ki"], gains["kd"])
    prev = fields(c)["previous_error"]
    target, current = f64(3.0, -1.0), f64(0.0, 0.0)
    if not fails:
        assert same(c.compute_control(target, current, 0.1), ref.step(target, current, 0.1))
        return assert_fields(c, ref.fields)
    with pytest.raises(ValueError, match="could not be broadcast") as ei:
        c.compute_control(target, current, 0.1)
    assert entries(ei) == [STEP]
    with pytest.raises(ValueError):
        ref.step(target, current, 0.1)
    f = fields(c)
    assert all(same(f[n], getattr(ref, n)) for n in ("error_history", "kp", "integral"))
    assert f["previous_error"] is prev and prev.tolist() == [0.0, 0.0]


class Exported(np.ndarray):
    """An array (and every array NumPy derives from it) whose buffer export is
    another array: `exported`."""

    def __buffer__(self, flags):
        return memoryview(self.exported)


@pytest.mark.parametrize("exported", [np.zeros(5), np.zeros(1)], ids=["longer", "shorter"])
def test_history_length_is_read_from_the_gain_array_not_its_buffer(exported):
    kp = f64(1.0, 2.0, 3.0).view(type("Exported", (Exported,), {"exported": exported}))
    gains = f64(1.0, 2.0, 3.0), f64(0.5, 0.5, 0.5), f64(0.1, 0.1, 0.1)
    c, ref = AC(kp, *gains[1:]), Ref(*gains)
    assert fields(c)["error_history"].shape == (10, 3)
    target, current = f64(3.0, -1.0, 0.5), f64(0.0, 0.0, 0.0)
    u = c.compute_control(target, current, 0.1)
    assert u.view(np.ndarray).tobytes() == ref.step(target, current, 0.1).tobytes()


# Under CPU emulation (VESK_EMULATED, the aarch64 builds) the largest case would
# take minutes a run; 70,000 still takes the path of half blocks. The largest
# needs scratch past 32 MiB, which is kept from one step for the next: a kernel
# that read its scratch before writing it would see the last step's values.
ROLLED_SIZES = [257, 70_000] + ([] if os.environ.get("VESK_EMULATED") else [1_400_003])


@pytest.mark.parametrize("n", ROLLED_SIZES)
def test_a_history_rolled_in_place_matches_the_law_and_is_rolled_back_when_numpy_takes_over(n):
    # A history nothing else holds is rolled in place by a step longer than a
    # block; a step whose arithmetic overflows is handed to NumPy after the
    # roll, which must then be undone.
    rng = np.random.default_rng(n)
    g = [rng.uniform(0.5, 2.0, n) for _ in range(3)]
    c, ref = AC(*g, 0.05, 0.2), Ref(*g, 0.05, 0.2)
    kept = None
    for step in range(16):
        r, y = rng.normal(size=n), rng.normal(size=n)
        if step == 2:
            r[n // 2], y[n // 2] = 1e308, -1e308
        with np.errstate(all="ignore"):
            u = c.compute_control(r, y, 0.0 if step == 1 else 0.01)
            assert same(u, ref.step(r, y, 0.0 if step == 1 else 0.01))
        assert_fields(c, vars(ref))
        history = fields(c)["error_history"]
        # Clean steps that keep the GIL (up to 2^18 elements; without a GIL,
        # the controller's lock): the history object itself goes on.
        if step in (1, 15) and n < 1 << 18:
            assert id(history) == kept
        kept = id(history)
        del history
