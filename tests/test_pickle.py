"""Pickling of the three controllers: reduce values, set-state, reconstructors and layout checksums."""

import builtins
import ctypes
import io
import logging
import os
import pickle
import pickletools
import struct

import numpy as np
import pytest

from conftest import CLASSES, NDIM, checksums, entries, f64, names, run_python
import vesk.cython_pid as cp


def layout(cls):
    """Field names in state order, written checksum, accepted checksums, rejection message."""
    sums = checksums(cls)
    message = f"Incompatible checksums (0x%x vs ({', '.join(map(hex, sums))}) = ({', '.join(names(cls))}))"
    return names(cls), sums[0], sums, message


LAYOUTS = {cls: layout(cls) for cls in CLASSES}


def test_stored_formats_keep_their_checksums():
    # Pickles stored today name these fields and checksums; every other test reads them from conftest.
    pid = ("integral", "kd", "ki", "kp", "previous_error"), (0x32B920E, 0xB0BFBFA, 0xA7B7F25)
    assert {cls.__name__: (names(cls), checksums(cls)) for cls in CLASSES} == {
        "PIDController": pid,
        "PIDControllerXd": pid,
        "AdaptiveController": (("error_history", "integral", "kd", "ki", "kp", "learning_rate", "max_adjustment",
                                "previous_error"), (0xB141BC4, 0xB4FF99B, 0x7E19BD2)),
    }
LONG_BITS = 8 * ctypes.sizeof(ctypes.c_long)  # the checksum is a C long
by_class = pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)


# Python subclasses (with an instance dict), importable by name from this module for unpickling
SUBS = {cls: type("Sub" + cls.__name__, (cls,), {}) for cls in CLASSES}
globals().update({sub.__name__: sub for sub in SUBS.values()})


def recon(cls):
    return getattr(cp, "__pyx_unpickle_" + cls.__name__)


def state(c):
    red = c.__reduce__()
    return red[2] if len(red) == 3 else red[1][2]


def bits(c):
    return [(type(v), v.dtype, v.shape, v.tobytes()) if isinstance(v, np.ndarray) else (type(v), repr(v))
            for v in state(c)]


def arr(cls, *values):
    return np.array(values, dtype=np.float64, ndmin=NDIM[cls])  # one row for a 2-D class


def make(cls, maker=None):
    gains = [arr(cls, 2.0, 1.0), arr(cls, 0.5, 0.25), arr(cls, 0.1, 0.3)]
    extra = (0.05, 0.2) if "learning_rate" in names(cls) else ()
    return (maker or cls)(*gains, *extra)


def run(c, cls, steps, start=0):
    """Results of `steps` steps with inputs that depend only on the step number, as bytes."""
    dts = [0.1, 0.0, -0.2, 0.05, float("nan")]
    return [c.compute_control(arr(cls, 1.5 * k, -k), arr(cls, 0.25, 0.5), dts[k % 5]).tobytes()
            for k in range(start, start + steps)]


@pytest.mark.parametrize("protocol", range(6))
@by_class
def test_round_trip_continues_bitwise(cls, protocol):
    c = make(cls)
    run(c, cls, 3)
    d = pickle.loads(pickle.dumps(c, protocol))
    assert type(d) is cls and bits(c) == bits(d)
    assert not any(x is y for x, y in zip(state(c), state(d)) if isinstance(x, np.ndarray))
    assert run(c, cls, 6, 3) == run(d, cls, 6, 3) and bits(c) == bits(d)


@by_class
def test_reduce_values(cls):
    fields, k, _, _ = LAYOUTS[cls]
    n = len(fields)
    gains = [arr(cls, 2.0), arr(cls, 0.5), arr(cls, 0.1)]
    c = cls(*gains)
    r, args, st = c.__reduce__()
    assert r is recon(cls) and args == (cls, k, None) and type(args[1]) is int and len(st) == n
    assert all(a is b for a, b in zip(st, c.__reduce__()[2]))  # the field objects themselves
    f = dict(zip(fields, st))
    adaptive = "error_history" in f
    # the PID law keeps the caller's gain arrays, the adaptive controller copies
    assert all((f[g] is a) == (not adaptive) for g, a in zip(("kp", "ki", "kd"), gains))
    if adaptive:
        assert (f["learning_rate"], f["max_adjustment"]) == (0.01, 0.1) and f["error_history"].shape == (10, 1)
    assert cls.__new__(cls).__reduce__() == (recon(cls), (cls, k, (None,) * n))
    for i in (n - 1, 0):  # a single field that is not None selects the set-state shape
        c = cls.__new__(cls)
        st = (None,) * i + (0.0,) + (None,) * (n - 1 - i)
        c.__setstate__(st)
        assert c.__reduce__() == (recon(cls), (cls, k, None), st)
    assert type(pickle.loads(pickle.dumps(cls.__new__(cls)))) is cls


@by_class
def test_subclass_instance_dict(cls):
    fields, k, _, _ = LAYOUTS[cls]
    sub = SUBS[cls]
    s = sub.__new__(sub)
    red = s.__reduce__()
    assert red == (recon(cls), (sub, k, None), (None,) * len(fields) + ({},)) and red[2][-1] is s.__dict__
    s = make(cls, sub)
    s.tag, s.data = "x", [1, 2]
    run(s, cls, 2)
    t = pickle.loads(pickle.dumps(s))
    assert type(t) is sub and t.__dict__ == {"tag": "x", "data": [1, 2]} and bits(s) == bits(t)
    assert run(s, cls, 3, 2) == run(t, cls, 3, 2)


@by_class
def test_pickle_loads_in_fresh_process(cls):
    c = make(cls)
    run(c, cls, 3)
    child = run_python(f"""
        import pickle, sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from test_pickle import run
        c = pickle.loads({pickle.dumps(c)!r})
        print(type(c).__name__, *(b.hex() for b in run(c, type(c), 4, 3)))
    """)
    assert child.stdout.split() == [cls.__name__] + [b.hex() for b in run(c, cls, 4, 3)]


HEAD = (b"\x80\x02cvesk.cython_pid\n__pyx_unpickle_PIDController\ncvesk.cython_pid\nPIDController\n"
        b"J" + struct.pack("<i", checksums(cp.PIDController)[0]))  # PROTO 2, GLOBAL, GLOBAL, BININT
# MARK, five BINFLOATs (integral, kd, ki, kp, previous_error), TUPLE
STATE = b"(" + b"".join(b"G" + struct.pack(">d", x) for x in (0.0, 0.5, 1.0, 2.0, 0.0)) + b"t"


@pytest.mark.parametrize("stream", [
    HEAD + b"N\x87R" + STATE + b"b.",  # R(C, K, None), then BUILD: __setstate__(S)
    HEAD + STATE + b"\x87R.",  # R(C, K, S)
], ids=["set-state", "in-reconstructor"])
def test_hand_assembled_stream(stream):
    pickletools.dis(stream, out=io.StringIO())  # well formed
    c = pickle.loads(stream)
    assert type(c) is cp.PIDController and state(c) == (0.0, 0.5, 1.0, 2.0, 0.0)
    twin = cp.PIDController(f64(2.0), f64(1.0), f64(0.5))
    for k, dt in enumerate([0.1, 0.1, 0.0, -1.0, 0.3]):
        args = (f64(k), f64(0.5), dt)
        assert c.compute_control(*args).tobytes() == twin.compute_control(*args).tobytes()


class Recorder(pickle.Unpickler):
    def find_class(self, module, name):
        self.found.append((module, name))
        return super().find_class(module, name)


@pytest.mark.parametrize("protocol", range(6))
@by_class
def test_stream_names_module_globals(cls, protocol):
    ours = [("vesk.cython_pid", "__pyx_unpickle_" + cls.__name__), ("vesk.cython_pid", cls.__name__)]
    for c, bare in ((cls.__new__(cls), True), (make(cls), False)):
        blob = pickle.dumps(c, protocol)
        u = Recorder(io.BytesIO(blob))
        u.found = []
        u.load()
        ops = [(op.name, arg) for op, arg, _ in pickletools.genops(blob)]
        assert sum(op in ("GLOBAL", "STACK_GLOBAL") for op, _ in ops) == len(u.found)
        assert [tuple(a.split(" ")) for op, a in ops if op == "GLOBAL"] == (u.found if protocol < 4 else [])
        assert [g for g in u.found if g[0].startswith("vesk") or "Controller" in g[1]] == ours
        assert u.found == ours or not bare  # arrays bring NumPy's own names


@by_class
@pytest.mark.parametrize("index", range(3))
def test_reconstructor_accepts_layout_checksums(cls, index):
    accepted = LAYOUTS[cls][2][index]
    for checksum in (accepted, float(accepted), accepted + 0.9):
        c = recon(cls)(cls, checksum, None)
        assert type(c) is cls and set(state(c)) == {None}
    st = tuple(range(len(LAYOUTS[cls][0])))
    assert state(recon(cls)(__pyx_type=cls, __pyx_checksum=accepted, __pyx_state=st)) == st


@pytest.mark.parametrize("cls, checksum, text", [
    # each checksum that another class accepts and this one does not
    *dict.fromkeys((cls, k, hex(k)) for cls in CLASSES for other in CLASSES for k in checksums(other)
                   if k not in checksums(cls)),
    (cp.PIDController, -1, "0x-1"), (cp.PIDController, 0, "0x0"), (cp.PIDController, 1.5, "0x1"),
    (cp.AdaptiveController, -0x1F, "0x-1f"),
    # the extremes of a C long
    (cp.PIDController, -(1 << LONG_BITS - 1), f"0x-{1 << LONG_BITS - 1:x}"),
    (cp.AdaptiveController, (1 << LONG_BITS - 1) - 1, f"0x{(1 << LONG_BITS - 1) - 1:x}"),
], ids=lambda v: getattr(v, "__name__", None))
def test_reconstructor_rejects_foreign_checksum(cls, checksum, text):
    for pyx_type in (cls, 42):  # the checksum is tested before the type is looked at
        with pytest.raises(pickle.PickleError) as ei:
            recon(cls)(pyx_type, checksum, None)
        assert ei.value.args == (LAYOUTS[cls][3].replace("0x%x", text),)
        assert entries(ei) == ["vesk.cython_pid." + recon(cls).__name__]


def test_pickle_error_imported_each_time(monkeypatch):
    class Other(Exception):
        pass

    monkeypatch.setattr(pickle, "PickleError", Other)
    with pytest.raises(Other, match=r"^Incompatible checksums \(0x5 vs"):
        cp.__pyx_unpickle_PIDController(cp.PIDController, 5, None)
    monkeypatch.delattr(pickle, "PickleError")
    with pytest.raises(ImportError, match="PickleError"):
        cp.__pyx_unpickle_AdaptiveController(cp.AdaptiveController, 5, None)


PID_SUM = checksums(cp.PIDController)[0]


class Tup(tuple):
    pass


class BadInt:
    def __int__(self):
        return "7"


@pytest.mark.parametrize("args, exc, msg", [
    ((cp.PIDController, str(PID_SUM), None), TypeError, "^an integer is required$"),
    ((cp.PIDController, BadInt(), None), TypeError, r"^__int__ returned non-int \(type str\)$"),
    ((cp.PIDController, 2**64, None), OverflowError, None),
    ((cp.PIDControllerXd, PID_SUM, None), TypeError, "PIDControllerXd"),  # __new__: not a subtype
    ((42, PID_SUM, None), TypeError, None),
    ((cp.PIDController, PID_SUM, [1, 2, 3, 4, 5]), TypeError, "^Expected tuple, got list$"),
    ((cp.PIDController, PID_SUM, Tup((1, 2, 3, 4, 5))), TypeError, "^Expected tuple, got Tup$"),
    ((cp.PIDController, PID_SUM),
     TypeError, r"^__pyx_unpickle_PIDController\(\) takes exactly 3 positional arguments \(2 given\)$"),
    ((cp.PIDController, PID_SUM, (1, 2)), IndexError, None),
])
def test_reconstructor_refusals(args, exc, msg):
    with pytest.raises(exc, match=msg) as ei:
        cp.__pyx_unpickle_PIDController(*args)
    inner = ["vesk.cython_pid.__pyx_unpickle_PIDController__set_state"] if exc is IndexError else []
    assert entries(ei) == ["vesk.cython_pid.__pyx_unpickle_PIDController"] + inner


@by_class
@pytest.mark.parametrize("bad, msg", [
    (None, "^'NoneType' object is not subscriptable$"),
    ([1, 2, 3, 4, 5, 6, 7, 8], "^Expected tuple, got list$"),
    (Tup(range(8)), "^Expected tuple, got Tup$"),
])
def test_setstate_refuses_non_tuples(cls, bad, msg):
    c = make(cls)
    before = state(c)
    with pytest.raises(TypeError, match=msg) as ei:
        c.__setstate__(bad)
    assert all(a is b for a, b in zip(state(c), before))
    name = cls.__name__
    assert entries(ei) == [f"vesk.cython_pid.{name}.__setstate_cython__"] + (bad is None) * [
        f"vesk.cython_pid.__pyx_unpickle_{name}__set_state"]


@by_class
def test_setstate_short_tuple_stops_at_missing_index(cls):
    for k in (0, 1, 3, len(LAYOUTS[cls][0]) - 1):
        c = make(cls)
        before = state(c)
        with pytest.raises(IndexError):
            c.__setstate_cython__(tuple(range(1, k + 1)))
        assert state(c)[:k] == tuple(range(1, k + 1))  # e.g. (1, 2, 3): integral, kd, ki on the PID classes
        assert all(a is b for a, b in zip(state(c)[k:], before[k:]))


@by_class
def test_setstate_extra_elements(cls):
    st = tuple(range(10, 10 + len(LAYOUTS[cls][0])))
    for extra in (({"x": 1},), ({"x": 1}, "ignored")):
        c = cls.__new__(cls)
        c.__setstate__(__pyx_state=st + extra)
        assert state(c) == st and not hasattr(c, "x")
        s = SUBS[cls].__new__(SUBS[cls])
        s.keep = 0
        s.__setstate__(st + extra)
        assert state(s)[:-1] == st and s.__dict__ == {"keep": 0, "x": 1}
    s = SUBS[cls].__new__(SUBS[cls])
    with pytest.raises(TypeError, match="not iterable"):  # dict.update(5), after the fields are written
        s.__setstate__(st + (5,))
    assert state(s)[:-1] == st


@pytest.mark.parametrize("name", ["__reduce__", "__reduce_cython__"])
@by_class
def test_reduce_refuses_arguments(cls, name):
    c = make(cls)
    count = r"^__reduce_cython__\(\) takes exactly 0 positional arguments \(1 given\)$"
    with pytest.raises(TypeError, match=count) as ei:
        getattr(c, name)(1)
    assert entries(ei) == []
    with pytest.raises(TypeError, match=r"^__reduce_cython__\(\) got an unexpected keyword argument 'x'$") as ei:
        getattr(c, name)(x=1, y=2)
    assert entries(ei) == []
    with pytest.raises(TypeError, match=r"^__setstate_cython__\(\) takes exactly 1 positional argument \(0 given\)$"):
        getattr(c, name.replace("reduce", "setstate"))()


@by_class
def test_reconstructor_looked_up_at_each_reduce(cls, mod, monkeypatch):
    name = "__pyx_unpickle_" + cls.__name__
    c = make(cls)
    delattr(mod, name)
    with pytest.raises(NameError, match=f"^name '{name}' is not defined$") as ei:
        c.__reduce__()
    assert entries(ei) == [f"vesk.cython_pid.{cls.__name__}.__reduce_cython__"]
    monkeypatch.setattr(builtins, name, sentinel := object(), raising=False)
    assert c.__reduce__()[0] is sentinel
    setattr(mod, name, len)
    assert c.__reduce_cython__()[0] is len


@by_class
def test_pickling_methods_and_reconstructor_names(cls):
    own = cls.__dict__
    for attr, base in (("__reduce__", "__reduce_cython__"), ("__reduce_cython__", "__reduce_cython__"),
                       ("__setstate__", "__setstate_cython__"), ("__setstate_cython__", "__setstate_cython__")):
        assert (own[attr].__name__, own[attr].__qualname__, own[attr].__doc__) == (
            base, f"{cls.__name__}.{base}", None)
    assert "__getstate__" not in own and "__reduce_ex__" not in own
    assert cls.__reduce_ex__ is object.__reduce_ex__ and cls.__getstate__ is object.__getstate__
    assert own["__reduce_cython__"].__code__.co_varnames == ("self", "state", "_dict", "use_setstate")
    assert own["__setstate_cython__"].__code__.co_varnames == ("self", "__pyx_state")
    r = recon(cls)
    assert (r.__name__, r.__qualname__, r.__module__, r.__doc__) == (
        "__pyx_unpickle_" + cls.__name__, "__pyx_unpickle_" + cls.__name__, "vesk.cython_pid", None)
    assert r.__code__.co_varnames == ("__pyx_type", "__pyx_checksum", "__pyx_state", "__pyx_PickleError",
                                      "__pyx_result")
    assert pickle.loads(pickle.dumps(r)) is r


def _advance(c, cls, start, count):
    """Steps `count` steps with finite inputs that depend only on the step number (here or on a worker);
    returns the controller, state and all, and the outputs as bytes."""
    dts = [0.1, 0.0, 0.05, 0.02]
    outputs = [c.compute_control(arr(cls, 1.5 * k, -k), arr(cls, 0.25, 0.5 * k), dts[k % 4]).tobytes()
               for k in range(start, start + count)]
    return c, outputs


def _in_pool(method):
    def ship(jobs):
        import multiprocessing
        with multiprocessing.get_context(method).Pool(2) as pool:
            return pool.starmap(_advance, jobs)
    return ship


def _on_dask(jobs):
    """dask's distributed scheduler on a local cluster of two worker processes (one thread each): the
    jobs are spread over both, and each comes back through dask's own serialisation."""
    distributed = pytest.importorskip("dask.distributed", reason="dask's distributed scheduler comes with the `test` extra")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=logging.ERROR) as cluster, distributed.Client(cluster) as client:
        client.wait_for_workers(2, timeout=120)
        futures = [client.submit(_advance, *job, pure=False) for job in jobs]
        return [future.result(timeout=120) for future in futures]


# 100 steps here, 100 on a worker process, 100 here again: the same outputs and state as 300 here.
@pytest.mark.parametrize("ship", [_in_pool("fork"), _in_pool("spawn"), _in_pool("forkserver"), _on_dask],
                         ids=["fork", "spawn", "forkserver", "dask"])
def test_round_trip_through_worker_processes_is_bitwise(ship):
    local = {cls: _advance(make(cls), cls, 0, 300) for cls in CLASSES}
    jobs = [(_advance(make(cls), cls, 0, 100)[0], cls, 100, 100) for cls in CLASSES]
    for (c, there), (_, cls, _, _) in zip(ship(jobs), jobs):
        assert type(c) is cls and all(isinstance(v, np.ndarray) or type(v) is float for v in state(c))
        c, after = _advance(c, cls, 200, 100)
        here, outputs = local[cls]
        assert there + after == outputs[100:], cls.__name__
        assert bits(c) == bits(here), cls.__name__
