"""Buffer validation of float-array arguments and working values, with real NumPy arrays."""

import json
import traceback

import numpy as np
import pytest

import vesk.cython_pid as cp
from conftest import f64, entries, run_python

NDIM = {"PIDController": 1, "PIDControllerXd": 2, "AdaptiveController": 1}
INIT_PARAMS = {"PIDController": ("kp", "ki", "kd"), "PIDControllerXd": ("kp", "ki", "kd"),
               "AdaptiveController": ("initial_kp", "initial_ki", "initial_kd")}


def good(ndim, scale=1.0):
    return f64(1.0, 2.0) * scale if ndim == 1 else np.array([[1.0, 2.0], [3.0, 4.0]]) * scale


def _slots():
    """Every float-array parameter: (id, class, ndim, operation, call taking the value)."""
    for name, nd in NDIM.items():
        cls, g = getattr(cp, name), (good(nd), good(nd, 0.5), good(nd, 0.25))
        for i, p in enumerate(INIT_PARAMS[name]):
            yield (f"{name}.{p}", name, nd, f"{name}.__init__",
                   lambda v, cls=cls, g=g, i=i: cls(*g[:i], v, *g[i + 1:]))
        for i, p in enumerate(("target_position", "current_position")):
            yield (f"{name}.{p}", name, nd, f"{name}.compute_control",
                   lambda v, cls=cls, g=g, i=i: cls(*g).compute_control(*g[:i], v, *g[i + 1:2], 0.1))


SLOTS = list(_slots())
slot_ids = [s[0] for s in SLOTS]


def _dt(fields, itemsize=None):
    layout = {"names": [f[0] for f in fields], "formats": [f[1] for f in fields]}
    return np.dtype(layout | ({"itemsize": itemsize} if itemsize else {}))


def _export_error(dtype):
    try:
        memoryview(np.zeros(1, dtype))
    except ValueError as e:
        return str(e)


def mismatch(description, expected="'float64_t'"):
    return f"Buffer dtype mismatch, expected {expected} but got {description}"


REFUSED = [
    (np.float32, mismatch("'float'")), (np.complex128, mismatch("'complex double'")),
    (np.complex64, mismatch("'complex float'")), (np.clongdouble, mismatch("'complex long double'")),
    (">f8", "Big-endian buffer not supported on little-endian compiler"),
    ("b", mismatch("'signed char'")), ("B", mismatch("'unsigned char'")), ("h", mismatch("'short'")),
    ("H", mismatch("'unsigned short'")), ("i", mismatch("'int'")), ("I", mismatch("'unsigned int'")),
    ("l", mismatch("'long'")), ("L", mismatch("'unsigned long'")), ("q", mismatch("'long long'")),
    ("Q", mismatch("'unsigned long long'")), (np.bool_, mismatch("'bool'")), (object, mismatch("Python object")),
    ("S3", mismatch("a string")), (np.float16, "Does not understand character buffer dtype format string ('e')"),
    ("U3", "Does not understand character buffer dtype format string ('w')"),
    (_dt([("a", "f8"), ("b", "f8")]), mismatch("'double'", "end")),
    (_dt([("a", "f8")], itemsize=16), "Item size of buffer (16 bytes) does not match size of 'float64_t' (8 bytes)"),
    (_dt([("a", "(2,)f8")]), "Expected 0 dimension(s), got 1"),
    ("M8[s]", _export_error("M8[s]")),  # NumPy's own refusal to export passes through
]
if np.dtype(np.longdouble).itemsize != 8:  # a long double of 8 bytes is the float64 element itself
    REFUSED.append((np.longdouble, mismatch("'long double'")))


@pytest.mark.parametrize("dtype, message", REFUSED, ids=[str(np.dtype(d)) for d, _ in REFUSED])
@pytest.mark.parametrize("slot", SLOTS, ids=slot_ids)
def test_refused_element_types(slot, dtype, message):
    _, _, nd, op, call = slot
    with pytest.raises(ValueError) as info:
        call(np.zeros((2,) * nd, dtype))
    assert str(info.value) == message
    assert entries(info.value) == [f"vesk.cython_pid.{op}"]


@pytest.mark.parametrize("slot, got", [(s, k) for s in SLOTS for k in range(4) if k != s[2]],
                         ids=lambda v: v[0] if isinstance(v, tuple) else str(v))
def test_wrong_number_of_dimensions(slot, got):
    _, _, nd, op, call = slot
    with pytest.raises(ValueError) as info:
        call(np.zeros((2,) * got))
    assert str(info.value) == f"Buffer has wrong number of dimensions (expected {nd}, got {got})"
    assert entries(info.value) == [f"vesk.cython_pid.{op}"]


def test_first_bad_argument_in_parameter_order_is_reported():
    with pytest.raises(ValueError, match="expected 'float64_t' but got 'float'"):
        cp.PIDController(f64(1.0), np.zeros(1, np.float32), np.zeros((1, 1)))
    with pytest.raises(ValueError, match=r"expected 1, got 2"):
        cp.PIDController(f64(1.0), f64(1.0), f64(1.0)).compute_control(np.zeros((1, 1)), np.zeros(1, "i"), 0.1)


class Sub(np.ndarray):
    pass


def _readonly(a):
    a = a.copy()
    a.flags.writeable = False
    return a


LAYOUTS = {
    "strided": lambda a: np.stack([a, a * 0], axis=-1)[..., 0],
    "reversed": lambda a: a[..., ::-1].copy()[..., ::-1],
    "fortran": np.asfortranarray,
    "read-only": _readonly,
    "subclass": lambda a: a.view(Sub),
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("name", NDIM)
def test_accepted_layouts_give_the_same_results(name, layout):
    nd, change = NDIM[name], LAYOUTS[layout]
    gains, r, y = (good(nd), good(nd, 0.5), good(nd, 0.25)), good(nd, 3.0), good(nd, -1.0)
    plain, other = getattr(cp, name)(*gains), getattr(cp, name)(*map(change, gains))
    for dt in (0.1, 0.0):
        expected, got = plain.compute_control(r, y, dt), other.compute_control(change(r), change(y), dt)
        assert got.tobytes() == expected.tobytes() and got.shape == expected.shape
    assert type(got) is (Sub if layout == "subclass" else np.ndarray)


@pytest.mark.filterwarnings("ignore:the matrix subclass:PendingDeprecationWarning")
def test_single_float64_field_records_and_matrices_are_float_arrays():
    record = np.zeros(2, _dt([("x", "f8")]))
    cp.PIDController(record, record, record)
    m = np.matrix([[1.0, 2.0], [3.0, 4.0]])
    u = cp.PIDControllerXd(m, m, m).compute_control(m, m * 0, 0.1)
    error = m - m * 0
    assert type(u) is np.matrix and u.tobytes() == ((m * error + m * (error * 0.1)) + m * (error / 0.1)).tobytes()
    with pytest.raises(ValueError, match=r"^Buffer has wrong number of dimensions \(expected 1, got 2\)$"):
        cp.PIDController(m, m, m)


@pytest.mark.parametrize("slot", SLOTS, ids=slot_ids)
def test_none_passes_the_checks(slot):
    _, name, nd, op, call = slot
    if op.endswith("__init__"):
        if name != "AdaptiveController":
            call(None)
            return
        expected = AttributeError("'NoneType' object has no attribute 'copy'")
    else:
        try:
            None - good(nd) if slot[0].endswith("target_position") else good(nd) - None
        except TypeError as e:
            expected = e
    with pytest.raises(type(expected)) as info:
        call(None)
    assert str(info.value) == str(expected)


class NoBuffer(np.ndarray):
    def __buffer__(self, flags):
        raise LookupError("no buffer today")


@pytest.mark.parametrize("slot", SLOTS, ids=slot_ids)
def test_exporter_error_propagates(slot):
    _, _, nd, op, call = slot
    with pytest.raises(LookupError, match="^no buffer today$") as info:
        call(good(nd).view(NoBuffer))
    assert entries(info.value) == [f"vesk.cython_pid.{op}"]


def _returning(method, value, base=np.ndarray):
    return type("Odd", (base,), {method: lambda self, other: value})


@pytest.mark.parametrize("name", NDIM)
@pytest.mark.parametrize("method, value, exc, message", [
    ("__sub__", lambda nd: 1.5, TypeError, "Cannot convert float to numpy.ndarray"),  # error = r - y
    ("__sub__", lambda nd: [1.0], TypeError, "Cannot convert list to numpy.ndarray"),
    ("__sub__", lambda nd: np.zeros((1,) * 3), ValueError,
     "Buffer has wrong number of dimensions (expected {nd}, got 3)"),
    ("__sub__", lambda nd: np.zeros((1,) * nd, np.float32), ValueError, mismatch("'float'")),
    ("__truediv__", lambda nd: "x", TypeError, "Cannot convert str to numpy.ndarray"),  # derivative
])
def test_working_values_are_checked(name, method, value, exc, message):
    nd = NDIM[name]
    c = getattr(cp, name)(good(nd), good(nd), good(nd))
    before = c.__reduce__()[2]
    with pytest.raises(exc) as info:
        c.compute_control(good(nd).view(_returning(method, value(nd))), good(nd, 0.5), 0.1)
    assert str(info.value) == message.format(nd=nd)
    assert entries(info.value) == [f"vesk.cython_pid.{name}.compute_control"]
    after = c.__reduce__()[2]
    assert after[-1] is before[-1]  # previous_error is replaced only once the step has got that far
    assert method != "__sub__" or all(a is b for a, b in zip(after, before, strict=True))


class Counted(np.ndarray):
    """Counts the buffers taken from and given back to its instances."""
    taken = released = 0

    def __buffer__(self, flags):
        Counted.taken += 1
        return memoryview(self.view(np.ndarray))

    def __release_buffer__(self, view):
        Counted.released += 1
        view.release()


def _counted(nd, scale=1.0, dtype=np.float64):
    return good(nd, scale).astype(dtype).view(Counted)


def _delete_np(mod):
    del mod.np


FAILURES = {
    "success": (None, lambda c, nd: c.compute_control(_counted(nd), _counted(nd, 2.0), 0.1)),
    "late argument": (ValueError, lambda c, nd: type(c)(_counted(nd), _counted(nd), _counted(nd, 1, np.float32))),
    "late position": (ValueError, lambda c, nd: c.compute_control(_counted(nd), _counted(nd)[None], 0.1)),
    "arithmetic": (ValueError, lambda c, nd: c.compute_control(_counted(nd), np.zeros((3,) * nd).view(Counted), 0.1)),
    "working value": (TypeError, lambda c, nd: c.compute_control(_counted(nd).view(_returning("__sub__", 1.0, Counted)),
                                                               _counted(nd), 0.1)),
    "name error": (NameError, lambda c, nd: (_delete_np(cp), c.compute_control(_counted(nd), _counted(nd), 0.0))),
}


@pytest.mark.parametrize("failure", FAILURES)
@pytest.mark.parametrize("name", NDIM)
def test_every_buffer_is_released(mod, name, failure):
    nd, (exc, call) = NDIM[name], FAILURES[failure]
    Counted.taken = Counted.released = 0
    c = getattr(cp, name)(_counted(nd), _counted(nd, 0.5), _counted(nd, 0.25))
    if exc is None:
        call(c, nd)
    else:
        with pytest.raises(exc):
            call(c, nd)
    assert Counted.taken > 0 and Counted.released == Counted.taken


def test_plain_arrays_can_be_resized_after_each_call():
    c = cp.PIDController(f64(1.0, 2.0), f64(1.0, 2.0), f64(1.0, 2.0))
    r, y, bad = f64(1.0, 2.0), f64(0.0, 1.0), np.zeros(2, np.float32)
    c.compute_control(r, y, 0.1)
    r.resize(3)  # refuses while a buffer (or any other reference) is still out
    with pytest.raises(ValueError):
        c.compute_control(r, y, 0.1)  # shapes do not broadcast
    r.resize(2)
    y.resize(3)
    with pytest.raises(ValueError):
        cp.PIDController(r, bad, y)
    r.resize(4)
    bad.resize(3)


# numpy.ndarray given a buffer-release hook (as a future NumPy might have),
# with its export counted: every release the hook sees must follow an export.
# (The hook is Python code, so it is kept off failing paths, where it would
# run with the error set.)
RELEASE_HOOK = """
import ctypes, json, sys, sysconfig
import numpy as np

proc = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int)
release_proc = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p)

# PyTypeObject.tp_as_buffer follows 20 pointer-sized members, two more in a
# free-threaded build (its object header is longer).
BUFFER_SLOT = 20 + (2 if sysconfig.get_config_var("Py_GIL_DISABLED") else 0)


def buffer_procs(cls):
    return ctypes.c_void_p.from_address(id(cls) + BUFFER_SLOT * ctypes.sizeof(ctypes.c_void_p)).value

assert buffer_procs(int) is None and buffer_procs(bytes) is not None
slots = (ctypes.c_void_p * 2).from_address(buffer_procs(np.ndarray))
assert slots[0] and not slots[1]
counts = dict(exported=0, released=0)
export = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int)(slots[0])  # keeps the GIL

@proc
def counted_export(obj, view, flags):
    counts["exported"] += 1
    return export(obj, view, flags)

@release_proc
def counted_release(obj, view):
    counts["released"] += 1

slots[0] = ctypes.cast(counted_export, ctypes.c_void_p).value
slots[1] = ctypes.cast(counted_release, ctypes.c_void_p).value

import vesk.cython_pid as cp
a, b, m = np.array([2.0, 0.5]), np.array([1.0, 0.25]), np.ones((2, 2))
u = cp.PIDController(a, b, a).compute_control(a, b, 0.1)
v = cp.PIDControllerXd(m, m, m).compute_control(m, m * 0.5, 0.0)
w = cp.AdaptiveController(a, b, a).compute_control(a, b, 0.1)
print(json.dumps(dict(counts, results=[u.tolist(), v.tolist(), w.tolist()])))
"""


def test_a_release_hook_on_ndarray_is_honoured():
    out = json.loads(run_python(RELEASE_HOOK).stdout)
    a, b, m = f64(2.0, 0.5), f64(1.0, 0.25), np.ones((2, 2))
    assert out["results"] == [cp.PIDController(a, b, a).compute_control(a, b, 0.1).tolist(),
                              cp.PIDControllerXd(m, m, m).compute_control(m, m * 0.5, 0.0).tolist(),
                              cp.AdaptiveController(a, b, a).compute_control(a, b, 0.1).tolist()]
    assert out["released"] == out["exported"] > 0
