# Type stubs for the native extension vesk.cython_pid.
#
# Arrays are NumPy float64 arrays of one dimension (PIDController,
# AdaptiveController) or two (PIDControllerXd); NumPy's typing cannot state
# the number of dimensions, so the stubs say NDArray[np.float64] and the
# module checks the rest when it is called.
#
# `None` is typed where a call with it can succeed: the gains of the two PID
# classes (the first step then fails on that gain) and the state handed to a
# reconstructor. Elsewhere None passes the argument checks but the operation
# itself raises, so the stubs refuse it.
#
# Type checkers take parameters spelt with two leading underscores
# (__pyx_state, ...) as positional-only; the module accepts them by keyword too.
from typing import Any, SupportsInt

import numpy
from numpy.typing import NDArray
from typing_extensions import disjoint_base

# The module-level name the controllers reach NumPy through, looked up at
# every use: rebinding it changes what the next call uses.
np = numpy

__test__: dict[str, Any]

_Array = NDArray[numpy.float64]
_State = tuple[Any, ...]

@disjoint_base
class PIDController:
    # The gain arrays are kept by reference (no copy).
    def __init__(self, kp: _Array | None, ki: _Array | None, kd: _Array | None) -> None: ...
    def compute_control(self, target_position: _Array, current_position: _Array, dt: float) -> _Array: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __reduce_cython__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, __pyx_state: _State) -> None: ...
    def __setstate_cython__(self, __pyx_state: _State) -> None: ...

@disjoint_base
class PIDControllerXd:
    def __init__(self, kp: _Array | None, ki: _Array | None, kd: _Array | None) -> None: ...
    def compute_control(self, target_position: _Array, current_position: _Array, dt: float) -> _Array: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __reduce_cython__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, __pyx_state: _State) -> None: ...
    def __setstate_cython__(self, __pyx_state: _State) -> None: ...

@disjoint_base
class AdaptiveController:
    # The gains are copied; kp then adapts inside the controller.
    def __init__(
        self,
        initial_kp: _Array,
        initial_ki: _Array,
        initial_kd: _Array,
        learning_rate: float = ...,
        max_adjustment: float = ...,
    ) -> None: ...
    def compute_control(self, target_position: _Array, current_position: _Array, dt: float) -> _Array: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __reduce_cython__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, __pyx_state: _State) -> None: ...
    def __setstate_cython__(self, __pyx_state: _State) -> None: ...

# Reconstructors named by every pickle: they check the layout checksum,
# create the object without __init__ and, given a state tuple, apply it.
def __pyx_unpickle_PIDController(
    __pyx_type: type[PIDController], __pyx_checksum: SupportsInt, __pyx_state: _State | None
) -> PIDController: ...
def __pyx_unpickle_PIDControllerXd(
    __pyx_type: type[PIDControllerXd], __pyx_checksum: SupportsInt, __pyx_state: _State | None
) -> PIDControllerXd: ...
def __pyx_unpickle_AdaptiveController(
    __pyx_type: type[AdaptiveController], __pyx_checksum: SupportsInt, __pyx_state: _State | None
) -> AdaptiveController: ...
