"""Random calls of every callable of vesk.cython_pid in one process.

Every call must return a value or raise an ordinary exception: an Exception
subclass other than SystemError (which the interpreter raises when a C
function breaks its contract). Buffers of the arguments must be released when
a call returns. Anything else stops the run with exit status 1; a crash kills
the process. The run is reproducible from its seed:

    python tests/fuzz_driver.py --seed SEED --calls N [--trace]

--trace prints each call before it is made (to find the one that crashes).
"""

import argparse
import faulthandler
import gc
import math
import pickle
import random
import sys
import warnings

import numpy as np

import vesk.cython_pid as cp
from conftest import CLASSES, NDIM, base, checksums, names as field_names  # this file's folder is on sys.path

UNPICKLE = {c: getattr(cp, "__pyx_unpickle_" + c.__name__) for c in CLASSES}
PARAMS = {
    "init": ("kp", "ki", "kd"),
    "init_adaptive": ("initial_kp", "initial_ki", "initial_kd", "learning_rate", "max_adjustment"),
    "step": ("target_position", "current_position", "dt"),
    "unpickle": ("__pyx_type", "__pyx_checksum", "__pyx_state"),
}
CHECKSUMS = tuple(dict.fromkeys(k for c in CLASSES for k in checksums(c)))  # every accepted one, once
FLOATS = (0.0, -0.0, 1.0, -1.0, 0.5, 1e-3, 1e308, 5e-324, math.nan, math.inf, -math.inf)
INTS = (0, 1, -1, 7, 2**31, 2**63 - 1, -(2**63), 2**64, 2**200, True)
DTYPES = ("f4", "f2", "g", "c16", "i8", "i4", "u1", "?", "O", "U2", "S2", "M8[s]", "V8", ">f8",
          [("a", "f8")], [("a", ">f8")], [("a", "f8"), ("b", "f8")], [("a", "f8", (2,))], [("a", "i8")])
SHAPES = {1: [(3,), (3,), (1,), (2,), (0,)], 2: [(2, 3), (2, 3), (1, 3), (2, 1), (0, 3)]}


class Boom(Exception):
    pass


class FloatSub(float):
    pass


class IntSub(int):
    pass


class Key(str):
    """A keyword name whose comparison fails."""

    def __hash__(self):
        return hash(str(self)) ^ 1

    def __eq__(self, other):
        raise Boom("Key.__eq__")


def _boom(*a, **k):
    raise Boom("odd")


def _reenter(*a, **k):
    """Makes another random call from inside a call (one level deep)."""
    fuzz = Fuzzer.current
    if fuzz and not fuzz.busy:
        fuzz.busy = True
        try:
            fuzz.call()[1]()
        except SystemError:
            raise
        except Exception:
            pass
        finally:
            fuzz.busy = False
    return np.ones(3)


# What a misbehaving special method may do: fail, return odd types, call back
# into the module, collect garbage, rebind the module's `np` (restored after
# each call).
BEHAVIOURS = (_boom, _reenter, *(lambda *a, r=r, **k: r() for r in (
    lambda: gc.collect(0), lambda: setattr(cp, "np", None), lambda: "x", lambda: None, lambda: FloatSub(2.5),
    lambda: IntSub(3), lambda: 7, lambda: 0.5, lambda: np.ones(3), lambda: np.ones((2, 3)),
    lambda: NotImplemented, lambda: [1.0]
)))
DUNDERS = ("__float__", "__int__", "__index__", "__sub__", "__rsub__", "__mul__", "__rmul__",
           "__truediv__", "__rtruediv__", "__add__", "__radd__", "__iadd__", "__neg__",
           "__setitem__", "__getitem__", "__gt__", "__lt__")
ARRAY_DUNDERS = DUNDERS + ("copy", "__array_ufunc__", "__array_finalize__", "__buffer__")

OUTSTANDING = [0]  # buffers of Tracked arrays taken and not yet released


class Tracked(np.ndarray):
    """An ndarray subclass that counts the buffers taken from it."""

    def __buffer__(self, flags):
        view = np.ndarray.__buffer__(self, flags)
        OUTSTANDING[0] += 1
        return view

    def __release_buffer__(self, view):
        OUTSTANDING[0] -= 1


# Python subclasses of the controllers: with a __dict__, and with a __del__ too.
SUBCLASSES = [type("Sub" + c.__name__, (c,), {}) for c in CLASSES]
SUBCLASSES += [type("Del" + c.__name__, (c,), {"__del__": lambda self: setattr(self, "x", 1)}) for c in CLASSES]
globals().update((c.__name__, c) for c in SUBCLASSES)  # picklable by name


class Fuzzer:
    current = None

    def __init__(self, seed):
        Fuzzer.current = self
        self.busy = False
        self.rng = rng = random.Random(seed)
        self.odd = [type("Odd", (), self._odd_methods(DUNDERS)) for _ in range(40)]
        buffers = (_boom, lambda s, f: memoryview(b"abc"), lambda s, f: 1.0,
                   lambda s, f: memoryview(np.ones((2, 2))), lambda s, f: memoryview(np.ones(3, "f4")))
        self.odd_arrays = []
        for _ in range(40):
            ns = self._odd_methods(ARRAY_DUNDERS)
            if "__buffer__" in ns:
                ns["__buffer__"] = rng.choice(buffers)
            if "__array_ufunc__" in ns and rng.random() < 0.5:
                ns["__array_ufunc__"] = None
            self.odd_arrays.append(type("OddArray", (np.ndarray,), ns))
        self.pool = []

    def _odd_methods(self, names):
        return {n: self.rng.choice(BEHAVIOURS) for n in self.rng.sample(names, self.rng.randint(1, 5))}

    def array(self, ndim=None, shape=None, odd=0.5):
        rng = self.rng
        ndim = rng.choice([0, 1, 1, 2, 2, 3]) if ndim is None else ndim
        shape = shape or (rng.choice(SHAPES[ndim]) if ndim in SHAPES else (2,) * ndim)
        if rng.random() < 1 - odd / 2:
            a = np.array([rng.choice(FLOATS) for _ in range(math.prod(shape))]).reshape(shape)
        else:
            a = np.zeros(shape, rng.choice(DTYPES))
        kind = rng.randrange(12) if rng.random() < odd else -1
        if kind == 0 and a.ndim:
            a = np.repeat(a, 2, axis=-1)[..., ::2]  # strided
        elif kind == 1 and a.ndim:
            a = a[::-1]
        elif kind == 2:
            a = a.T
        elif kind == 3:
            a = np.broadcast_to(a, a.shape)  # read-only
        elif kind == 4 and a.ndim:
            a = np.broadcast_to(a[..., :1], a.shape)  # zero strides
        elif kind == 5:
            a = a.view(Tracked)
        elif kind == 6:
            try:
                a = a.view(rng.choice(self.odd_arrays))
            except Exception:  # an odd __array_finalize__
                pass
        elif kind == 7 and a.dtype == np.float64:
            a = a.byteswap().view(a.dtype.newbyteorder())
        elif kind == 8 and a.ndim == 2:
            a = np.asmatrix(a)
        elif kind == 9:
            a = np.ma.masked_array(a)
        return a

    def value(self):
        rng = self.rng
        k = rng.randrange(16)
        if k < 5:
            return self.array()
        return rng.choice((
            lambda: None, lambda: rng.choice(INTS), lambda: rng.choice(FLOATS),
            lambda: rng.choice(("", "abc", "kp")), lambda: [1.0, 2.0], lambda: (1.0,),
            lambda: {"x": 1}, lambda: rng.choice(self.odd)(), lambda: np.float64(rng.choice(FLOATS)),
            lambda: rng.choice(CLASSES + tuple(SUBCLASSES) + (int, object)), lambda: self.controller(),
        ))()

    def controller(self):
        return self.rng.choice(self.pool) if self.pool else None

    def plausible(self, cls, name):
        """A likely-valid value for parameter `name` of class `cls`, most of the time."""
        rng = self.rng
        if rng.random() < 0.08:
            return self.value()
        if name in ("dt", "learning_rate", "max_adjustment"):
            return rng.choice(FLOATS + (1, 0, -1, np.float64(0.1), FloatSub(0.1)))
        if name == "__pyx_checksum":
            return rng.choice(CHECKSUMS + (-1, 0, float(CHECKSUMS[0]), IntSub(CHECKSUMS[0])))
        if name == "__pyx_type":
            return rng.choice((cls, cls, rng.choice(SUBCLASSES), rng.choice(CLASSES)))
        if name == "__pyx_state":
            return self.state(cls)
        nd = NDIM[base(cls)]
        return self.array(nd, rng.choice([None, None, (1,) * nd]), odd=0.1)

    def state(self, cls):
        rng = self.rng
        if rng.random() < 0.1:
            return rng.choice((None, [1, 2, 3, 4, 5], self.value()))
        fields = field_names(cls)
        n = len(fields)
        items = [self.plausible(cls, "kp") if rng.random() < 0.7 else self.value()
                 for _ in range(rng.choice((n,) * 6 + (n - 1, 0, 2)))]
        if len(items) == n and "error_history" in fields:
            items[fields.index("learning_rate")] = rng.choice((0.01, 0.0, -1.0, self.value()))
            items[fields.index("max_adjustment")] = rng.choice((0.1, math.nan, self.value()))
            if rng.random() < 0.7:
                items[fields.index("error_history")] = np.zeros((10, 3))
        if rng.random() < 0.2:
            items.append(rng.choice(({"a": 1}, [1], None, self.value())))
        return tuple(items)

    def args(self, cls, names, required):
        """Arguments for a callable with parameters `names`: mostly well formed."""
        rng = self.rng
        vals = [self.plausible(cls, n) for n in names]
        count = required if rng.random() < 0.85 else rng.randint(0, len(names) + 2)
        vals = (vals + [self.value() for _ in range(count)])[:count]
        kw = {}
        if rng.random() < 0.3:
            split = rng.randint(0, len(vals))
            kw = {names[i]: vals[i] for i in range(split, min(len(vals), len(names)))}
            vals = vals[:split]
        if rng.random() < 0.1:
            kw[rng.choice(names + ("bogus", "self", Key(names[0]), 1))] = self.value()
        return vals, kw

    def call(self):
        """Builds one random call: ((label, args, kwargs), thunk)."""
        rng = self.rng
        cls = rng.choice(CLASSES + tuple(SUBCLASSES))
        obj = self.controller() if self.pool and rng.random() < 0.8 else None
        if obj is not None:
            cls = type(obj)
        init = PARAMS["init_adaptive" if "learning_rate" in field_names(cls) else "init"]
        op = rng.choice(("new", "init", "step", "step", "step", "step", "unbound", "reduce",
                         "setstate", "unpickle", "dunder_new", "pickle", "np"))
        if op == "new" or obj is None:
            a, kw = self.args(cls, init, 3)
            return (cls.__name__, a, kw), lambda: self.keep(cls(*a, **kw))
        if op == "init":
            a, kw = self.args(cls, init, 3)
            return ("obj.__init__", a, kw), lambda: obj.__init__(*a, **kw)
        if op == "step":
            a, kw = self.args(cls, PARAMS["step"], 3)
            return ("obj.compute_control", a, kw), lambda: obj.compute_control(*a, **kw)
        if op == "unbound":
            base = rng.choice(CLASSES)
            a, kw = self.args(cls, PARAMS["step"], 3)
            meth = rng.choice(("compute_control", "__reduce__", "__setstate__", "__setstate_cython__"))
            a = ([obj if rng.random() < 0.5 else self.value()] if rng.random() < 0.9 else []) + a
            return (f"{base.__name__}.{meth}", a, kw), lambda: getattr(base, meth)(*a, **kw)
        if op == "reduce":
            meth = rng.choice(("__reduce__", "__reduce_cython__"))
            a = [] if rng.random() < 0.8 else [self.value()]
            kw = {} if rng.random() < 0.9 else {"x": 1}
            return (f"obj.{meth}", a, kw), lambda: getattr(obj, meth)(*a, **kw)
        if op == "setstate":
            meth = rng.choice(("__setstate__", "__setstate_cython__"))
            s = self.state(cls)
            a, kw = ([s], {}) if rng.random() < 0.8 else ([], {"__pyx_state": s})
            return (f"obj.{meth} + steps", a, kw), lambda: (getattr(obj, meth)(*a, **kw), self.steps(obj))
        if op == "unpickle":
            target = rng.choice(CLASSES)
            a, kw = self.args(target, PARAMS["unpickle"], 3)
            return (UNPICKLE[target].__name__, a, kw), lambda: self.keep(UNPICKLE[target](*a, **kw), steps=True)
        if op == "dunder_new":
            base = rng.choice(CLASSES)
            a = [rng.choice((cls, rng.choice(SUBCLASSES), int, self.value()))] if rng.random() < 0.95 else []
            a += [self.value() for _ in range(rng.randint(0, 3))]
            kw = {"x": 3} if rng.random() < 0.3 else {}
            return (f"{base.__name__}.__new__", a, kw), lambda: self.keep(base.__new__(*a, **kw))
        if op == "pickle":
            return ("pickle round trip + steps", [obj], {}), lambda: self.keep(pickle.loads(pickle.dumps(obj)), steps=True)
        # op == "np": a step while the module's `np` is something else
        fake = rng.choice((None, self.fake_numpy()))
        name = "compute_control" if rng.random() < 0.7 else "__init__"
        a, kw = self.args(cls, PARAMS["step"] if name == "compute_control" else init, 3)
        meth = getattr(obj, name)
        return (f"np={fake and vars(fake)}; obj.{name}", a, kw), lambda: (self.set_np(fake), meth(*a, **kw))

    def fake_numpy(self):
        rng = self.rng
        ns = {n: getattr(np, n) for n in ("zeros_like", "zeros", "roll", "mean", "clip", "float64")}
        for n in rng.sample(list(ns), rng.randint(1, 3)):
            ns[n] = rng.choice(BEHAVIOURS) if rng.random() < 0.8 else None
        return type("FakeNumpy", (), {k: staticmethod(v) if callable(v) else v for k, v in ns.items()})

    def set_np(self, fake):  # run() restores `np` after each call
        if fake is None:
            del cp.np
        else:
            cp.np = fake

    def steps(self, obj):
        for _ in range(self.rng.randint(1, 3)):
            a, kw = self.args(type(obj), PARAMS["step"], 3)
            try:
                obj.compute_control(*a, **kw)
            except SystemError:
                raise
            except Exception:
                pass

    def keep(self, obj, steps=False):
        if isinstance(obj, CLASSES):
            if len(self.pool) >= 16:
                self.pool.pop(self.rng.randrange(16))
            self.pool.append(obj)
            if steps:
                self.steps(obj)
        return obj


def run(seed, calls, trace=False):
    fuzz = Fuzzer(seed)
    raised = 0
    for i in range(calls):
        desc = ("building the call", [], {})
        with warnings.catch_warnings():
            warnings.simplefilter("error" if fuzz.rng.random() < 0.2 else "ignore")
            try:
                desc, thunk = fuzz.call()  # may run odd __array_finalize__ methods
                if trace:
                    print(f"{i}: {describe(desc)}", flush=True)
                thunk()
            except SystemError as e:
                return fail(seed, i, desc, e)
            except Exception:
                raised += 1
            except BaseException as e:
                return fail(seed, i, desc, e)
            finally:
                cp.np = np
        if OUTSTANDING[0]:
            return fail(seed, i, desc, f"{OUTSTANDING[0]} buffer(s) still held after the call")
        if i % 500 == 0:
            gc.collect()
    fuzz.pool.clear()
    gc.collect()
    print(f"fuzz: seed={seed} calls={calls} returned={calls - raised} raised={raised}")
    return 0


def describe(desc):
    def show(x):
        try:
            return repr(x)
        except Exception:
            return f"<{type(x).__name__}>"

    label, a, kw = desc
    return f"{label}({', '.join([*map(show, a), *(f'{show(k)}={show(v)}' for k, v in kw.items())])})"


def fail(seed, i, desc, error):
    print(f"fuzz FAILURE: seed={seed} call #{i}: {describe(desc)}\n  -> {error!r}", flush=True)
    return 1


if __name__ == "__main__":
    faulthandler.enable()
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--calls", type=int, default=10_000)
    parser.add_argument("--trace", action="store_true")
    opts = parser.parse_args()
    sys.exit(run(opts.seed, opts.calls, opts.trace))
