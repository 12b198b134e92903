"""PIDController and PIDControllerXd: the control law, the state kept between steps, and what a failure leaves."""

import builtins
import math
import re
import traceback
import types
from fractions import Fraction

import numpy as np
import pytest

import vesk.cython_pid as cp
from conftest import fields, entries, names, same

NAMES = names(cp.PIDController)  # order of the pickled state
KINDS = [pytest.param(cp.PIDController, (3,), id="1d"), pytest.param(cp.PIDControllerXd, (2, 3), id="2d")]
NOTHING, INTEGRAL, BOTH = "nothing", "integral", "integral+previous_error"
DELETED = object()
NS = types.SimpleNamespace


def gains(shape, values=(2.0, 0.5, 0.1)):
    return [np.full(shape, v) for v in values]


class Reference:
    """The control law written out with NumPy, evaluated in the controller's order."""

    def __init__(self, kp, ki, kd):
        self.kp, self.ki, self.kd = kp, ki, kd
        self.integral = np.zeros_like(kp, dtype=np.float64)
        self.previous_error = np.zeros_like(kp, dtype=np.float64)

    def step(self, r, y, dt):
        dt = float(dt)
        error = r - y
        p_term = self.kp * error
        self.integral += error * dt
        i_term = self.ki * self.integral
        derivative = (error - self.previous_error) / dt if dt > 0 else np.zeros_like(error)
        d_term = self.kd * derivative
        self.previous_error = error
        return (p_term + i_term) + d_term


def faulty(a, method, result=None):
    """A view of `a` whose `method` raises RuntimeError(method), or returns `result` when one is given."""

    def hook(self, *args):
        if result is None:
            raise RuntimeError(method)
        return result

    return a.view(type("Faulty", (np.ndarray,), {method: hook}))


def refuse(*args, **kwargs):
    raise RuntimeError("zeros_like")


def zeros_like_once(made):
    """A zeros_like that works once (keeping its result in `made`) and refuses afterwards."""

    def zeros_like(a, **kw):
        if made:
            refuse()
        made.append(np.zeros_like(a, **kw))
        return made[0]

    return zeros_like


def snapshot(c):
    f = fields(c)
    return f, {k: v.copy() for k, v in f.items() if isinstance(v, np.ndarray)}


def assert_step_state(c, before, change, error=None, dt=None):
    """Gains and integral keep their objects; integral and previous_error moved only as far as `change` says."""
    objs, values = before
    f = fields(c)
    assert all(f[k] is objs[k] for k in ("kp", "ki", "kd", "integral"))
    added = values["integral"] if change == NOTHING else values["integral"] + error * float(dt)
    assert same(f["integral"], added)
    if change == BOTH:
        assert f["previous_error"] is not objs["previous_error"] and same(f["previous_error"], error)
    else:
        assert f["previous_error"] is objs["previous_error"]
        assert same(f["previous_error"], values["previous_error"])


@pytest.mark.parametrize("cls, shape", KINDS)
def test_worked_example(cls, shape):
    one = (1,) * len(shape)
    kp, ki, kd = gains(one)
    r, y = np.full(one, 1.0), np.zeros(one)
    c = cls(kp, ki, kd)
    first = c.compute_control(r, y, 0.1)
    second = c.compute_control(r, y, 0.1)
    assert first.shape == second.shape == one
    assert first.item() == (2.0 * 1.0 + 0.5 * (0.0 + 1.0 * 0.1)) + 0.1 * ((1.0 - 0.0) / 0.1)
    assert second.item() == (2.0 * 1.0 + 0.5 * (0.1 + 1.0 * 0.1)) + 0.1 * ((1.0 - 1.0) / 0.1)
    assert (first.item(), second.item()) == pytest.approx((3.05, 2.1))


SHAPES = {cp.PIDController: [(1,), (4,), (17,)], cp.PIDControllerXd: [(1, 1), (3, 4), (5, 1)]}
DTS = [0.01, 0.25, 1e-300, 0.0, -0.0, -0.1, 1, True, np.float64(0.05), Fraction(1, 3)]


@pytest.mark.parametrize("cls", SHAPES)
def test_steps_match_reference_bit_for_bit(cls):
    rng = np.random.default_rng(7)
    for shape in SHAPES[cls]:

        def array():  # every second element of a wider array: strided half the time
            a = rng.normal(size=shape[:-1] + (2 * shape[-1],))[..., ::2]
            return a if rng.random() < 0.5 else np.ascontiguousarray(a)

        kp, ki, kd = array(), array(), array()
        saved = [g.copy() for g in (kp, ki, kd)]
        c, ref = cls(kp, ki, kd), Reference(kp, ki, kd)
        integral = fields(c)["integral"]
        # the last steps push the state to inf and NaN; both sides must still agree bit for bit
        dts = [DTS[i] for i in rng.integers(len(DTS), size=40)] + [math.inf, 0.5, math.nan, 0.1]
        with np.errstate(all="ignore"):
            for dt in dts:
                r, y = array(), array()
                u = c.compute_control(r, y, dt)
                assert same(u, ref.step(r, y, dt)), (shape, dt)
                f = fields(c)
                assert f["integral"] is integral and same(integral, ref.integral)
                assert same(f["previous_error"], ref.previous_error)
        assert all(same(g, s) for g, s in zip((kp, ki, kd), saved))  # gains are only read


@pytest.mark.parametrize("cls, shape", KINDS)
def test_gains_are_kept_by_reference(cls, shape):
    kp, ki, kd = gains(shape)
    c, ref = cls(kp, ki, kd), Reference(kp, ki, kd)
    f = fields(c)
    assert f["kp"] is kp and f["ki"] is ki and f["kd"] is kd
    r, y = np.full(shape, 1.0), np.zeros(shape)
    assert same(c.compute_control(r, y, 0.1), ref.step(r, y, 0.1))
    kp[...] = 7.0  # the caller changes its arrays: the next step sees it
    kd *= -3.0
    assert same(c.compute_control(r, y, 0.2), ref.step(r, y, 0.2))
    shared = np.full(shape, 0.5)  # one array as every gain of two controllers
    a, b = cls(shared, shared, shared), cls(shared, shared, shared)
    ra, rb = Reference(shared, shared, shared), Reference(shared, shared, shared)
    for dt in (0.1, 0.0, 0.3):
        assert same(a.compute_control(r, y, dt), ra.step(r, y, dt))
        assert same(b.compute_control(y, r, dt), rb.step(y, r, dt))
    assert (shared == 0.5).all()


@pytest.mark.parametrize("cls, shape", KINDS)
def test_state_objects_across_steps(cls, shape):
    made = []

    class Spy(np.ndarray):  # records the differences it forms: the first one of a step is `error`
        def __sub__(self, other):
            made.append(super().__sub__(other))
            return made[-1]

    kp, ki, kd = gains(shape)
    c = cls(kp, ki, kd)
    start = fields(c)
    zeros = np.zeros(shape)
    assert same(start["integral"], zeros) and same(start["previous_error"], zeros)
    state = (start["integral"], start["previous_error"])
    assert state[0] is not state[1] and not any(s is g for s in state for g in (kp, ki, kd))
    results = []
    for dt in (0.1, 0.0, -0.2, 0.3):
        made.clear()
        u = c.compute_control(np.full(shape, 1.5).view(Spy), zeros, dt)
        f = fields(c)
        assert f["integral"] is start["integral"]
        assert f["previous_error"] is made[0]
        assert not any(np.shares_memory(u, v) for v in f.values())
        assert not any(u is v for v in results)
        results.append(u)


@pytest.mark.parametrize("cls, shape", KINDS)
def test_init_again_resets_the_state(cls, shape):
    c = cls(*gains(shape))
    for dt in (0.1, 0.2):
        c.compute_control(np.ones(shape), np.zeros(shape), dt)
    old = fields(c)
    wider = shape[:-1] + (shape[-1] + 1,)
    new = gains(wider, (1.0, 2.0, 3.0))
    assert c.__init__(*new) is None
    f = fields(c)
    assert all(f[k] is g for k, g in zip(("kp", "ki", "kd"), new))
    for k in ("integral", "previous_error"):
        assert f[k] is not old[k] and same(f[k], np.zeros(wider))
    ref, r = Reference(*new), np.ones(wider)
    assert same(c.compute_control(r, r * 0, 0.1), ref.step(r, r * 0, 0.1))


@pytest.mark.parametrize("cls, shape", KINDS)
@pytest.mark.parametrize("dt", [0.1, 1e-300, math.inf, 0.0, -0.0, -0.25, -math.inf, math.nan, 0, -1])
def test_np_calls_and_the_derivative_branch(mod, cls, shape, dt):
    calls, marker = [], object()

    def zeros_like(a, **kw):
        calls.append((a, kw))
        return np.zeros_like(a, **{k: np.float64 for k in kw})

    mod.np = NS(zeros_like=zeros_like, float64=marker)  # looked up at each use, float64 included
    kp, ki, kd = gains(shape)
    c, ref = cls(kp, ki, kd), Reference(kp, ki, kd)
    assert [(a is kp, kw) for a, kw in calls] == [(True, {"dtype": marker})] * 2
    f = fields(c)
    assert calls[0][0] is kp and f["integral"] is not f["previous_error"]
    calls.clear()
    r, y = np.full(shape, 1.0), np.full(shape, -2.0)
    with np.errstate(all="ignore"):
        u = c.compute_control(r, y, dt)
        assert same(u, ref.step(r, y, dt))
    if dt > 0:
        assert calls == []
        return
    assert len(calls) == 1 and calls[0][0] is fields(c)["previous_error"] and calls[0][1] == {}
    # no derivative term at all, and the integral moved by error * dt, whatever the sign of dt
    assert same(u, (kp * 3.0 + ki * (0.0 + 3.0 * float(dt))) + kd * 0.0)
    assert not math.isnan(dt) or np.isnan(fields(c)["integral"]).all()


BROADCAST = [  # (gain shape, position shape)
    (cp.PIDController, (3,), (3,)), (cp.PIDController, (3,), (1,)), (cp.PIDController, (1,), (3,)),
    (cp.PIDControllerXd, (2, 3), (2, 3)), (cp.PIDControllerXd, (2, 3), (1, 3)), (cp.PIDControllerXd, (2, 3), (2, 1)),
    (cp.PIDControllerXd, (2, 1), (2, 3)), (cp.PIDControllerXd, (1, 3), (2, 3)),
]


@pytest.mark.parametrize("cls, gain_shape, position_shape", BROADCAST)
def test_broadcasting(cls, gain_shape, position_shape):
    rng = np.random.default_rng(3)
    kp, ki, kd = (rng.normal(size=gain_shape) for _ in range(3))
    c, ref = cls(kp, ki, kd), Reference(kp, ki, kd)
    integral = fields(c)["integral"]
    grows = np.broadcast_shapes(gain_shape, position_shape) != gain_shape
    for dt in (0.1, 0.2, 0.0):
        r, y = rng.normal(size=position_shape), rng.normal(size=position_shape)
        if grows:  # the in-place add into the integral cannot take the broadcast shape
            before = snapshot(c)
            with pytest.raises(ValueError) as info:
                c.compute_control(r, y, dt)
            with pytest.raises(ValueError) as expected:
                ref.step(r, y, dt)
            assert str(info.value) == str(expected.value)
            assert entries(info.value) == [f"vesk.cython_pid.{cls.__name__}.compute_control"]
            assert_step_state(c, before, NOTHING)
            continue
        u = c.compute_control(r, y, dt)
        assert same(u, ref.step(r, y, dt)) and u.shape == gain_shape
        f = fields(c)
        assert f["integral"] is integral and f["previous_error"].shape == position_shape


def case(name, exc, message, entry, change, **alter):
    return pytest.param(alter, exc, message, entry, change, id=name)


MODULE, PLAIN = True, False
STEP_FAILURES = [
    case("binding", TypeError, "compute_control() takes exactly 3 positional arguments (2 given)", MODULE, NOTHING,
         args=lambda s: (s.r, s.y)),
    case("dt-before-arrays", TypeError, "must be real number, not str", MODULE, NOTHING,
         dt=lambda s: "fast", r=lambda s: s.r.tolist()),
    case("argument-type", TypeError, "Argument 'target_position' has incorrect type (expected numpy.ndarray, got list)",
         PLAIN, NOTHING, r=lambda s: s.r.tolist()),
    case("error", RuntimeError, "__sub__", MODULE, NOTHING, r=lambda s: faulty(s.r, "__sub__")),
    case("p_term", RuntimeError, "__mul__", MODULE, NOTHING, kp=lambda s: faulty(s.kp, "__mul__")),
    case("p_term-check", ValueError, "Buffer dtype mismatch, expected 'float64_t' but got 'float'", MODULE, NOTHING,
         kp=lambda s: faulty(s.kp, "__mul__", np.zeros(s.kp.shape, np.float32))),
    case("error*dt", RuntimeError, "__mul__", MODULE, NOTHING, r=lambda s: faulty(s.r, "__mul__")),
    case("integral+=", RuntimeError, "__iadd__", MODULE, NOTHING, integral=lambda s: faulty(s.integral, "__iadd__")),
    case("i_term", RuntimeError, "__mul__", MODULE, INTEGRAL, ki=lambda s: faulty(s.ki, "__mul__")),
    case("i_term-check", ValueError, "Buffer has wrong number of dimensions (expected {nd}, got 3)", MODULE, INTEGRAL,
         ki=lambda s: faulty(s.ki, "__mul__", np.zeros((1, 1, 1)))),
    case("derivative", RuntimeError, "__rsub__", MODULE, INTEGRAL,
         previous_error=lambda s: faulty(s.previous_error, "__rsub__")),
    case("zeros_like", RuntimeError, "zeros_like", MODULE, INTEGRAL, dt=lambda s: 0.0, np=lambda s: NS(zeros_like=refuse)),
    case("np-missing", NameError, "name 'np' is not defined", MODULE, INTEGRAL, dt=lambda s: -1.0, np=lambda s: DELETED),
    case("d_term", RuntimeError, "__mul__", MODULE, INTEGRAL, kd=lambda s: faulty(s.kd, "__mul__")),
    case("d_term-check", TypeError, "Cannot convert str to numpy.ndarray", MODULE, INTEGRAL,
         kd=lambda s: faulty(s.kd, "__mul__", "x")),
    case("sum", RuntimeError, "__radd__", MODULE, BOTH, kd=lambda s: faulty(s.kd, "__radd__")),
    case("control_signal-check", TypeError, "Cannot convert float to numpy.ndarray", MODULE, BOTH,
         kd=lambda s: faulty(s.kd, "__radd__", 1.0)),
]


def apply(mod, s, alter):
    """Lets a case replace arguments, gains or state in `s`, and rebind or delete the module's `np`."""
    for name, make in alter.items():
        setattr(s, name, make(s))
    if s.np is DELETED:
        del mod.np
    elif s.np is not None:
        mod.np = s.np


@pytest.mark.parametrize("cls, shape", KINDS)
@pytest.mark.parametrize("alter, exc, message, entry, change", STEP_FAILURES)
def test_step_failure_keeps_earlier_updates(mod, cls, shape, alter, exc, message, entry, change):
    kp, ki, kd = gains(shape)
    c = cls(kp, ki, kd)
    c.compute_control(np.full(shape, 0.3), np.zeros(shape), 0.1)  # a state that is not zero
    f = fields(c)
    s = NS(kp=kp, ki=ki, kd=kd, integral=f["integral"], previous_error=f["previous_error"],
           r=np.full(shape, 1.5), y=np.full(shape, 0.25), dt=0.1, np=None, args=None)
    apply(mod, s, alter)
    c.__setstate__(tuple(getattr(s, name) for name in NAMES))  # the fields hold what the case injected
    before = snapshot(c)
    with pytest.raises(exc, match=re.escape(message.format(nd=len(shape)))) as info:
        c.compute_control(*(s.args or (s.r, s.y, s.dt)))
    assert entries(info.value) == ([f"vesk.cython_pid.{cls.__name__}.compute_control"] if entry else [])
    if change == NOTHING:
        assert_step_state(c, before, NOTHING)
    else:
        assert_step_state(c, before, change, s.r - s.y, s.dt)


INIT_FAILURES = [
    case("binding", TypeError, "__init__() takes exactly 3 positional arguments (2 given)", MODULE, NOTHING,
         args=lambda s: (s.kp, s.ki)),
    case("type", TypeError, "Argument 'kd' has incorrect type (expected numpy.ndarray, got list)", PLAIN, NOTHING,
         kd=lambda s: s.kd.tolist()),
    case("buffer", ValueError, "Buffer dtype mismatch, expected 'float64_t' but got 'float'", MODULE, NOTHING,
         kd=lambda s: s.kd.astype(np.float32)),
    case("zeros_like", RuntimeError, "zeros_like", MODULE, "gains", np=lambda s: NS(zeros_like=refuse, float64=np.float64)),
    case("float64", AttributeError, "float64", MODULE, "gains", np=lambda s: NS(zeros_like=np.zeros_like)),
    case("np-missing", NameError, "name 'np' is not defined", MODULE, "gains", np=lambda s: DELETED),
    case("second-zeros_like", RuntimeError, "zeros_like", MODULE, "gains+integral",
         np=lambda s: NS(zeros_like=zeros_like_once(s.made), float64=np.float64)),
]


@pytest.mark.parametrize("cls, shape", KINDS)
@pytest.mark.parametrize("alter, exc, message, entry, change", INIT_FAILURES)
def test_init_failure_keeps_earlier_updates(mod, cls, shape, alter, exc, message, entry, change):
    c = cls(*gains(shape))
    c.compute_control(np.ones(shape), np.zeros(shape), 0.1)
    expected = fields(c)
    kp, ki, kd = gains(shape, (4.0, 5.0, 6.0))
    s = NS(kp=kp, ki=ki, kd=kd, np=None, args=None, made=[])
    apply(mod, s, alter)
    with pytest.raises(exc, match=re.escape(message)) as info:
        c.__init__(*(s.args or (s.kp, s.ki, s.kd)))
    assert entries(info.value) == ([f"vesk.cython_pid.{cls.__name__}.__init__"] if entry else [])
    if change != NOTHING:
        expected.update(kp=kp, ki=ki, kd=kd)
    if change == "gains+integral":
        expected["integral"] = s.made[0]
    f = fields(c)
    assert all(f[name] is expected[name] for name in NAMES)


@pytest.mark.parametrize("cls, shape", KINDS)
@pytest.mark.parametrize("none", ["kp", "ki", "kd", "kp+ki+kd"])
def test_none_gains(cls, shape, none):
    given = dict(zip(("kp", "ki", "kd"), gains(shape)))
    given.update((k, None) for k in none.split("+"))
    c = cls(**given)
    f = fields(c)
    template = np.zeros_like(given["kp"], dtype=np.float64)  # a 0-d array when kp is None
    assert same(f["integral"], template) and same(f["previous_error"], template)
    assert f["integral"] is not f["previous_error"] and all(f[k] is given[k] for k in ("kp", "ki", "kd"))
    before = snapshot(c)
    r, y = np.full(shape, 1.0), np.zeros(shape)
    with pytest.raises(TypeError, match=re.escape("unsupported operand type(s) for *: 'NoneType' and 'float'")) as info:
        c.compute_control(r, y, 0.1)
    assert entries(info.value) == [f"vesk.cython_pid.{cls.__name__}.compute_control"]
    # kp is the first field a step uses, before any update; ki and kd come after the integral has moved
    assert_step_state(c, before, NOTHING if none.startswith("kp") else INTEGRAL, r - y, 0.1)


@pytest.mark.parametrize("cls, shape", KINDS)
def test_without_np(mod, monkeypatch, cls, shape):
    kp, ki, kd = gains(shape)
    c, ref = cls(kp, ki, kd), Reference(kp, ki, kd)
    r, y = np.full(shape, 1.0), np.zeros(shape)
    del mod.np
    assert not hasattr(builtins, "np")
    for dt in (0.1, 0.2):  # the dt > 0 branch does not use np
        assert same(c.compute_control(r, y, dt), ref.step(r, y, dt))
    for call in (lambda: cls(kp, ki, kd), lambda: c.compute_control(r, y, 0.0)):
        with pytest.raises(NameError, match=r"^name 'np' is not defined$"):
            call()
    monkeypatch.setattr(builtins, "np", np, raising=False)  # the builtins are the fallback
    assert same(cls(kp, ki, kd).compute_control(r, y, 0.0), Reference(kp, ki, kd).step(r, y, 0.0))
