"""Companion tools for the controllers of ``vesk.cython_pid``.

The controllers keep their state in fields that are not Python attributes;
this module reads it by name and works on it between steps, without
wrapping or slowing ``compute_control``:

- ``state(c)``: the controller's integral, previous error and gains (and,
  for ``AdaptiveController``, its error history, learning rate and maximum
  adjustment) by name, as the live objects the controller steps.
- ``clamp``, ``conditional_integration``, ``back_calculation``: anti-windup,
  each one call after the step, exact for the controllers' law and
  composing with set-point weighting (``weight_setpoint``).
- ``transfer_function``, ``state_space``: the law of one element as a
  python-control model (python-control is optional and imported on use).
- ``overshoot``, ``settling_time``, ``control_effort``, ``step_metrics``:
  step-response measures in plain NumPy.

The law, element by element, with ``e = r - y`` for target ``r`` and
measurement ``y``::

    integral += e * dt                       # in place, before it is used
    derivative = (e - previous_error) / dt   # zero unless dt > 0
    u = kp * e + ki * integral + kd * derivative
    previous_error = e                       # a new array every step

``AdaptiveController`` first records ``e`` in its history of the 10 latest
errors and adds ``clip(learning_rate * mean(history) * e, -max_adjustment,
max_adjustment)`` to ``kp`` in place; the rest is the same, with the adapted
``kp``. The integral holds the sum of ``e * dt``, not of ``ki * e * dt``,
so the integral term is ``ki * integral``.

``__version__`` is the installed distribution's version.
"""

from __future__ import annotations

import dataclasses
import importlib
import importlib.metadata
import math
from collections.abc import Callable
from typing import Any, Final, TypeAlias, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from vesk import cython_pid as _cp

__all__ = [
    "AdaptiveState",
    "ControllerState",
    "StepMetrics",
    "back_calculation",
    "clamp",
    "conditional_integration",
    "control_effort",
    "overshoot",
    "settling_time",
    "state",
    "state_space",
    "step_metrics",
    "transfer_function",
    "weight_setpoint",
]

try:
    __version__: str = importlib.metadata.version("vesk-cython-pid")
except importlib.metadata.PackageNotFoundError:  # pragma: no cover - run from a source tree
    __version__ = "unknown"

Controller: TypeAlias = _cp.PIDController | _cp.PIDControllerXd | _cp.AdaptiveController
"""Any controller of ``vesk.cython_pid``, or an instance of a Python subclass of one."""

_Array: TypeAlias = NDArray[np.float64]


# --------------------------------------------------------------------------
# Named state


@dataclasses.dataclass(frozen=True, slots=True, eq=False)
class ControllerState:
    """A controller's state by name: the very arrays the controller steps.

    The attributes cannot be rebound, but the arrays are the controller's
    own, so writing into them (``s.integral[...] = 0``) changes the
    controller's next step. Whether an array stays current depends on how a
    step treats it:

    Attributes:
        integral: the running sum of ``error * dt``. Live: every step adds
            into this array in place, so it stays the controller's integral
            across steps (until ``__init__``, ``__setstate__`` or unpickling
            replaces it). Anti-windup writes here.
        previous_error: the error of the latest step (zeros before the
            first). Replaced by a new array at every step: an array taken
            before a step is stale after it; call ``state()`` again.
        kp, ki, kd: the gains the next step uses. ``PIDController`` and
            ``PIDControllerXd`` hold the caller's own arrays (no copy);
            ``AdaptiveController`` holds copies, and its ``kp`` is the
            adapted gain, which every step changes in place (live). A step
            never writes into ``ki`` or ``kd``; writing into any of the
            three changes the next step.
    """

    integral: _Array
    previous_error: _Array
    kp: _Array
    ki: _Array
    kd: _Array


@dataclasses.dataclass(frozen=True, slots=True, eq=False)
class AdaptiveState(ControllerState):
    """The state of an ``AdaptiveController``: ``ControllerState`` and more.

    Attributes:
        error_history: the 10 latest errors, shape ``(10, n)``, row 0 the
            latest (rows not reached yet are zero). Replaced by a new array
            at every step: stale after a step, like ``previous_error``.
        learning_rate, max_adjustment: the adaptation's constants, as
            Python floats (a step never changes them).

    ``kp`` is the adapted gain, changed in place by every step.
    """

    error_history: _Array
    learning_rate: float
    max_adjustment: float


_ARRAY_FIELDS: Final = ("integral", "previous_error", "kp", "ki", "kd")
_ADAPTIVE_FIELDS: Final = ("error_history", "learning_rate", "max_adjustment")


@dataclasses.dataclass(frozen=True, slots=True)
class _Layout:
    index: dict[str, int]  # field name -> position in the pickled state
    length: int  # number of fields in the pickled state


_layouts: dict[type, _Layout] = {}


# The controller classes: every class that the extension module defines.
_CLASSES: Final = frozenset(v for v in vars(_cp).values() if isinstance(v, type) and v.__module__ == _cp.__name__)


def _base_class(controller: object) -> type:
    """The class of ``vesk.cython_pid`` that ``controller`` is an instance of."""
    for klass in type(controller).__mro__:
        if klass in _CLASSES:
            return klass
    raise TypeError(f"expected a vesk.cython_pid controller, got {type(controller).__qualname__}")


def _pickled_state(base: type, controller: object) -> tuple[Any, ...]:
    """The state tuple of the base class's own pickling (the field objects themselves)."""
    reduce: Callable[[object], object] = getattr(base, "__reduce__")
    reduced = reduce(controller)  # the base's own method: a subclass's own pickling is not read
    if not isinstance(reduced, tuple):
        raise TypeError(f"cannot read the state of a {base.__qualname__}: it reduces to {reduced!r}")
    # (reconstructor, (class, checksum, None), state) or, with every field
    # None, (reconstructor, (class, checksum, state)).
    values = reduced[2] if len(reduced) >= 3 else reduced[1][2]
    if not isinstance(values, tuple):
        raise TypeError(f"cannot read the state of a {base.__qualname__}: its pickled state is not a tuple")
    return values


def _probe(base: type) -> _Layout:
    """Finds which element of ``base``'s pickled state holds which field.

    A fresh controller of ``base`` with gains, learning rate and maximum
    adjustment of distinct values is read before and after one step with
    a known error: each element is then recognised by what the step did to
    it (the integral grew by error * dt in place, the previous error became
    the error, the history gained it as row 0, the gains stayed as given).
    """
    kp, ki, kd = np.array([2.0, 2.5]), np.array([3.0, 3.5]), np.array([5.0, 5.5])
    rate, limit, dt, error = 0.0625, 0.03125, 0.5, np.array([1.0, 1.5])
    probe: Any = None
    make: Any = base
    for shape in ((2,), (1, 2)):  # one- or two-dimensional arrays
        args = [a.reshape(shape) for a in (kp, ki, kd)]
        for extra in ((rate, limit), ()):
            try:
                probe = make(*args, *extra)
                break
            except (TypeError, ValueError):
                continue
        if probe is not None:
            kp, ki, kd = args
            error = error.reshape(shape)
            break
    if probe is None:
        raise TypeError(f"cannot recognise the state of {base.__qualname__}: no probe controller could be made")
    held = _pickled_state(base, probe)  # the objects, which a step may change in place
    before = tuple(v.copy() if isinstance(v, np.ndarray) else v for v in held)
    probe.compute_control(error, np.zeros_like(error), dt)
    after = _pickled_state(base, probe)

    def equal(a: object, b: _Array) -> bool:
        return isinstance(a, np.ndarray) and a.shape == b.shape and bool(np.array_equal(a, b))

    def zero(a: object) -> bool:
        return isinstance(a, np.ndarray) and a.size > 0 and not a.any()

    # name -> test of (object held before the step, its value then, the object after the step)
    tests: dict[str, Callable[[Any, Any, Any], bool]] = {
        "integral": lambda h, b, a: zero(b) and a is h and equal(a, error * dt),  # added into in place
        "previous_error": lambda h, b, a: zero(b) and equal(a, error),
        "kp": lambda h, b, a: equal(b, kp),
        "ki": lambda h, b, a: equal(b, ki) and equal(a, ki),
        "kd": lambda h, b, a: equal(b, kd) and equal(a, kd),
        "error_history": lambda h, b, a: zero(b) and isinstance(a, np.ndarray) and a.ndim == error.ndim + 1
        and equal(a[0], error),
        "learning_rate": lambda h, b, a: type(b) is float and b == rate,
        "max_adjustment": lambda h, b, a: type(b) is float and b == limit,
    }
    index: dict[str, int] = {}
    for name, test in tests.items():
        found = [i for i, (h, b, a) in enumerate(zip(held, before, after, strict=True)) if test(h, b, a)]
        if len(found) > 1 or (not found and name in _ARRAY_FIELDS):
            raise TypeError(f"cannot recognise the state of {base.__qualname__}: "
                            f"{len(found)} elements of its pickled state look like {name!r}")
        index.update((name, i) for i in found)
    optional = [name for name in _ADAPTIVE_FIELDS if name in index]
    if sorted(index.values()) != list(range(len(before))) or optional not in ([], list(_ADAPTIVE_FIELDS)):
        raise TypeError(f"cannot recognise the state of {base.__qualname__}: "
                        f"its pickled state has {len(before)} elements, recognised {sorted(index)}")
    return _Layout(index, len(before))


@overload
def state(controller: _cp.AdaptiveController) -> AdaptiveState: ...
@overload
def state(controller: _cp.PIDController | _cp.PIDControllerXd) -> ControllerState: ...
def state(controller: Controller) -> ControllerState:
    """The controller's state by name, as the live arrays it steps.

    Works for ``PIDController``, ``PIDControllerXd``, ``AdaptiveController``
    and Python subclasses of them; an ``AdaptiveController`` gives an
    ``AdaptiveState``. See ``ControllerState`` for which arrays stay current
    across steps (the integral and the adaptive ``kp``, changed in place)
    and which a step replaces (the previous error and the history): take
    ``state(c)`` again after a step to read those, and after ``__init__``,
    ``__setstate__`` or unpickling for any of them.

    The fields are read from the controller's pickled state, whose layout is
    recognised once per class by stepping a probe controller of that class.

    Raises:
        TypeError: ``controller`` is not one of these controllers, its
            class's state cannot be recognised, or it was never initialised
            (a field is not an array).
    """
    base = _base_class(controller)
    layout = _layouts.get(base)
    if layout is None:
        try:
            layout = _probe(base)
        except TypeError:
            raise
        except Exception as exc:
            raise TypeError(f"cannot recognise the state of {base.__qualname__}: the probe failed") from exc
        _layouts[base] = layout
    values = _pickled_state(base, controller)
    if len(values) < layout.length:
        raise TypeError(f"the pickled state of this {type(controller).__qualname__} has {len(values)} elements, "
                        f"expected {layout.length}")
    fields = {name: values[i] for name, i in layout.index.items()}
    for name in _ARRAY_FIELDS + _ADAPTIVE_FIELDS[:1]:
        if name in fields and not isinstance(fields[name], np.ndarray):
            raise TypeError(f"the {name} of this {type(controller).__qualname__} is a {type(fields[name]).__name__}, "
                            "not an array: it was never initialised, or was given such a state")
    if "error_history" in fields:
        return AdaptiveState(**fields)
    return ControllerState(**fields)


# --------------------------------------------------------------------------
# Set-point weighting and anti-windup


def weight_setpoint(controller: Controller, u: ArrayLike, reference: ArrayLike, weight: float) -> _Array:
    """The step's output with the proportional term acting on ``weight * r - y``.

    Returns ``u - kp * (1 - weight) * reference``, with the ``kp`` the step
    just used (for ``AdaptiveController`` the adapted one), so call it right
    after the step, before the step's output goes anywhere else. The
    integral still acts on ``r - y``, so the loop still reaches ``r``; tell
    ``clamp`` the same weight and reference.
    """
    kp = state(controller).kp
    return np.asarray(np.asarray(u, dtype=np.float64) - kp * (1.0 - weight) * np.asarray(reference), dtype=np.float64)


def _limits(u_min: ArrayLike, u_max: ArrayLike) -> tuple[_Array, _Array]:
    lo, hi = np.asarray(u_min, dtype=np.float64), np.asarray(u_max, dtype=np.float64)
    if np.any(lo > hi):
        raise ValueError("u_min must not exceed u_max")
    return lo, hi


def clamp(controller: Controller, u_min: ArrayLike, u_max: ArrayLike, *, setpoint_weight: float = 1.0,
          reference: ArrayLike | None = None) -> None:
    """Anti-windup by clamping: bounds the integral term, in place, after a step.

    With ``w = kp * (1 - setpoint_weight) * reference`` (zero without
    set-point weighting), the integral term ``ki * integral`` is kept
    within ``[min(u_min, u_min + w), max(u_max, u_max + w)]``: the output
    limits, widened by what set-point weighting needs at steady state.
    There ``e = 0`` and ``u = ki * integral - w`` must reach any output the
    actuator can give, so the integral term has to carry ``w`` on top of
    the limits; bounding it by the limits alone (``±u_max / ki``) stops the
    loop short of the set point. The bounds are divided by ``ki`` element by
    element (a negative ``ki`` swaps them); where ``ki`` is zero the
    integral has no effect on the output and is left alone.

    Call it after each ``compute_control``; it changes the next steps, not
    the output already returned. Clip that output to the limits yourself.

    Args:
        controller: any controller of ``vesk.cython_pid``.
        u_min, u_max: the actuator's limits, scalars or arrays broadcasting
            to the integral.
        setpoint_weight: the weight ``b`` of ``weight_setpoint``.
        reference: the set point ``r``; needed when ``setpoint_weight`` is
            not 1.

    Raises:
        ValueError: ``u_min > u_max`` somewhere, or a weight without a
            reference.
        TypeError: as ``state``.
    """
    s = state(controller)
    lo, hi = _limits(u_min, u_max)
    if setpoint_weight != 1.0:
        if reference is None:
            raise ValueError("clamp: a setpoint_weight other than 1 needs the reference")
        w = s.kp * (1.0 - setpoint_weight) * np.asarray(reference, dtype=np.float64)
        lo, hi = np.minimum(lo, lo + w), np.maximum(hi, hi + w)
    with np.errstate(divide="ignore", invalid="ignore"):
        a, b = lo / s.ki, hi / s.ki
    clamped = np.clip(s.integral, np.minimum(a, b), np.maximum(a, b))
    np.copyto(s.integral, clamped, where=np.asarray(s.ki != 0))


def conditional_integration(controller: Controller, u: ArrayLike, u_min: ArrayLike, u_max: ArrayLike, dt: float,
                            *, before: ArrayLike | None = None) -> _Array:
    """Anti-windup by conditional integration: undoes this step's integration where it winds up.

    Where the output ``u`` lies beyond a limit and this step's increment
    ``error * dt`` pushed the integral term ``ki * integral`` further
    beyond it (above ``u_max`` with ``ki * error * dt > 0``, below ``u_min``
    with ``ki * error * dt < 0``), the increment is taken back out of the
    integral in place: ``integral -= error * dt`` there, with ``error`` the
    step's error (the controller's previous error, now). That is the
    integral before the step up to one rounding; pass ``before``, a copy of
    the integral taken before the step, to restore it bit for bit instead.

    Call it right after ``compute_control`` with the same ``dt``; it
    changes the next steps, not the output already returned.

    Args:
        u: the step's output as it goes to the actuator, before clipping
            (after ``weight_setpoint`` if set-point weighting is used).
        u_min, u_max: the actuator's limits.
        dt: the ``dt`` of the step.
        before: optional copy of the integral from before the step.

    Returns:
        ``u`` clipped to the limits.
    """
    s = state(controller)
    lo, hi = _limits(u_min, u_max)
    u = np.asarray(u, dtype=np.float64)
    increment = s.previous_error * float(dt)  # the very product the step added
    push = s.ki * increment
    undo = np.asarray(((u > hi) & (push > 0)) | ((u < lo) & (push < 0)))
    if before is None:
        np.subtract(s.integral, increment, out=s.integral, where=undo)
    else:
        np.copyto(s.integral, np.asarray(before), where=undo)
    return np.asarray(np.clip(u, lo, hi), dtype=np.float64)


def back_calculation(controller: Controller, u: ArrayLike, u_min: ArrayLike, u_max: ArrayLike, dt: float,
                     tracking_time: ArrayLike) -> _Array:
    """Anti-windup by back-calculation: bleeds the integral towards what the actuator gives.

    The integral term ``ki * integral`` moves by ``dt * (u_sat - u) / Tt``
    with ``u_sat`` the output clipped to the limits and ``Tt`` the tracking
    time, that is, in place::

        integral += dt * (u_sat - u) / (ki * tracking_time)

    element by element, except where ``ki`` is zero (no integral term to
    correct). It does nothing while the output is within the limits. A
    shorter ``Tt`` tracks faster; values between ``kd / kp`` and
    ``kp / ki`` are usual.

    Call it right after ``compute_control`` with the same ``dt``.

    Args:
        u: the step's output before clipping (after ``weight_setpoint`` if
            set-point weighting is used).
        u_min, u_max: the actuator's limits.
        dt: the ``dt`` of the step.
        tracking_time: ``Tt`` > 0, a scalar or an array.

    Returns:
        ``u_sat``, ``u`` clipped to the limits.

    Raises:
        ValueError: limits in the wrong order or a tracking time not > 0.
    """
    s = state(controller)
    lo, hi = _limits(u_min, u_max)
    tt = np.asarray(tracking_time, dtype=np.float64)
    if not np.all(tt > 0):
        raise ValueError("back_calculation: tracking_time must be > 0")
    u = np.asarray(u, dtype=np.float64)
    u_sat = np.asarray(np.clip(u, lo, hi), dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        correction = float(dt) * (u_sat - u) / (s.ki * tt)
    np.add(s.integral, correction, out=s.integral, where=np.asarray(s.ki != 0))
    return u_sat


# --------------------------------------------------------------------------
# The law as python-control models

Gains: TypeAlias = tuple[ArrayLike, ArrayLike, ArrayLike]
"""``(kp, ki, kd)``: numbers or arrays."""


def _control() -> Any:
    try:
        return importlib.import_module("control")
    except ImportError as exc:
        raise ImportError("this needs python-control: pip install control "
                          "(or the extra: pip install 'vesk-cython-pid[control]')") from exc


def _element_gains(controller_or_gains: Controller | Gains, dt: float,
                   index: int | tuple[int, ...] | None) -> tuple[float, float, float]:
    if not dt > 0 or not math.isfinite(dt):
        raise ValueError(f"dt must be a finite number > 0, got {dt!r}")
    if isinstance(controller_or_gains, tuple):
        if len(controller_or_gains) != 3:
            raise TypeError("gains must be a tuple (kp, ki, kd)")
        raw = controller_or_gains
    else:
        s = state(controller_or_gains)
        raw = (s.kp, s.ki, s.kd)
    kp, ki, kd = np.broadcast_arrays(*(np.asarray(g, dtype=np.float64) for g in raw))
    if index is None:
        if kp.size != 1:
            raise ValueError(f"the gains have {kp.size} elements: choose one with index=")
        return float(kp.flat[0]), float(ki.flat[0]), float(kd.flat[0])
    return float(kp[index]), float(ki[index]), float(kd[index])


def transfer_function(controller_or_gains: Controller | Gains, dt: float,
                      index: int | tuple[int, ...] | None = None) -> Any:
    """The law of one element as a discrete python-control transfer function.

    From the error to the output, with sample time ``dt``::

        C(z) = kp + ki * dt * z / (z - 1) + kd * (z - 1) / (dt * z)
             = ((kp + ki*dt + kd/dt) z^2 - (kp + 2*kd/dt) z + kd/dt) / (z^2 - z)

    (the integral is updated before it is used, hence ``z / (z - 1)``).
    It holds for steps of this ``dt`` (a step with ``dt <= 0`` has no
    derivative term and is outside the model) and, for
    ``AdaptiveController``, for the gains as they are now (with a learning
    rate of 0 they stay so).

    Args:
        controller_or_gains: a controller (its current gains are read) or a
            tuple ``(kp, ki, kd)`` of numbers or arrays.
        dt: the sample time, > 0.
        index: the element of the (broadcast) gain arrays, an int or a
            tuple for two dimensions; may be omitted for one-element gains.

    Returns:
        A ``control.TransferFunction``.

    Raises:
        ImportError: python-control is not installed.
        ValueError: ``dt`` not > 0, or several elements and no ``index``.
    """
    kp, ki, kd = _element_gains(controller_or_gains, dt, index)
    control = _control()
    num = [kp + ki * dt + kd / dt, -(kp + 2.0 * kd / dt), kd / dt]
    return control.tf(num, [1.0, -1.0, 0.0], dt)


def state_space(controller_or_gains: Controller | Gains, dt: float,
                index: int | tuple[int, ...] | None = None) -> Any:
    """The law of one element as a discrete python-control state-space system.

    The state is ``x = [integral, previous_error]`` as they stand before a
    step, the input the error ``e``, the output ``u``::

        x[k+1] = [[1, 0], [0, 0]] x[k] + [[dt], [1]] e[k]
        u[k]   = [ki, -kd/dt] x[k] + (kp + ki*dt + kd/dt) e[k]

    which is the controller's step for that ``dt``. To continue from a
    running controller, start from ``X0 = [state(c).integral[i],
    state(c).previous_error[i]]``. Arguments, limits and errors as
    ``transfer_function``.

    Returns:
        A ``control.StateSpace``.
    """
    kp, ki, kd = _element_gains(controller_or_gains, dt, index)
    control = _control()
    return control.ss([[1.0, 0.0], [0.0, 0.0]], [[dt], [1.0]], [[ki, -kd / dt]], [[kp + ki * dt + kd / dt]], dt)


# --------------------------------------------------------------------------
# Step-response metrics


def _series(name: str, values: ArrayLike) -> _Array:
    a = np.asarray(values, dtype=np.float64)
    if a.ndim != 1 or a.size == 0:
        raise ValueError(f"{name} must be a non-empty one-dimensional series, got shape {a.shape}")
    return a


def _move(y: _Array, setpoint: float, initial: float | None) -> tuple[float, float]:
    start = float(y[0]) if initial is None else float(initial)
    move = float(setpoint) - start
    if move == 0.0:
        raise ValueError("the set point equals the initial value: there is no move to measure against")
    return start, move


def overshoot(y: ArrayLike, setpoint: float, *, initial: float | None = None) -> float:
    """Percent overshoot: how far ``y`` went past the set point, in percent of the move.

    ``100 * max(0, max((y - setpoint) * sign(move))) / |move|`` with
    ``move = setpoint - initial``; ``initial`` defaults to ``y[0]``. Works
    for moves in either direction; 0.0 when ``y`` never passes the set
    point.
    """
    a = _series("y", y)
    _, move = _move(a, setpoint, initial)
    past = float(np.max((a - setpoint) * math.copysign(1.0, move)))
    return 100.0 * max(0.0, past) / abs(move)


def settling_time(t: ArrayLike, y: ArrayLike, setpoint: float, *, band: float = 0.02,
                  initial: float | None = None) -> float:
    """Time from ``t[0]`` until ``y`` stays within ``band`` of the move around the set point.

    The band is ``|y - setpoint| <= band * |setpoint - initial|`` (default
    2 %; ``initial`` defaults to ``y[0]``). Returns ``t[k] - t[0]`` for the
    first sample ``k`` from which every later sample is inside the band:
    0.0 if all are, ``math.inf`` if the last sample is outside.
    """
    ts, a = _series("t", t), _series("y", y)
    if ts.shape != a.shape:
        raise ValueError("t and y must have the same length")
    _, move = _move(a, setpoint, initial)
    outside = np.flatnonzero(np.abs(a - setpoint) > band * abs(move))
    if outside.size == 0:
        return 0.0
    if outside[-1] == a.size - 1:
        return math.inf
    return float(ts[outside[-1] + 1] - ts[0])


def control_effort(t: ArrayLike, u: ArrayLike) -> float:
    """The integral of ``|u|`` over time, each sample held until the next.

    ``sum(|u[k]| * (t[k+1] - t[k]))``, the last sample held for the same
    interval as the one before it: for samples every ``dt`` this is
    ``dt * sum(|u|)``.
    """
    ts, a = _series("t", t), _series("u", u)
    if ts.shape != a.shape or ts.size < 2:
        raise ValueError("t and u must have the same length, at least 2")
    held = np.diff(ts)
    return float(np.sum(np.abs(a) * np.append(held, held[-1])))


@dataclasses.dataclass(frozen=True, slots=True)
class StepMetrics:
    """Measures of a step response (see the functions of the same names).

    Attributes:
        overshoot: percent of the move past the set point.
        settling_time: time to stay within the band, ``math.inf`` if never.
        control_effort: the integral of ``|u|``, or None without ``u``.
    """

    overshoot: float
    settling_time: float
    control_effort: float | None


def step_metrics(t: ArrayLike, y: ArrayLike, setpoint: float, u: ArrayLike | None = None, *, band: float = 0.02,
                 initial: float | None = None) -> StepMetrics:
    """``overshoot``, ``settling_time`` and (given ``u``) ``control_effort`` of one response."""
    return StepMetrics(overshoot(y, setpoint, initial=initial),
                       settling_time(t, y, setpoint, band=band, initial=initial),
                       None if u is None else control_effort(t, u))
