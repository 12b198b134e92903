"""Argument binding, number conversions and argument type tests of every callable."""

import ctypes
import fractions
import math
import pickle
import traceback
import warnings
from typing import Callable, NamedTuple

import numpy as np
import pytest

import vesk.cython_pid as cp
from conftest import CLASSES as ALL, NDIM, checksums, f64, entries, names

A, B = f64(1.0, 2.0), f64(0.5, 0.25)
A2, B2 = np.array([[1.0, 2.0], [3.0, 4.0]]), np.array([[0.5, 0.25], [2.0, 1.0]])
CLASSES = {cls.__name__: (A, B, A) if NDIM[cls] == 1 else (A2, B2, A2) for cls in ALL}  # gains by class name
SUMS = {cls.__name__: checksums(cls)[0] for cls in ALL}
PID_SUMS = checksums(cp.PIDController)
PID_SUM = PID_SUMS[0]


def norm(x):
    """A comparable picture of a result: arrays by dtype, shape and values."""
    if isinstance(x, np.ndarray):
        return ("array", x.dtype.str, x.shape, x.tobytes())
    if isinstance(x, tuple):
        return tuple(map(norm, x))
    return x


def state(obj):
    return norm(obj.__reduce__()[-1])


def check_error(call, exc_type, message, op):
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type and str(info.value) == message
    ops = [op] if isinstance(op, str) else op or []
    assert entries(info.value) == [f"vesk.cython_pid.{o}" for o in ops]
    return info.value


class Case(NamedTuple):
    id: str
    name: str  # as messages show it
    op: str | None  # traceback entry of a binding failure
    params: tuple
    required: int
    valid: tuple
    call: Callable  # (args, kwargs) -> comparable outcome


def _init(cls):
    return lambda a, k: state(getattr(cp, cls)(*a, **k))


def _method(cls, attr, make=None):
    def call(a, k):
        obj = make() if make else getattr(cp, cls)(*CLASSES[cls])
        return norm(getattr(obj, attr)(*a, **k)), state(obj)
    return call


def _unpickle(cls):
    def call(a, k):
        obj = getattr(cp, f"__pyx_unpickle_{cls}")(*a, **k)
        return type(obj), state(obj)
    return call


def _cases():
    for cls, g in CLASSES.items():
        fields = names(getattr(cp, cls))
        nfields = len(fields)
        if "learning_rate" in fields:
            yield Case(f"{cls}()", "__init__", f"{cls}.__init__",
                       ("initial_kp", "initial_ki", "initial_kd", "learning_rate", "max_adjustment"), 3,
                       (*g, 0.5, 0.25), _init(cls))
        else:
            yield Case(f"{cls}()", "__init__", f"{cls}.__init__", ("kp", "ki", "kd"), 3, g, _init(cls))
        yield Case(f"{cls}.compute_control", "compute_control", f"{cls}.compute_control",
                   ("target_position", "current_position", "dt"), 3, (g[0], g[1], 0.1),
                   _method(cls, "compute_control"))
        fresh = (lambda c: lambda: getattr(cp, c).__new__(getattr(cp, c)))(cls)
        for attr in ("__reduce_cython__", "__reduce__"):
            yield Case(f"{cls}.{attr}", "__reduce_cython__", None, (), 0, (), _method(cls, attr))
        for attr in ("__setstate_cython__", "__setstate__"):
            yield Case(f"{cls}.{attr}", "__setstate_cython__", f"{cls}.__setstate_cython__", ("__pyx_state",), 1,
                       ((B,) * nfields,), _method(cls, attr, fresh))
        r = f"__pyx_unpickle_{cls}"
        yield Case(r, r, r, ("__pyx_type", "__pyx_checksum", "__pyx_state"), 3,
                   (getattr(cp, cls), SUMS[cls], (A,) * nfields), _unpickle(cls))


CASES = list(_cases())
WITH_PARAMS = [c for c in CASES if c.params]


def count_message(c, given):
    n, r = len(c.params), c.required
    word, bound = ("exactly", n) if r == n else ("at least", r) if given < r else ("at most", n)
    return f"{c.name}() takes {word} {bound} positional argument{'' if bound == 1 else 's'} ({given} given)"


@pytest.mark.parametrize("case", WITH_PARAMS, ids=lambda c: c.id)
def test_positional_and_keyword_mixes_bind_alike(case):
    expected = case.call(case.valid, {})
    for j in range(len(case.params) + 1):
        kw = dict(zip(case.params[j:], case.valid[j:]))
        assert case.call(case.valid[:j], kw) == expected
        assert case.call(case.valid[:j], dict(reversed(kw.items()))) == expected
    texts = {"".join(p): v for p, v in zip(case.params, case.valid)}  # equal text, not the interned names
    assert case.call((), texts) == expected


@pytest.mark.parametrize("case, given", [(c, k) for c in CASES for k in range(len(c.params) + 2)
                                         if not c.required <= k <= len(c.params)],
                         ids=lambda v: v.id if isinstance(v, Case) else str(v))
def test_count_error(case, given):
    args = (case.valid + (1.0,) * 2)[:given]
    check_error(lambda: case.call(args, {}), TypeError, count_message(case, given), case.op)


def _obj(cls="PIDController"):
    return getattr(cp, cls)(*CLASSES[cls])


U, P, AC = cp.__pyx_unpickle_PIDController, cp.PIDController, cp.AdaptiveController
CC, PI, AI = "PIDController.compute_control", "PIDController.__init__", "AdaptiveController.__init__"
SS, UP = "PIDController.__setstate_cython__", "__pyx_unpickle_PIDController"
TAKES = "{}() takes {} {} positional argument{} ({} given)"
CC3 = TAKES.format("compute_control", "exactly", 3, "s", "{}")
INIT3, AT_LEAST = TAKES.format("__init__", "exactly", 3, "s", "{}"), TAKES.format("__init__", "at least", 3, "s", "{}")
MULTIPLE = "{}() got multiple values for keyword argument '{}'"
UNEXPECTED = "{}() got an unexpected keyword argument '{}'"
WRONG_TYPE = "Argument '{}' has incorrect type (expected numpy.ndarray, got {})"
KEYS = "keywords must be strings"


@pytest.mark.parametrize("call, message, op", [
    (lambda: _obj().compute_control(A, dt=0.1), CC3.format(1), CC),
    (lambda: _obj().compute_control(target_position=A, dt=0.1), CC3.format(1), CC),
    (lambda: _obj().compute_control(current_position=A, dt=0.1), CC3.format(0), CC),
    (lambda: _obj().compute_control(A, current_position=B), CC3.format(2), CC),
    (lambda: _obj().compute_control(A, B, 0.1, 1, dt=1), CC3.format(4), CC),
    (lambda: P(kd=A), INIT3.format(0), PI),
    (lambda: P(A, A, A, A, kp=A), INIT3.format(4), PI),
    (lambda: AC(A, B, max_adjustment=1.0), AT_LEAST.format(2), AI),
    (lambda: AC(initial_kp=A, learning_rate=0.1), AT_LEAST.format(1), AI),
    (lambda: AC(A, initial_kd=A), AT_LEAST.format(1), AI),
    (lambda: AC(A, A, A, 0.1, 0.1, 0.1, learning_rate=1), TAKES.format("__init__", "at most", 5, "s", 6), AI),
    (lambda: _obj().__setstate__(None, __pyx_state=None), MULTIPLE.format("__setstate_cython__", "__pyx_state"), SS),
    (lambda: _obj().__setstate__(None, None, __pyx_state=None),
     TAKES.format("__setstate_cython__", "exactly", 1, "", 2), SS),
    (lambda: U(__pyx_state=None), TAKES.format(UP, "exactly", 3, "s", 0), UP),
    (lambda: U(P, __pyx_state=None), TAKES.format(UP, "exactly", 3, "s", 1), UP),
    (lambda: _obj().__reduce__(1, x=2), TAKES.format("__reduce_cython__", "exactly", 0, "s", 1), None),
    (lambda: _obj().__reduce__(b=1, a=2), UNEXPECTED.format("__reduce_cython__", "b"), None),
    # keywords given as a tuple: the first failing one, in the order given
    (lambda: _obj().compute_control(A, B, bogus=1, target_position=A),
     UNEXPECTED.format("compute_control", "bogus"), CC),
    (lambda: _obj().compute_control(A, B, target_position=A, bogus=1),
     MULTIPLE.format("compute_control", "target_position"), CC),
    # keywords given as a dict to __init__: the first key, in dict order, naming no parameter after the positional ones
    (lambda: P(A, **{"bogus": 1, "kp": A}), UNEXPECTED.format("__init__", "bogus"), PI),
    (lambda: P(A, **{"kp": A, "bogus": 1}), MULTIPLE.format("__init__", "kp"), PI),
    (lambda: P(A, **{"ki": B, "kp": A, "kd": A}), MULTIPLE.format("__init__", "kp"), PI),
    (lambda: P(bogus=1), UNEXPECTED.format("__init__", "bogus"), PI),
    (lambda: AC(A, B, A, **{"learning_rate": 0.1, "initial_kp": A, "bogus": 1}),
     MULTIPLE.format("__init__", "initial_kp"), AI),
    # the array type tests run in parameter order and add no traceback entry
    (lambda: P(A, [1.0], (1.0,)), WRONG_TYPE.format("ki", "list"), None),
    (lambda: AC([1.0], (1.0,), A), WRONG_TYPE.format("initial_kp", "list"), None),
    (lambda: _obj().compute_control((1.0,), 1.0, 0.1), WRONG_TYPE.format("target_position", "tuple"), None),
    # a non-string key: refused by __init__ itself, by the interpreter before a method or reconstructor is reached
    (lambda: P(A, B, A, **{1: 2}), KEYS, PI),
    (lambda: P(A, **{"bogus": 1, 2: 3}), KEYS, PI),
    (lambda: AC(**{1: 2}), KEYS, AI),
    (lambda: P(A, A, A, A, **{1: 2}), INIT3.format(4), PI),
    (lambda: _obj().compute_control(A, B, **{1: 2}), KEYS, None),
    (lambda: _obj().__reduce__(**{1: 2}), KEYS, None),
    (lambda: U(**{1: 2}), KEYS, None),
])
def test_binding_examples(call, message, op):
    check_error(call, TypeError, message, op)


@pytest.mark.parametrize("case, i", [(c, i) for c in WITH_PARAMS for i in range(len(c.params))],
                         ids=lambda v: v.id if isinstance(v, Case) else str(v))
def test_multiple_values(case, i):
    p = case.params[i]
    check_error(lambda: case.call(case.valid[:i + 1], {p: case.valid[i]}), TypeError,
                f"{case.name}() got multiple values for keyword argument '{p}'", case.op)


@pytest.mark.parametrize("case", CASES, ids=lambda c: c.id)
def test_unexpected_keyword(case):
    message = f"{case.name}() got an unexpected keyword argument 'bogus'"
    check_error(lambda: case.call(case.valid, {"bogus": 1}), TypeError, message, case.op)
    check_error(lambda: case.call((), {"bogus": 1}), TypeError, message, case.op)


def via(method, value):
    """An object that converts through `method` only; an exception class given as `value` is raised."""
    def convert(self):
        if isinstance(value, type):
            raise value("boom")
        return value
    return type(f"Via{method.strip('_').title()}", (), {method: convert})()


class FloatSub(float):
    def __float__(self):
        return 9.0


class IntSub(int):
    pass


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("dt, same_as", [
    (1, 1.0), (True, 1.0), (np.float64(0.1), 0.1), (np.float32(0.5), 0.5), (via("__float__", 0.1), 0.1),
    (via("__index__", 2), 2.0), (FloatSub(0.1), 0.1), (via("__float__", -1.0), -1.0), (fractions.Fraction(1, 4), 0.25),
], ids=lambda v: type(v).__name__)
def test_dt_conversion(cls, dt, same_as):
    a, b = _obj(cls), _obj(cls)
    r, y = CLASSES[cls][:2]
    assert norm(a.compute_control(r, y, dt)) == norm(b.compute_control(r, y, same_as))
    assert state(a) == state(b)


def interpreter_error(value):
    """The error of the interpreter's own conversion of `value` to a double."""
    with pytest.raises(Exception) as info:
        math.fabs(value)
    return info.value


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("dt", ["x", None, object(), via("__float__", "x"), via("__float__", ZeroDivisionError)],
                         ids=lambda v: type(v).__name__)
def test_dt_conversion_errors(cls, dt):
    c = _obj(cls)
    before, ref = state(c), interpreter_error(dt)
    for target in (CLASSES[cls][0], [1.0]):  # dt is converted before the arrays are looked at
        check_error(lambda: c.compute_control(target, CLASSES[cls][1], dt), type(ref), str(ref),
                    f"{cls}.compute_control")
    assert state(c) == before


@pytest.mark.parametrize("args, kw, rate, bound", [
    ((), {}, 0.01, 0.1), ((1,), {}, 1.0, 0.1), ((np.float64(0.5), via("__index__", 3)), {}, 0.5, 3.0),
    ((), {"max_adjustment": 2}, 0.01, 2.0), ((), {"learning_rate": True}, 1.0, 0.1),
])
def test_adaptive_doubles(args, kw, rate, bound):
    s = cp.AdaptiveController(A, B, A, *args, **kw).__reduce__()[2]
    assert (s[5], s[6]) == (rate, bound) and type(s[5]) is float and type(s[6]) is float


@pytest.mark.parametrize("args", [
    (A, B, A, "x", object()), (A, B, A, 0.1, "x"), ([1.0], B, A, "x"), (A, B, A, None), ([1.0], B, A, 0.1, None),
], ids=["rate-first", "bound", "before-type-test", "rate-none", "bound-none"])
def test_adaptive_double_errors(args):
    ref = interpreter_error(next(v for v in args[3:] if not isinstance(v, float)))
    check_error(lambda: cp.AdaptiveController(*args), type(ref), str(ref), "AdaptiveController.__init__")


@pytest.mark.parametrize("case, i", [(c, i) for c in CASES if c.name in ("__init__", "compute_control")
                                     for i, v in enumerate(c.valid) if isinstance(v, np.ndarray)],
                         ids=lambda v: v.id if isinstance(v, Case) else str(v))
@pytest.mark.parametrize("bad, typename", [
    ([1.0], "list"), ((1.0,), "tuple"), (memoryview(f64(1.0)), "memoryview"), (1.0, "float"),
    (np.float64(1.0), "numpy.float64"),
], ids=lambda v: v if isinstance(v, str) else None)
def test_array_type_test(case, i, bad, typename):
    args = case.valid[:i] + (bad,) + case.valid[i + 1:]
    check_error(lambda: case.call(args, {}), TypeError,
                f"Argument '{case.params[i]}' has incorrect type (expected numpy.ndarray, got {typename})", None)


LONG_MAX = 2 ** (8 * ctypes.sizeof(ctypes.c_long) - 1) - 1
DEPRECATED = ("__int__ returned non-int (type IntSub).  The ability to return an instance of a strict subclass "
              "of int is deprecated, and may be removed in a future version of Python.")


def incompatible(value):
    return pickle.PickleError(f"Incompatible checksums ({'0x%x' % value} vs ({', '.join(map(hex, PID_SUMS))}) "
                              f"= ({', '.join(names(cp.PIDController))}))")


NO_INT = TypeError("an integer is required")


@pytest.mark.parametrize("checksum, outcome", [
    (float(PID_SUM), None), (IntSub(PID_SUM), None), (np.int64(PID_SUM), None), (via("__int__", PID_SUM), None),
    (PID_SUMS[1], None), (PID_SUMS[2], None), (1.5, incompatible(1)), (True, incompatible(1)), (-1, incompatible(-1)),
    (via("__int__", -7), incompatible(-7)), (LONG_MAX, incompatible(LONG_MAX)),
    (-LONG_MAX - 1, incompatible(-LONG_MAX - 1)),
    ("x", NO_INT), (via("__index__", PID_SUM), NO_INT), (None, NO_INT),
    (via("__int__", "s"), TypeError("__int__ returned non-int (type str)")),
    (via("__int__", 2.0), TypeError("__int__ returned non-int (type float)")),
    (LONG_MAX + 1, OverflowError), (-LONG_MAX - 2, OverflowError), (via("__int__", 2 * LONG_MAX + 2), OverflowError),
    (via("__int__", ZeroDivisionError), ZeroDivisionError("boom")),
], ids=lambda v: type(v).__name__)
def test_checksum_conversion(checksum, outcome):
    if outcome is None:
        assert type(U(cp.PIDController, checksum, None)) is cp.PIDController
        return
    with pytest.raises(type(outcome) if isinstance(outcome, Exception) else outcome) as info:
        U(cp.PIDController, checksum, None)
    assert outcome is OverflowError or str(info.value) == str(outcome)
    assert entries(info.value) == ["vesk.cython_pid.__pyx_unpickle_PIDController"]


def test_checksum_from_int_subclass_returned_by_int_warns():
    checksum = via("__int__", IntSub(PID_SUM))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert type(U(cp.PIDController, checksum, None)) is cp.PIDController
    assert [(w.category, str(w.message)) for w in caught] == [(DeprecationWarning, DEPRECATED)]
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        check_error(lambda: U(cp.PIDController, checksum, None), DeprecationWarning, DEPRECATED,
                    "__pyx_unpickle_PIDController")


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("attr", ["__setstate_cython__", "__setstate__", "unpickle"])
@pytest.mark.parametrize("bad, typename", [([1] * 8, "list"), (type("TupleSub", (tuple,), {})((1,) * 8), "TupleSub"),
                                           ({}, "dict")])
def test_state_must_be_a_tuple(cls, attr, bad, typename):
    message = f"Expected tuple, got {typename}"
    if attr == "unpickle":
        check_error(lambda: getattr(cp, f"__pyx_unpickle_{cls}")(getattr(cp, cls), SUMS[cls], bad),
                    TypeError, message, f"__pyx_unpickle_{cls}")
        return
    c = _obj(cls)
    before = state(c)
    check_error(lambda: getattr(c, attr)(bad), TypeError, message, f"{cls}.__setstate_cython__")
    check_error(lambda: getattr(c, attr)(None), TypeError, "'NoneType' object is not subscriptable",
                [f"{cls}.__setstate_cython__", f"__pyx_unpickle_{cls}__set_state"])
    assert state(c) == before
