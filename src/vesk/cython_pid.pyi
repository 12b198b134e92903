"""Discrete PID and adaptive controllers over NumPy float64 arrays.

One ``compute_control(target_position, current_position, dt)`` call is one
time step: it returns the control signal as a new float64 array and updates
the state the controller keeps between calls.

- ``PIDController``: 1-D arrays, one gain per controlled coordinate.
- ``PIDControllerXd``: the same law over 2-D arrays.
- ``AdaptiveController``: 1-D arrays; Kp adapts at every step from the
  10 latest errors.

Array arguments must be ``numpy.ndarray`` instances of native-byte-order
float64 with the class's number of dimensions; any strides (slices,
transposes, read-only arrays) work without a copy. Lists, other dtypes and
other shapes raise; convert with ``np.asarray(x, dtype=np.float64)``.
``np.asarray`` also turns subclasses into plain arrays, which matters: an
``np.matrix`` multiplies as matrices, and a masked array feeds the data
under its mask into the state.

There is no clamp, anti-windup or derivative filter; the only reset is
calling ``__init__`` again. Every controller pickles with its full state and
continues exactly where it was. The compiled module carries no docstrings
(``help()`` shows none): the help lives in this stub file.
"""

# Arrays are NumPy float64 arrays of one dimension (PIDController,
# AdaptiveController) or two (PIDControllerXd); NumPy's typing cannot state
# the number of dimensions, so the signatures say NDArray[numpy.float64]
# (spelt out, so editors show it as it is) and the module checks the rest
# when it is called.
#
# `None` is typed where a call with it can succeed: the gains of the two PID
# classes (the first step then fails on that gain) and the state handed to a
# reconstructor. Elsewhere None passes the argument checks but the operation
# itself raises, so the stubs refuse it.
#
# Numbers (dt, learning_rate, max_adjustment) are typed as what the module
# converts with float(): anything with __float__ or __index__ (float, int,
# numpy.float32, numpy.int64, Fraction, Decimal, a 0-d array).
#
# The pickled state is typed per class, field by field (the tuple in
# alphabetical order of the field names), so code that reads it, say the
# integral for anti-windup, gets arrays and floats, not Any. A Python
# subclass with its own attributes appends its __dict__ as one more element,
# and a controller never initialised reduces to a two-element value; neither
# is in these types.
#
# Type checkers take parameters spelt with two leading underscores
# (__pyx_state, ...) as positional-only; the module accepts them by keyword too.
from collections.abc import Callable
from typing import Any, Self, SupportsFloat, SupportsIndex, SupportsInt

import numpy
from numpy.typing import NDArray
from typing_extensions import disjoint_base

# The module-level name the controllers reach NumPy through, looked up at
# every use: rebinding it changes what the next call uses.
np = numpy

__test__: dict[str, Any]

_State = tuple[Any, ...]
_Array = NDArray[numpy.float64]

# (integral, kd, ki, kp, previous_error): the gains are the caller's arrays,
# or None where __init__ was given None.
_PIDState = tuple[_Array, _Array | None, _Array | None, _Array | None, _Array]
# (error_history, integral, kd, ki, kp, learning_rate, max_adjustment,
# previous_error): kp is the adapted gain; learning_rate and max_adjustment
# are stored as Python floats.
_AdaptiveState = tuple[_Array, _Array, _Array, _Array, _Array, float, float, _Array]

@disjoint_base
class PIDController:
    """PID controller over 1-D float64 arrays.

    With ``e = target_position - current_position``, one step does::

        integral += e * dt                      # in place, before it is used
        derivative = (e - previous_error) / dt  # zeros if not dt > 0
        u = (kp * e + ki * integral) + kd * derivative
        previous_error = e

    and returns ``u``. All arithmetic is NumPy's, element by element with
    broadcasting. The previous error starts at zero, so the first step's
    derivative term is ``kd * e / dt``. Changing ``ki`` rescales the whole
    accumulated integral at once (the integral stores the sum of ``e * dt``,
    not of ``ki * e * dt``).

    The gains are kept by reference. The state is not made of attributes:
    ``vesk.pid_tools.state(c)`` gives it by name (``.integral``,
    ``.previous_error``, the gains), the controller's own objects; pickling
    stores it as ``(integral, kd, ki, kp, previous_error)``.
    Steps from several threads interleave as the law written with NumPy
    would (a large step's native kernel alone is waited for), and no call
    waits for Python code.
    """

    def __init__(
        self, kp: NDArray[numpy.float64] | None, ki: NDArray[numpy.float64] | None, kd: NDArray[numpy.float64] | None
    ) -> None:
        """Sets the gains and zeroes the state.

        Args:
            kp, ki, kd: 1-D float64 arrays. They are kept, not copied: a
                change made to them in place shows in the next step, and the
                controller never writes into them, so one array may serve
                several gains or controllers.

        The integral and the previous error become zero arrays shaped like
        ``kp``. Calling ``__init__`` again on a live controller resets it
        (the only reset there is). ``None`` is accepted for a gain, but the
        first step then fails on it.

        Raises:
            TypeError: a gain is not a ``numpy.ndarray``; a wrong number of
                arguments or an unknown keyword.
            ValueError: a gain is not native float64 ("Buffer dtype
                mismatch ...") or not 1-D ("Buffer has wrong number of
                dimensions ..."). Nothing is changed then.
        """

    def compute_control(
        self, target_position: NDArray[numpy.float64], current_position: NDArray[numpy.float64], dt: SupportsFloat | SupportsIndex
    ) -> NDArray[numpy.float64]:
        """One control step; returns the control signal as a new array.

        Args:
            target_position: the reference r, a 1-D float64 array.
            current_position: the measurement y, a 1-D float64 array.
            dt: the time since the previous step, anything ``float()``
                accepts. ``dt > 0``: the full law. ``dt == 0``: no derivative
                term, the integral holds. ``dt < 0``: no derivative term, the
                integral moves against the error. NaN: no derivative term and
                the integral turns NaN for good, until ``__init__``.

        Shapes follow NumPy's broadcasting against the gains, except that
        the integral (shaped like ``kp``) is updated in place and cannot
        grow: positions larger than ``kp`` fail.

        Returns:
            ``u = kp*e + ki*integral + kd*derivative``, a new float64 array
            that the controller does not keep.

        Raises:
            TypeError: a position is not a ``numpy.ndarray``; ``dt`` is not a
                number; a gain is ``None``.
            ValueError: a position is not native float64 or not 1-D (the
                state is unchanged then); shapes that do not broadcast
                (NumPy's error, raised part-way through the step: the
                updates made before it stay).
        """

    def __reduce__(self) -> tuple[Callable[..., Self], tuple[type[Self], int, None], _PIDState]:
        """Pickling: ``(reconstructor, (class, checksum, None), state)``.

        ``state`` is ``(integral, kd, ki, kp, previous_error)``: the very
        objects the controller holds (the caller's gain arrays included, so
        arrays shared within one pickle stay shared after loading), plus the
        instance ``__dict__`` of a Python subclass. ``pickle.loads`` rebuilds
        the controller without ``__init__`` and it continues exactly where
        it was. A controller never initialised reduces to
        ``(reconstructor, (class, checksum, state))``.

        The state is typed field by field: its integral (which every step
        updates in place) is an ``NDArray[numpy.float64]`` to a type checker.
        Read it by name with ``vesk.pid_tools.state(c).integral``.
        """

    def __reduce_cython__(self) -> tuple[Callable[..., Self], tuple[type[Self], int, None], _PIDState]:
        """The same as ``__reduce__``."""

    def __setstate__(self, __pyx_state: _State) -> None:
        """Replaces the state with a tuple as ``__reduce__`` returns it.

        The elements are stored as they are, not copied or checked:
        ``(integral, kd, ki, kp, previous_error[, __dict__])``. Restoring a
        fresh controller's state with ``previous_error`` set to the first
        error makes the first step bumpless (no derivative kick).

        Raises:
            TypeError: the state is ``None`` or not exactly a ``tuple``;
                nothing is changed then.
            IndexError: the tuple is too short; the fields before the
                missing one are already replaced.
        """

    def __setstate_cython__(self, __pyx_state: _State) -> None:
        """The same as ``__setstate__``."""

@disjoint_base
class PIDControllerXd:
    """PID controller over 2-D float64 arrays: the law of ``PIDController``.

    The gains, positions and state are 2-D arrays (for example vehicles x
    axes); everything else, including pickling with the state
    ``(integral, kd, ki, kp, previous_error)``, is as in ``PIDController``.
    """

    def __init__(
        self, kp: NDArray[numpy.float64] | None, ki: NDArray[numpy.float64] | None, kd: NDArray[numpy.float64] | None
    ) -> None:
        """Sets the gains (2-D float64 arrays, kept, not copied) and zeroes the state.

        As ``PIDController.__init__``, with two dimensions instead of one.
        """

    def compute_control(
        self, target_position: NDArray[numpy.float64], current_position: NDArray[numpy.float64], dt: SupportsFloat | SupportsIndex
    ) -> NDArray[numpy.float64]:
        """One control step over 2-D arrays; returns the control signal as a new array.

        As ``PIDController.compute_control``, with two dimensions instead of
        one. An ``np.matrix`` multiplies as matrices here: pass
        ``np.asarray(x)``.
        """

    def __reduce__(self) -> tuple[Callable[..., Self], tuple[type[Self], int, None], _PIDState]:
        """Pickling, as ``PIDController.__reduce__``."""

    def __reduce_cython__(self) -> tuple[Callable[..., Self], tuple[type[Self], int, None], _PIDState]:
        """The same as ``__reduce__``."""

    def __setstate__(self, __pyx_state: _State) -> None:
        """Replaces the state, as ``PIDController.__setstate__``."""

    def __setstate_cython__(self, __pyx_state: _State) -> None:
        """The same as ``__setstate__``."""

@disjoint_base
class AdaptiveController:
    """PID controller over 1-D float64 arrays whose Kp adapts at every step.

    With ``e = target_position - current_position``, λ the learning rate and
    M the maximum adjustment, one step does::

        history = the 10 latest errors, row 0 = e (rows not reached: zero)
        kp += clip(λ * mean(history, axis=0) * e, -M, M)   # in place
        integral += e * dt
        derivative = (e - previous_error) / dt             # zeros if not dt > 0
        u = (kp * e + ki * integral) + kd * derivative
        previous_error = e.copy()

    Kp grows where the error and its recent mean share a sign and shrinks
    where they differ, by at most M per step; nothing bounds Kp itself. The
    step is per call, not per second: adaptation speed follows the sample
    rate. Under zero-mean noise of variance σ² Kp drifts upward by about
    λσ²/10 per step. Ki and Kd stay as given.

    The state is not made of attributes: ``vesk.pid_tools.state(c)`` gives
    it by name (``.error_history``, ``.integral``, ``.kp``, the adapted gain,
    and the rest), the controller's own objects; pickling stores it as
    ``(error_history, integral, kd, ki, kp, learning_rate, max_adjustment,
    previous_error)``.
    """

    def __init__(
        self,
        initial_kp: NDArray[numpy.float64],
        initial_ki: NDArray[numpy.float64],
        initial_kd: NDArray[numpy.float64],
        learning_rate: SupportsFloat | SupportsIndex = 0.01,
        max_adjustment: SupportsFloat | SupportsIndex = 0.1,
    ) -> None:
        """Copies the gains and zeroes the state.

        Args:
            initial_kp, initial_ki, initial_kd: 1-D float64 arrays, copied:
                later changes to them do not reach the controller, and the
                adapted Kp does not reach ``initial_kp``.
            learning_rate: λ, default 0.01; anything ``float()`` accepts.
            max_adjustment: M, the largest change of each Kp element in one
                step, default 0.1.

        The integral and previous error become zeros shaped like
        ``initial_kp``, the history a (10, n) zero array. Calling
        ``__init__`` again on a live controller resets it. Values are not
        checked: a negative λ or M goes to NumPy as it is.

        Raises:
            TypeError: a gain is not a ``numpy.ndarray``; λ or M is not a
                number; a wrong number of arguments or an unknown keyword.
            ValueError: a gain is not native float64 or not 1-D.
            AttributeError: a gain is ``None``.
        """

    def compute_control(
        self, target_position: NDArray[numpy.float64], current_position: NDArray[numpy.float64], dt: SupportsFloat | SupportsIndex
    ) -> NDArray[numpy.float64]:
        """One adaptation and control step; returns the control signal as a new array.

        Args:
            target_position, current_position: 1-D float64 arrays, r and y.
            dt: as in ``PIDController.compute_control``; Kp adapts and the
                history is recorded whatever ``dt`` is.

        Returns:
            ``u = kp*e + ki*integral + kd*derivative`` with the adapted Kp,
            a new float64 array that the controller does not keep.

        Raises:
            TypeError, ValueError: as ``PIDController.compute_control``.
        """

    def __reduce__(self) -> tuple[Callable[..., Self], tuple[type[Self], int, None], _AdaptiveState]:
        """Pickling: ``(reconstructor, (class, checksum, None), state)``.

        ``state`` is ``(error_history, integral, kd, ki, kp, learning_rate,
        max_adjustment, previous_error)``, the objects the controller holds,
        plus the instance ``__dict__`` of a Python subclass. The restored
        controller continues exactly where this one was, adapted Kp
        included. The state is typed field by field: the adapted Kp is an
        ``NDArray[numpy.float64]``, the learning rate a ``float``. Read them
        by name with ``vesk.pid_tools.state(c)``.
        """

    def __reduce_cython__(self) -> tuple[Callable[..., Self], tuple[type[Self], int, None], _AdaptiveState]:
        """The same as ``__reduce__``."""

    def __setstate__(self, __pyx_state: _State) -> None:
        """Replaces the state with a tuple as ``__reduce__`` returns it.

        The eight elements are stored as they are, not copied or checked.

        Raises:
            TypeError: the state is ``None`` or not exactly a ``tuple``;
                nothing is changed then.
            IndexError: the tuple is too short; the fields before the
                missing one are already replaced.
        """

    def __setstate_cython__(self, __pyx_state: _State) -> None:
        """The same as ``__setstate__``."""

# Reconstructors named by every pickle: they check the layout checksum,
# create the object without __init__ and, given a state tuple, apply it.
def __pyx_unpickle_PIDController(
    __pyx_type: type[PIDController], __pyx_checksum: SupportsInt, __pyx_state: _State | None
) -> PIDController:
    """Rebuilds a ``PIDController`` (or subclass) from a pickle without running ``__init__``.

    Raises ``pickle.PickleError`` ("Incompatible checksums ...") when the
    checksum belongs to another field layout, before any object is made.
    """

def __pyx_unpickle_PIDControllerXd(
    __pyx_type: type[PIDControllerXd], __pyx_checksum: SupportsInt, __pyx_state: _State | None
) -> PIDControllerXd:
    """Rebuilds a ``PIDControllerXd`` (or subclass) from a pickle without running ``__init__``.

    Raises ``pickle.PickleError`` when the checksum belongs to another layout.
    """

def __pyx_unpickle_AdaptiveController(
    __pyx_type: type[AdaptiveController], __pyx_checksum: SupportsInt, __pyx_state: _State | None
) -> AdaptiveController:
    """Rebuilds an ``AdaptiveController`` (or subclass) from a pickle without running ``__init__``.

    Raises ``pickle.PickleError`` when the checksum belongs to another layout.
    """
