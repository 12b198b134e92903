"""vesk.pid_tools: the state by name, anti-windup, the law as python-control models, step metrics."""

import math
import sys

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

import vesk.cython_pid as cp
from vesk import pid_tools as pt
from conftest import CLASSES as ALL, NDIM, base


class SubXd(cp.PIDControllerXd):
    pass


class SubAdaptive(cp.AdaptiveController):
    def __reduce__(self):  # its own pickling must not change what state() reads
        return (SubAdaptive, ())


CLASSES = [*ALL, SubXd, SubAdaptive]
IDS = [c.__name__ for c in CLASSES]


def arr(cls, *values):
    """A float64 array in the class's dimensions: as given, or a column for the 2-D class."""
    a = np.array(values, dtype=np.float64)
    return a if NDIM[base(cls)] == 1 else a.reshape(-1, 1)


def make(cls, kp, ki, kd, rate=0.0):
    c = cls(arr(cls, *kp), arr(cls, *ki), arr(cls, *kd), *([rate] if adaptive(cls) else []))
    if cls in (SubXd, SubAdaptive):
        c.tag = "attrs"  # an instance dictionary: one more element in the pickled state
    return c


def adaptive(cls):
    return issubclass(cls, cp.AdaptiveController)


class Law:
    """The controllers' law in plain NumPy (the adaptive part when a learning rate is given)."""

    def __init__(self, kp, ki, kd, rate=None, limit=0.1):
        self.kp, self.ki, self.kd, self.rate, self.limit = kp.copy(), ki, kd, rate, limit
        self.integral, self.previous_error = np.zeros_like(kp), np.zeros_like(kp)
        self.error_history = np.zeros((10,) + kp.shape)

    def step(self, r, y, dt):
        e = r - y
        if self.rate is not None:
            self.error_history = np.roll(self.error_history, 1, axis=0)
            self.error_history[0] = e
            self.kp = self.kp + np.clip(self.rate * np.mean(self.error_history, axis=0) * e, -self.limit, self.limit)
        self.integral = self.integral + e * dt
        d = (e - self.previous_error) / dt
        self.previous_error = e
        return self.kp * e + self.ki * self.integral + self.kd * d


@pytest.mark.parametrize("cls", CLASSES, ids=IDS)
def test_state_names_the_live_fields(cls):
    c = make(cls, (2.0, 3.0), (0.5, 0.25), (0.1, 0.2), rate=0.05)
    law = Law(arr(cls, 2.0, 3.0), arr(cls, 0.5, 0.25), arr(cls, 0.1, 0.2), rate=0.05 if adaptive(cls) else None)
    rng = np.random.default_rng(7)
    for _ in range(4):
        r, y = arr(cls, *rng.normal(size=2)), arr(cls, *rng.normal(size=2))
        assert_array_equal(c.compute_control(r, y, 0.1), law.step(r, y, 0.1))
    s = pt.state(c)
    names = ["integral", "previous_error", "kp", "ki", "kd"] + ["error_history"] * adaptive(cls)
    for name in names:
        assert_array_equal(getattr(s, name), getattr(law, name), err_msg=name)
    assert isinstance(s, pt.AdaptiveState) == adaptive(cls)
    if adaptive(cls):
        assert (s.learning_rate, s.max_adjustment) == (0.05, 0.1)
    # Writing into the integral changes the next step as the law says; the
    # integral and the adaptive kp stay live, the previous error is replaced.
    s.integral[...] += 0.75
    law.integral = law.integral + 0.75
    assert_array_equal(c.compute_control(r, r - 1.0, 0.1), law.step(r, r - 1.0, 0.1))
    after = pt.state(c)
    assert after.integral is s.integral and after.kp is s.kp and after.previous_error is not s.previous_error
    assert_array_equal(s.kp, law.kp)


@pytest.mark.parametrize("obj", [object(), np.zeros(2), cp.PIDController.__new__(cp.PIDController),
                                 cp.AdaptiveController.__new__(cp.AdaptiveController)])
def test_state_refuses_what_is_not_an_initialised_controller(obj):
    with pytest.raises(TypeError):
        pt.state(obj)


# A 2 kg cart with friction (m x'' + c x' = u) behind a +-20 N actuator, gains
# for three poles at -4 rad/s: the P term alone asks 96 N per metre moved.
M, C, U_MAX, DT = 2.0, 1.0, 20.0, 0.01
MOVE = (1.0, -0.5)


def saturating_loop(cls, mode, weight=0.5, seconds=8.0):
    """Positions at the end of a set-point weighted move, with one kind of anti-windup."""
    w = 4.0
    kp, ki, kd = [3 * M * w**2] * 2, [M * w**3] * 2, [3 * M * w - C] * 2
    c, r = make(cls, kp, ki, kd, rate=0.01), arr(cls, *MOVE)
    x, v = np.zeros_like(r), np.zeros_like(r)
    for _ in range(round(seconds / DT)):
        u = pt.weight_setpoint(c, c.compute_control(r, x, DT), r, weight)
        if mode == "clamp":
            pt.clamp(c, -U_MAX, U_MAX, setpoint_weight=weight, reference=r)
        elif mode == "clamp to the limits alone":
            pt.clamp(c, -U_MAX, U_MAX)
        elif mode == "conditional":
            u = pt.conditional_integration(c, u, -U_MAX, U_MAX, DT)
        else:
            u = pt.back_calculation(c, u, -U_MAX, U_MAX, DT, tracking_time=0.5 * kd[0] / kp[0])
        v = v + (np.clip(u, -U_MAX, U_MAX) - C * v) / M * DT
        x = x + v * DT
    return x.ravel()


# The last mode bounds the integral term by the limits alone: it cannot carry
# kp * (1 - b) * r = 48 N within +-20 N, and the loop stalls at 71 % of the move.
@pytest.mark.parametrize("mode, reached", [("clamp", 1.0), ("conditional", 1.0), ("back-calculation", 1.0),
                                           ("clamp to the limits alone", (0.71, 0.92))])
@pytest.mark.parametrize("cls", CLASSES, ids=IDS)
def test_anti_windup_with_setpoint_weighting_reaches_the_setpoint(cls, mode, reached):
    assert_allclose(saturating_loop(cls, mode) / MOVE, reached, atol=0.01)


@pytest.mark.parametrize("cls", CLASSES, ids=IDS)
def test_anti_windup_updates_the_integral_by_its_formula(cls):
    # ki positive, negative, zero, positive; this step's errors 1, 1, 1, -1.
    c = make(cls, (4.0,) * 4, (2.0, -2.0, 0.0, 2.0), (0.1,) * 4)
    r, dt, tt = arr(cls, 1.0, 1.0, 1.0, 1.0), 0.1, 0.3
    c.compute_control(r, arr(cls, 0.3, -0.2, 0.5, 0.7), dt)
    s = pt.state(c)
    before = s.integral.copy()
    c.compute_control(r, arr(cls, 0.0, 0.0, 0.0, 2.0), dt)
    after, u = s.integral.copy(), arr(cls, 30.0, 30.0, 30.0, -30.0)
    wound = arr(cls, 1, 0, 0, 1) == 1  # past the limit the increment pushes towards (ki * e of that sign)

    assert_array_equal(pt.conditional_integration(c, u, -U_MAX, U_MAX, dt), np.clip(u, -U_MAX, U_MAX))
    assert_array_equal(s.integral, np.where(wound, after - pt.state(c).previous_error * dt, after))
    s.integral[...] = after
    pt.conditional_integration(c, u, -U_MAX, U_MAX, dt, before=before)
    assert_array_equal(s.integral, np.where(wound, before, after))

    s.integral[...] = after
    pt.back_calculation(c, u, -U_MAX, U_MAX, dt, tt)
    with np.errstate(divide="ignore"):
        bled = after + dt * (np.clip(u, -U_MAX, U_MAX) - u) / (s.ki * tt)
    assert_array_equal(s.integral, np.where(s.ki != 0, bled, after))

    # b = 0.5, r = 1: the integral term must carry kp * 0.5 = 2 on top of the limits [0, 20].
    s.integral[...] = arr(cls, 50.0, 50.0, 50.0, -50.0)
    pt.clamp(c, 0.0, U_MAX, setpoint_weight=0.5, reference=r)
    assert_array_equal(s.integral, arr(cls, 11.0, 0.0, 50.0, 0.0))


@pytest.mark.filterwarnings("ignore::DeprecationWarning:control")  # its own use of NumPy
@pytest.mark.parametrize("cls", CLASSES, ids=IDS)
def test_the_models_are_the_law_python_control_runs(cls):
    control = pytest.importorskip("control")
    dt, n = 0.01, 400
    a, b = np.array([[1.0, dt], [0.0, 0.98]]), np.array([[0.0], [dt]])
    plant = control.ss(a, b, [[1.0, 0.0]], [[0.0]], dt)
    c = make(cls, (8.0, 12.0, 5.0), (4.0, 10.0, 0.0), (1.0, 0.5, 2.0))
    r, x, y = arr(cls, 1.0, 1.0, 1.0), np.zeros((2, 3)), []
    for _ in range(n):  # the same plant around the real controller, three loops at once
        y.append(x[0].copy())
        x = a @ x + b * c.compute_control(r, arr(cls, *x[0]), dt).ravel()
    y = np.array(y)
    for i in range(3):
        index = i if NDIM[base(cls)] == 1 else (i, 0)
        model = pt.state_space(c, dt, index=index)
        loop = control.feedback(plant * model, 1)
        expected = np.ravel(control.forced_response(loop, np.arange(n) * dt, np.ones(n)).outputs)
        assert np.max(np.abs(y[:, i] - expected)) <= 100 * np.spacing(np.max(np.abs(expected)))
        tf = pt.transfer_function(c, dt, index=index)
        for z in (1.5, 0.3 + 0.8j, -2.0):
            assert_allclose(complex(tf(z)), complex(model(z)), rtol=1e-12)
    # Element 2's model, started from the controller's state, goes on as the controller does.
    s, e = pt.state(c), np.random.default_rng(3).normal(size=(50, 3))
    x0 = [s.integral.ravel()[2], s.previous_error.ravel()[2]]
    u = [c.compute_control(arr(cls, *row), arr(cls, 0, 0, 0), dt).ravel()[2] for row in e]
    u_model = control.forced_response(model, np.arange(50) * dt, e[:, 2], X0=x0).outputs
    assert np.max(np.abs(u - u_model)) <= 16 * np.spacing(np.max(np.abs(u)))


def test_the_models_refuse_clearly(monkeypatch):
    with pytest.raises(ValueError, match="index="):
        pt.transfer_function((np.ones(2), 1.0, 1.0), 0.1)
    with pytest.raises(ValueError, match="dt"):
        pt.state_space((1.0, 1.0, 1.0), 0.0)
    monkeypatch.setitem(sys.modules, "control", None)
    with pytest.raises(ImportError, match="pip install control"):
        pt.state_space((1.0, 1.0, 1.0), 0.1)


def test_step_metrics_of_known_responses():
    t = np.linspace(0.0, 20.0, 200_001)
    zeta, wn = 0.3, 2.0  # second order: overshoots 100 exp(-pi zeta / sqrt(1 - zeta^2)) %
    root = math.sqrt(1 - zeta**2)
    y = 1 - np.exp(-zeta * wn * t) * (np.cos(wn * root * t) + zeta / root * np.sin(wn * root * t))
    assert pt.overshoot(3.0 * y, 3.0) == pytest.approx(100 * math.exp(-math.pi * zeta / root), rel=1e-6)
    assert pt.overshoot(-y, -1.0) == pt.overshoot(y, 1.0)  # a move downwards
    first = 2.0 - np.exp(-t / 0.5)  # from 1 to 2 with tau = 0.5: within 2 % after tau * ln 50
    m = pt.step_metrics(t, first, 2.0, np.cos(t))
    assert m.overshoot == 0.0 and m.settling_time - 1e-4 < 0.5 * math.log(50) <= m.settling_time  # first sample in
    assert m.control_effort == pytest.approx(12.0 + math.sin(20.0 - 6 * math.pi), rel=1e-4)  # the integral of |cos|
    assert pt.settling_time(t, t, 40.0) == math.inf  # still outside the band at the end
