"""Every entry point, against every place where Python code can run during
the call, against every change that code can make.

A case arms one hook, makes one call and checks what the module promises:
no crash (and, in the sanitizer build, no report), an ordinary exception or
the law's result on the arrays as they were before or after the change, and
a controller whose fields still agree on one size and that steps on. Each
hook fires once, at the first place it can. The call's arguments are only
lent to it, by a functools.partial that the test drops, as a caller can.
"""

import functools
import gc
import os
import pickle
import sys
import textwrap
import threading
import time
import weakref

import numpy as np
import pytest

import vesk.cython_pid as cp
from conftest import CLASSES, FIELDS, NDIM, checksums, fields, gains, make, run_python, same, shape_of

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")  # shape and strides set in place

N = 6
DT = 0.01
# each class's arrays of the element shape (every array field but the history)
GAIN_FIELDS = {cls: [k for k, v in fields(make(cls, N)).items() if np.shape(v) == shape_of(cls, N)]
               for cls in CLASSES}


def state_tuple(c):
    state = fields(c)
    return tuple(state[k] for k in sorted(state))


class Context:
    """What the hook's code may reach: the controller, the partial that lends
    the call's arguments, and through it those arguments (the partial alone
    keeps them; a weak reference would make NumPy refuse a resize)."""

    def __init__(self, controller):
        self.controller = controller
        self.lender = None
        self.junk = []
        self.after = []

    def lend(self, method, args):
        """A partial that alone holds the positional arguments and lends
        them to the call (keywords given at the call are the caller's)."""
        self.lender = functools.partial(method, *args)
        return self.lender

    def record_after(self):
        """The arguments' values just after the change, as the law would read them."""
        self.after = []
        for a in self.arrays():
            try:
                self.after.append(None if a is None else np.array(a, dtype=np.float64))
            except (TypeError, ValueError):
                self.after.append(None)

    def arrays(self):
        return _arrays_in(self.lender.args) if self.lender is not None else []

    def first_array(self):
        return next(iter(self.arrays()), None)


def _arrays_in(values):
    found = []
    for v in values:
        if isinstance(v, np.ndarray):
            found.append(v)
        elif isinstance(v, tuple):
            found.extend(_arrays_in(v))
    return found


# ---- the changes Python code can make ----------------------------------------


def _refill(ctx):
    """New arrays that take over the memory just freed, full of 7.0."""
    ctx.junk.extend(np.full(N, 7.0) for _ in range(40))
    ctx.junk.extend(np.full(2, 7.0) for _ in range(40))


def resize(ctx):
    if (a := ctx.first_array()) is not None:
        a.resize((2,) * a.ndim, refcheck=False)
        _refill(ctx)


def reshape(ctx):
    if (a := ctx.first_array()) is not None and a.size == N:
        a.shape = (N,) if a.ndim == 2 else (2, N // 2)  # frees the old dims block
        _refill(ctx)


def reshape_and_shrink(ctx):
    if (a := ctx.first_array()) is not None and a.size == N:
        a.shape = (N,) if a.ndim == 2 else (2, N // 2)
        a.resize((2, 1) if a.ndim == 2 else (2,), refcheck=False)
        _refill(ctx)


def restride(ctx):
    if (a := ctx.first_array()) is not None and a.ndim == 1 and a.size == N:
        a.strides = (0,)


def retype(ctx):
    if (a := ctx.first_array()) is not None and a.dtype.itemsize == 8:
        a.dtype = np.int64


def replace_contents(ctx):
    """New contents of the same shape: NumPy frees the old data block in place."""
    if (a := ctx.first_array()) is not None and a.dtype == np.float64:
        a.__setstate__((1, a.shape, a.dtype, False, np.full(a.size, 9.0).tobytes()))
        _refill(ctx)


def drop_lender(ctx):
    if ctx.lender is not None:
        ctx.lender.__setstate__((len, (), {}, None))
        _refill(ctx)


def reset_init(ctx):
    c = ctx.controller
    c.__init__(*gains(type(c), 2 * N))


def reset_setstate(ctx):
    c = ctx.controller
    c.__setstate_cython__(state_tuple(make(type(c), 2 * N)))


def drop_fields(ctx):
    c = ctx.controller
    c.__setstate_cython__((None,) * len(state_tuple(c)))


MUTATIONS = {
    "resize": resize,
    "reshape": reshape,
    "reshape and shrink": reshape_and_shrink,
    "restride": restride,
    "retype": retype,
    "replace contents": replace_contents,
    "drop lender": drop_lender,
    "reset by __init__": reset_init,
    "reset by __setstate_cython__": reset_setstate,
    "drop fields": drop_fields,
}
# What __init__, __setstate_cython__ and the reconstructors store may then
# disagree in size, as their callers asked: a change of an array that the
# controller keeps as a field (the PID classes keep their gains, set-state
# its state's arrays), or a reset in the middle of storing the fields (the
# fields are stored one after the other, and the law reads some of them back).
CHANGES_STORED = {"resize", "reshape", "reshape and shrink", "restride", "retype", "replace contents", "reset by __init__",
                  "reset by __setstate_cython__", "drop fields"}


# ---- the places where Python code runs -----------------------------------------


class Hook:
    """Fires the change once, from the first place it gets to run."""

    def __init__(self, change, ctx):
        self.change, self.ctx, self.armed, self.fired = change, ctx, False, False

    def __call__(self, *_):
        if self.armed:
            self.armed = False
            self.fired = True
            try:
                self.change(self.ctx)
            except (ValueError, TypeError, AttributeError):
                pass  # NumPy refused the change (a resize of an array still referenced, say)
            self.ctx.record_after()


def _colliding_key(name, hook):
    class Key:
        def __hash__(self):
            return hash(name)

        def __eq__(self, other):
            hook()
            return False

    return Key()


class NamespaceKey:
    """Keys of a namespace (the module's, or NumPy's for the functions the
    laws call) whose hashes are those of names the call looks up there: the
    look-up runs their __eq__."""

    def __init__(self, module, names):
        self.module, self.names = module, names

    def install(self, hook, call):
        ns = vars(self.module)
        saved = dict(ns)
        for name in self.names(call.cls):
            value = ns.pop(name)
            ns[_colliding_key(name, hook)] = None
            ns[name] = value

        def undo():
            ns.clear()
            ns.update(saved)

        return undo


class KeywordName:
    """Keyword names of a str subclass whose __eq__ runs the hook: binding
    must match them without calling it."""

    def install(self, hook, call):
        class Name(str):
            __hash__ = str.__hash__

            def __eq__(self, other):
                hook()
                return str.__eq__(self, other)

        call.keyword_name = Name
        return lambda: None


class Conversion:
    """A number whose conversion (__float__, __index__, __int__) runs the hook."""

    def install(self, hook, call):
        class Number:
            def __init__(self, value):
                self.value = value

            def __float__(self):
                hook()
                return float(self.value)

            def __index__(self):
                hook()
                return int(self.value)

            __int__ = __index__

        call.number = Number
        return lambda: None


class Finalizer:
    """Weak-reference callbacks on every field: a field the call drops runs
    the hook as it goes."""

    def install(self, hook, call):
        refs = [weakref.ref(v, hook) for v in fields(call.controller).values() if isinstance(v, np.ndarray)]
        return lambda: refs.clear()


class Collection:
    """The garbage collector's callbacks, with a collection at nearly every
    allocation of a tracked object."""

    def install(self, hook, call):
        threshold = gc.get_threshold()
        gc.callbacks.append(hook)
        gc.set_threshold(1)

        def undo():
            gc.set_threshold(*threshold)
            gc.callbacks.remove(hook)

        return undo


def reconstructor_name(cls):
    return "__pyx_unpickle_" + cls.__name__


HOOKS = {
    "namespace key np": NamespaceKey(cp, lambda cls: ["np"]),
    "namespace key reconstructor": NamespaceKey(cp, lambda cls: [reconstructor_name(cls)]),
    "numpy namespace key": NamespaceKey(np, lambda cls: ["zeros_like", "roll", "mean", "clip", "float64", "zeros"]),
    "keyword name": KeywordName(),
    "conversion": Conversion(),
    "finalizer": Finalizer(),
    "gc callback": Collection(),
}


# ---- the entry points --------------------------------------------------------


class Call:
    """One entry point's call: method, arguments, keyword arguments. Numbers
    go through `number` and keyword names through `keyword_name`, which the
    hooks may replace."""

    def __init__(self, cls, entry):
        self.cls, self.entry = cls, entry
        self.controller = make(cls, N)
        for _ in range(3):  # a history and a previous error worth reading
            self.controller.compute_control(*self.positions(), DT)
        self.number = lambda v: v
        self.keyword_name = str
        self.dt = 0.0 if entry == "compute_control at dt 0" else DT  # dt 0 looks np.zeros_like up

    def positions(self):
        shape = shape_of(self.cls, N)
        return np.linspace(1.0, 2.0, N).reshape(shape).copy(), np.full(shape, 0.25)  # each owns its data

    def make(self):
        c, kw = self.controller, self.keyword_name
        if self.entry.startswith("compute_control"):
            return c.compute_control, self.positions(), {kw("dt"): self.number(self.dt)}
        if self.entry == "__init__":
            g = gains(self.cls, N)
            if "learning_rate" in FIELDS[self.cls]:
                return c.__init__, tuple(g), {kw("learning_rate"): self.number(0.02)}
            return c.__init__, tuple(g[:2]), {kw("kd"): g[2]}
        if self.entry == "__reduce_cython__":
            return c.__reduce_cython__, (), {}
        state = state_tuple(self.cls(*gains(self.cls, N, (5.0, 6.0, 7.0))))
        if self.entry == "__setstate_cython__":
            return c.__setstate_cython__, (state,), {}
        reconstruct = getattr(cp, reconstructor_name(self.cls))
        return reconstruct, (self.cls, self.number(checksums(self.cls)[0]), state), {}


ENTRIES = ["compute_control", "compute_control at dt 0", "__init__", "__reduce_cython__", "__setstate_cython__", "reconstructor"]


def consistent(c):
    """Every array field of one shape (the history ten rows of it), or all None."""
    f = fields(c)
    arrays = [f[k] for k in GAIN_FIELDS[type(c)]]
    if all(a is None for a in arrays):
        return True
    if not all(type(a) is np.ndarray for a in arrays):
        return False
    shapes = {a.shape for a in arrays}
    if len(shapes) != 1:
        return False
    if "error_history" in f:
        return np.shape(f["error_history"]) == (10, *shapes.pop())
    return True


def outcomes(clones, positions, dt):
    """The law's control signal for each state and positions it may have used."""
    results = []
    for clone in clones:
        for r, y in positions:
            try:
                results.append(pickle.loads(clone).compute_control(r, y, dt))
            except Exception:
                pass
    return results


@pytest.mark.parametrize("mutation", MUTATIONS)
@pytest.mark.parametrize("hook", HOOKS)
@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_python_code_during_a_call_cannot_break_it(cls, entry, hook, mutation):
    call = Call(cls, entry)
    c = call.controller
    before = pickle.dumps(c)
    ctx = Context(c)
    fire = Hook(MUTATIONS[mutation], ctx)
    undo = HOOKS[hook].install(fire, call)
    try:
        method, args, kwargs = call.make()
        before_args = [a.copy() for a in args if isinstance(a, np.ndarray)]
        p = ctx.lend(method, args)
        del method, args
        fire.armed = True
        try:
            result = p(**kwargs)
            error = None
        except Exception as exc:  # an ordinary exception is an answer
            result, error = None, exc
        fire.armed = False
    finally:
        undo()
    assert not isinstance(error, SystemError), error
    del p
    ctx.lender = None
    gc.collect()
    if entry.startswith("compute_control") and error is None:
        positions = [tuple(before_args)]
        if ctx.after and ctx.after[0] is not None:
            positions.append((ctx.after[0], before_args[1]))
        states = [before]
        if mutation.startswith("reset"):
            reset = type(c)(*gains(cls, 2 * N))
            states.append(pickle.dumps(reset))
        expected = outcomes(states, positions, call.dt)
        assert any(same(result, e) for e in expected), (result, expected)
    if entry == "reconstructor" and error is None:
        c = result
    if not (mutation in CHANGES_STORED and entry in ("__init__", "__setstate_cython__", "reconstructor")):
        assert consistent(c), fields(c)
    if all(isinstance(v, np.ndarray) for k, v in fields(c).items() if k in GAIN_FIELDS[cls]) and consistent(c):
        shape = np.shape(fields(c)["kp"])
        try:
            c.compute_control(np.ones(shape), np.zeros(shape), DT)  # and it steps on
        except Exception:
            if mutation not in CHANGES_STORED:  # arrays the caller retyped may refuse to
                raise


# ---- other threads, forked children and unbounded re-entry -------------------
#
# Each case runs in a child interpreter under an alarm: a hang or a crash
# fails it, where the same law written with NumPy ends. `make(n)` gives a
# controller of n elements and its shape; `big` overflows its first step.

THREAD_PRELUDE = """
import gc, os, signal, sys, threading, time
import numpy as np
import vesk.cython_pid as cp
signal.alarm(60)
cls = cp.{cls}
def make(n):
    shape = (n,) if {ndim} == 1 else (2, n // 2)
    return cls(*(np.ones(shape) for _ in range(3))), shape
def step(c, shape, value=1.0):
    return c.compute_control(np.full(shape, value), np.zeros(shape), 0.01)
def overflowing(c, shape, callback):
    # steps c into an overflow whose callback (the generic law's) runs `callback`
    np.seterrcall(lambda kind, flag: callback())
    big = np.full(shape, 1e308)
    with np.errstate(over="call"):
        c.compute_control(big, -big, 0.01)
def forked(action):
    # a child that runs `action` under an alarm: its exit status
    pid = os.fork()
    if pid == 0:
        signal.alarm(30)
        action()
        os._exit(0)
    return os.waitpid(pid, 0)[1]
class Spinner:
    # steps c back to back in a thread of its own (at most `limit` steps),
    # counting them; leaving the `with` stops and joins the thread, so that
    # none runs on while the interpreter finalizes
    def __init__(self, c, shape, limit=None):
        self.c, self.shape, self.limit, self.count = c, shape, limit, 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.spin, daemon=True)
    def spin(self):
        r, y = np.ones(self.shape), np.zeros(self.shape)
        while not self.stop.is_set() and self.count != self.limit:
            self.c.compute_control(r, y, 0.01)
            self.count += 1
    def __enter__(self):
        self.thread.start()
        time.sleep(0.05)
        return self
    def __exit__(self, *exc_info):
        self.stop.set()
        self.thread.join()
"""

THREAD_CASES = {
    # a forked child steps a controller whose kernel another thread of the parent was running
    "fork during a large step": """
        c, shape = make(1 << 20)
        with Spinner(c, shape):
            assert [forked(lambda: step(c, shape)) for _ in range(5)] == [0] * 5
    """,
    # ... or whose generic law was running Python code in another thread
    "fork during a callback": """
        c, shape = make(8)
        inside, leave = threading.Event(), threading.Event()
        t = threading.Thread(target=overflowing, args=(c, shape, lambda: (inside.set(), leave.wait())), daemon=True)
        t.start()
        inside.wait()
        assert forked(lambda: step(c, shape)) == 0
        leave.set()
        t.join()
    """,
    # a call waiting for another thread's kernel runs signal handlers: one
    # that raises ends the wait and the call (a pickle's traceback says where;
    # the alarm above guards the run, so a timer on CPU time ticks here)
    "signal during a wait": """
        import traceback
        c, shape = make(1 << 22)
        class Tick(Exception):
            pass
        armed = False
        def tick(signum, frame):
            if armed:
                raise Tick
        with Spinner(c, shape):
            signal.signal(signal.SIGVTALRM, tick)
            signal.setitimer(signal.ITIMER_VIRTUAL, 0.002, 0.002)
            in_the_call = False
            deadline = time.monotonic() + 10
            while not in_the_call and time.monotonic() < deadline:
                try:
                    armed = True
                    c.__reduce__()
                    armed = False
                except Tick as e:
                    armed = False
                    in_the_call = any(f.f_code.co_name.endswith(".__reduce_cython__") for f, _ in traceback.walk_tb(e.__traceback__))
            signal.setitimer(signal.ITIMER_VIRTUAL, 0)
        assert in_the_call
    """,
    # a thread stepping back to back (between its steps it keeps the GIL)
    # does not starve another thread's step: a few of its steps go by during
    # one of ours, not all it takes (counted, not timed: a step's time is
    # the machine's)
    "a step among another thread's steps": """
        signal.alarm(240)
        c, shape = make(1 << 20)
        r, y = np.ones(shape), np.zeros(shape)
        passed = []
        with Spinner(c, shape, limit=100) as other:
            for _ in range(5):
                before = other.count
                c.compute_control(r, y, 0.01)
                passed.append(other.count - before)
        assert max(passed) <= 30, passed
    """,
    # a step does not wait for Python code that another thread's step runs
    "step during a callback": """
        c, shape = make(8)
        inside, leave = threading.Event(), threading.Event()
        t = threading.Thread(target=overflowing, args=(c, shape, lambda: (inside.set(), leave.wait())))
        t.start()
        inside.wait()
        step(c, shape)
        leave.set()
        t.join()
    """,
    # a callback joins a thread that steps the same controller
    "join in a callback": """
        c, shape = make(8)
        def join():
            t = threading.Thread(target=step, args=(c, shape))
            t.start()
            t.join()
        overflowing(c, shape, join)
    """,
    # two threads whose callbacks each step the other's controller
    "crossed callbacks": """
        (a, shape), (b, _) = make(8), make(8)
        both = threading.Barrier(2, timeout=20)
        threads = [threading.Thread(target=overflowing, args=(x, shape, lambda y=y: (both.wait(), step(y, shape))))
                   for x, y in ((a, b), (b, a))]
        for t in threads: t.start()
        for t in threads: t.join()
    """,
}
for _how in ("errcall", "operator"):
    for _where in ("main thread", "4 MiB thread"):
        THREAD_CASES[f"unbounded re-entry by {_how}, {_where}"] = f"""
        c, shape = make(4)
        class Sub(np.ndarray):
            def __sub__(self, other):
                return c.compute_control(self, other, 0.01)
        def recurse():
            try:
                if "{_how}" == "errcall":
                    overflowing(c, shape, lambda: step(c, shape, 1e308))
                else:
                    c.compute_control(np.ones(shape).view(Sub), np.zeros(shape), 0.01)
            except RecursionError:
                print("RecursionError")
        if "{_where}" == "main thread":
            recurse()
        else:
            threading.stack_size(4 << 20)
            t = threading.Thread(target=recurse)
            t.start()
            t.join()
        """


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork")
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("case", THREAD_CASES)
@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_threads_forks_and_reentry_end_as_the_law_ends(cls, case):
    if "4 MiB" in case and (hasattr(sys, "gettotalrefcount") or
                            ("errcall" in case and np.lib.NumpyVersion(np.__version__) < "2.3.0")):
        # There the same law in NumPy itself overflows a 4 MiB stack (NumPy
        # before 2.3 in its error callback; a debug interpreter's larger frames).
        pytest.skip("the law in NumPy overflows a 4 MiB thread's stack here too")
    code = THREAD_PRELUDE.format(cls=cls.__name__, ndim=NDIM[cls]) + textwrap.dedent(THREAD_CASES[case])
    proc = run_python(code, check=False)
    assert proc.returncode == 0, (proc.returncode, proc.stderr[-2000:])
    if "re-entry" in case:
        assert proc.stdout.split() == ["RecursionError"], proc.stdout


# Under ThreadSanitizer every access is checked: a smaller step keeps the
# watcher's run to seconds.
UNDER_TSAN = "TSAN_OPTIONS" in os.environ


@pytest.mark.parametrize("size", ["small", "large"])
@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_a_field_another_thread_holds_changes_only_where_the_law_writes_in_place(cls, size):
    # A watcher takes the fields while another thread runs steps back to
    # back: the law writes the integral (and the adaptive kp) in place and
    # replaces the other arrays, so what the watcher holds of those never
    # changes; and its pickles get their turn. Large steps run without the
    # GIL; small ones reuse replaced arrays nothing else holds, which without
    # a GIL another thread may be taking at that moment.
    c = make(cls, 6 if size == "small" else 1 << 14 if UNDER_TSAN else 1 << 18)
    names = FIELDS[cls]  # gc.get_referents lists the fields in this order
    in_place = {"integral"} | ({"kp"} if "error_history" in names else set())  # the adaptive law adapts kp
    shape = np.shape(fields(c)["kp"])
    targets = [np.full(shape, float(k)) for k in range(4)]
    stop = threading.Event()

    def loop():
        k = 0
        while not stop.is_set():
            c.compute_control(targets[k % 4], np.zeros(shape), DT)
            k += 1

    worker = threading.Thread(target=loop)
    worker.start()
    changed = set()
    try:
        for _ in range(40 if size == "large" else 400):
            held = {k: v for k, v in zip(names, gc.get_referents(c)) if isinstance(v, np.ndarray) and k not in in_place}
            # the pickled state holds the fields too: a step must not write
            # in place what the pickle took between its decision and its store
            # (waits for the running kernel, not for every next one: pickling
            # the arrays themselves would read the integral while a later
            # kernel writes it in place, as it would with the law)
            held |= {f"pickled {k}": v for k, v in fields(c).items() if isinstance(v, np.ndarray) and k not in in_place}
            before = {k: v.copy() for k, v in held.items()}
            time.sleep(0.002 if size == "large" else 0.0002)
            changed |= {k for k in held if not np.array_equal(held[k], before[k])}
    finally:
        stop.set()
        worker.join()
    assert not changed


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads /proc")
@pytest.mark.skipif("LD_PRELOAD" in os.environ, reason="a sanitizer's allocator keeps freed memory")
def test_memory_kept_for_large_steps_is_given_back():
    # After a large step the module keeps its scratch for the next one; it
    # gives it back when the last controller goes, and when steps need far
    # less.
    code = THREAD_PRELUDE.format(cls="AdaptiveController", ndim=NDIM[cp.AdaptiveController]) + textwrap.dedent("""
        def rss():
            gc.collect()
            return int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        base = rss()
        c, shape = make(1 << 22)
        step(c, shape)
        del c
        assert rss() - base < 8 << 20, ("all freed", (rss() - base) >> 20)
        c, shape = make(1 << 22)
        step(c, shape)
        c, shape = make(1 << 13)
        step(c, shape)
        assert rss() - base < 8 << 20, ("small steps", (rss() - base) >> 20)
    """)
    run_python(code)
