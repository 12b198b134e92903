"""Controller objects: allocation, finalizers, garbage collection and release of the fields."""

import abc
import gc
import re
import sys
import traceback
import weakref

import numpy as np
import pytest

from conftest import CLASSES, FIELDS as DECLARED, NDIM, base, entries, fields, names as layout


def shape(cls):
    return (3,) if NDIM[base(cls)] == 1 else (2, 3)


def make(cls):
    gains = [np.full(shape(cls), v) for v in (2.0, 0.5, 0.1)]
    return cls(*gains), gains


def step(c):
    return c.compute_control(np.ones(shape(type(c))), np.zeros(shape(type(c))), 0.1)


def error_of(call):
    with pytest.raises(Exception) as info:
        call()
    return info.value


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {"x": 3})], ids=["no-args", "ignored-args"])
def test_new_leaves_every_field_none(cls, args, kwargs):
    sub = type("Sub", (cls,), {})
    for c in (sub.__new__(sub, *args, **kwargs), cls.__new__(cls, *args, **kwargs)):
        assert all(v is None for v in fields(c).values()) and len(fields(c)) == len(DECLARED[cls])
        assert gc.is_tracked(c)
    assert len(c.__reduce__()) == 2  # every field None and no instance dict: the form without set-state
    # a step fails in the control law, at the first use of a field: np.roll of the history, or kp * error
    r, y = np.ones(shape(cls)), np.zeros(shape(cls))
    first_use = (lambda: np.roll(None, shift=1, axis=0)) if "error_history" in DECLARED[cls] else (lambda: None * (r - y))
    expected, err = error_of(first_use), error_of(lambda: c.compute_control(r, y, 0.1))
    assert type(err) is type(expected) and str(err) == str(expected)
    assert entries(err) == [f"vesk.cython_pid.{cls.__name__}.compute_control"]
    assert all(v is None for v in fields(c).values())


def abstract_job(base):
    class Job(base, metaclass=abc.ABCMeta):
        @abc.abstractmethod
        def run(self): ...

    return Job


@pytest.mark.parametrize("cls", CLASSES)
def test_abstract_subclass_is_refused_at_allocation(cls):
    job = abstract_job(cls)
    expected = error_of(abstract_job(object))
    for call in (job, lambda: job.__new__(job), lambda: job(1, 2, 3)):  # refused before __init__ binds
        err = error_of(call)
        assert type(err) is TypeError and str(err) == str(expected)
    done = type("Done", (job,), {"run": lambda self: None})
    assert all(v is None for v in fields(done.__new__(done)).values())
    make(done)


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("how", ["last-reference", "cycle"])
def test_finalizer_runs_once_and_sees_the_fields(cls, how):
    seen = []

    class Sub(cls):
        def __del__(self):  # ids only: keeping the objects would resurrect a cycle
            seen.append(({k: id(v) for k, v in fields(self).items()}, self.note))

    c, _ = make(Sub)
    c.note = "extra"
    step(c)
    held = fields(c)  # keeps the field objects alive, so their ids stay theirs
    if how == "cycle":
        state = [[c] if name == "kp" else held[name] for name in layout(cls)]
        held["kp"] = state[layout(cls).index("kp")]
        c.__setstate__(tuple(state))
        del state
    expected = {k: id(v) for k, v in held.items()}
    if how == "cycle":
        del held["kp"]
    del c
    gc.collect()
    gc.collect()
    assert seen == [(expected, "extra")]


@pytest.mark.parametrize("cls", CLASSES)
def test_finalizer_can_resurrect(cls):
    kept, calls = [], []

    class Sub(cls):
        def __del__(self):
            calls.append(1)
            kept.append(self)

    c, gains = make(Sub)
    alive, integral = weakref.ref(c), weakref.ref(fields(c)["integral"])
    before = {k: id(v) for k, v in fields(c).items()}
    del c
    assert calls == [1] and alive() is kept[0]
    c = kept.pop()
    assert {k: id(v) for k, v in fields(c).items()} == before
    assert step(c).shape == shape(cls)  # still usable
    del c
    assert calls == [1]  # not finalized twice
    assert alive() is None and integral() is None


def watched(name, released):
    """A fresh array (not tracked by the collector) that records `name` when it is freed."""
    a = np.zeros(1)
    weakref.finalize(a, released.append, name)
    return a


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("how", ["last-reference", "collector"])
def test_fields_released_in_declared_order(cls, how):
    released, found = [], []
    gc.collect()
    gc.disable()  # keeps the controller ahead of the list in the collector's order
    try:
        c = cls.__new__(cls)
        target = id(c)
        state = {name: watched(name, released) for name in DECLARED[cls] if how == "last-reference" or name != "kp"}
        if how == "collector":
            # controller -> kp -> loop -> controller; the list also holds itself, so it outlives the
            # controller's clear, and a probe array whose release (when the list is cleared later)
            # fetches the cleared controller from the collector's lists
            loop = [c, watched("probe", released)]
            weakref.finalize(loop[1], lambda: found.extend(o for o in gc.get_objects() if id(o) == target))
            loop.append(loop)
            state["kp"] = loop
            del loop
        c.__setstate__(tuple(state[name] for name in layout(cls)))
        del c, state
        gc.collect()
    finally:
        gc.enable()
    if how == "last-reference":
        assert released == list(DECLARED[cls])
        return
    assert released == list(DECLARED[cls][1:]) + ["probe"]
    assert len(found) == 1, "the controller was not cleared before the list"
    c = found.pop()
    assert type(c) is cls and all(v is None for v in fields(c).values())
    c.__init__(*make(cls)[1])  # still usable after the clear
    assert step(c).shape == shape(cls)


@pytest.mark.parametrize("cls", CLASSES)
def test_last_reference_releases_every_field(cls):
    c, gains = make(cls)
    step(c)
    held = list(fields(c).values())
    assert len({id(o) for o in held}) == len(held)
    before = [sys.getrefcount(o) for o in held]
    del c
    assert [sys.getrefcount(o) for o in held] == [n - 1 for n in before]


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("state", ["new", "initialised"])
def test_traverse_visits_the_fields_in_declared_order(cls, state):
    c = cls.__new__(cls) if state == "new" else make(cls)[0]
    f = fields(c)
    assert [id(o) for o in gc.get_referents(c)] == [id(f[name]) for name in DECLARED[cls]]


@pytest.mark.parametrize("cls", CLASSES)
def test_no_instance_dict_or_weak_references(cls):
    c, _ = make(cls)
    assert not hasattr(c, "__dict__") and cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    assert not any(hasattr(c, name) for name in DECLARED[cls])
    with pytest.raises(AttributeError):
        c.note = 1
    with pytest.raises(TypeError, match=re.escape(f"cannot create weak reference to '{cls.__module__}.{cls.__name__}'")):
        weakref.ref(c)
    sub = type("Sub", (cls,), {})
    s = sub.__new__(sub)
    s.note = 1
    assert s.__dict__ == {"note": 1} and weakref.ref(s)() is s


@pytest.mark.parametrize("cls", CLASSES)
def test_instance_size_is_the_header_and_one_reference_per_field(cls):
    # The size the object is allocated with and the number of fields every
    # other operation walks (here: pickling's) must be one number.
    pointer = np.dtype(np.intp).itemsize
    state = cls.__new__(cls).__reduce__()[1][2]
    assert cls.__basicsize__ == object.__basicsize__ + len(DECLARED[cls]) * pointer
    assert len(state) == len(DECLARED[cls])
