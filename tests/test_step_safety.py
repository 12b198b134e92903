"""What a step holds while Python code or another thread may run: a hostile
namespace key, a caller that drops its arguments, a reset from another thread.
No step may read or write memory that was freed or replaced meanwhile."""

import functools
import os
import pickle
import shutil
import subprocess
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import vesk.cython_pid as cp
from conftest import CLASSES, NDIM, fields, gains, make

HUGE = 1 << 22  # a step of this size runs for milliseconds with the GIL released


def shapes(c):
    return {k: np.shape(v) for k, v in fields(c).items() if isinstance(v, np.ndarray)}


def reset_shapes(cls):
    """The fields' shapes after a reset to three elements (six for the 2-D class)."""
    fresh = make(cls, 3 * NDIM[cls])  # (3,) or two rows of three
    return shapes(fresh), fresh


def reset(c, how):
    cls = type(c)
    small = gains(cls, 3 * NDIM[cls])
    if how == "__init__":
        c.__init__(*small)
    else:
        state = fields(cls(*small))
        c.__setstate_cython__(tuple(state[k] for k in sorted(state)))


@pytest.mark.parametrize("how", ["__init__", "__setstate_cython__"])
@pytest.mark.parametrize("n", [6, 5000])
@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_python_code_in_a_name_lookup_cannot_free_what_the_step_uses(cls, n, how, mod):
    # A key whose hash equals hash("np") makes every look-up of "np" in the
    # module namespace call its __eq__, which resets the controller and
    # allocates arrays where the old fields were.
    armed, victims = [], []

    class Key:
        def __hash__(self):
            return hash("np")

        def __eq__(self, other):
            if armed:
                armed.clear()
                reset(c, how)
                victims.extend(np.zeros(n) for _ in range(8))
            return False

    ns = vars(mod)
    del ns["np"]
    ns[Key()] = None
    ns["np"] = np
    c = make(cls, n)
    target = np.full(np.shape(fields(c)["kp"]), 1e6)
    armed.append(1)
    try:
        c.compute_control(target, np.zeros_like(target), 0.0)
    except ValueError:
        pass  # the reset state does not broadcast with the old positions
    assert not armed, "the look-up did not run the key's __eq__"
    assert not any(v.any() for v in victims)  # nothing written into freed memory
    expected, _ = reset_shapes(cls)
    assert shapes(c) == expected
    c.compute_control(*(np.ones(expected["kp"]),) * 2, 0.01)  # and the controller steps on


@pytest.mark.parametrize("method", ["compute_control", "__init__"])
def test_a_method_holds_the_controller_its_caller_only_lends(method):
    # A partial of a bound method is the controller's only owner; a number's
    # __float__ replaces the partial's function while the method runs.
    def make():
        return cp.AdaptiveController(*gains(cp.AdaptiveController, 6))

    class Number:
        def __float__(self):
            p.__setstate__((print, (), None, None))
            return 0.5

    ones = np.ones(6)
    if method == "compute_control":
        p = functools.partial(make().compute_control, ones, ones * 0)
        expected = make().compute_control(ones, ones * 0, 0.5)
        assert np.array_equal(p(Number()), expected)
    else:
        p = functools.partial(make().__init__, ones, ones, ones)
        assert p(learning_rate=Number()) is None


@pytest.mark.parametrize("cls", [c for c in CLASSES if NDIM[c] == 1], ids=lambda c: c.__name__)
def test_a_step_holds_the_positions_its_caller_only_lends(cls):
    # functools.partial lends its stored arguments to the call; resizing one
    # while the step runs without the GIL must be refused (NumPy's refcheck
    # sees the step's reference), not free the data under the kernel.
    c = make(cls, HUGE)
    target, current = np.full(HUGE, 5.0), np.full(HUGE, 1.0)
    expected = make(cls, HUGE).compute_control(target.copy(), current.copy(), 0.1)
    p = functools.partial(c.compute_control, target, current)
    del target, current
    results = []
    worker = threading.Thread(target=lambda: results.append(p(0.1)))
    worker.start()
    time.sleep(0.001)
    try:
        p.args[0].resize(16)
    except ValueError as exc:  # the step still held it
        assert "cannot resize" in str(exc)
    worker.join()
    assert np.array_equal(results[0], expected)


@pytest.mark.parametrize("how", ["__init__", "__setstate_cython__"])
@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_a_reset_from_another_thread_during_a_large_step_wins(cls, how):
    c = make(cls, HUGE)
    target = np.ones(np.shape(fields(c)["kp"]))
    worker = threading.Thread(target=c.compute_control, args=(target, np.zeros_like(target), 0.1))
    worker.start()
    time.sleep(0.001)
    reset(c, how)  # needs the GIL: runs while the kernel does
    worker.join()
    expected, fresh = reset_shapes(cls)
    assert shapes(c) == expected
    small = np.full(expected["kp"], 2.0)
    assert np.array_equal(c.compute_control(small, small * 0, 0.1), fresh.compute_control(small, small * 0, 0.1))


KERNEL_CHECK = r"""
#include "controllers/kernels.hpp"
#include <cstdio>
using namespace vesk::kernels;
int main() {
    double r = 1e308, y = -1e308, one = 1.0, zero = 0.0, integral = 0.0, e, u, undo;
    const PidStep s{.target = &r, .current = &y, .kp = &one, .ki = &one, .kd = &one, .previous = &zero,
                    .integral = &integral, .dt = 0.01, .error = &e, .control = &u, .integral_undo = &undo};
    FpStatus::clear();
    const bool clean = run(s, 1, true);
    std::printf("%d %d\n", clean, FpStatus::raised());
}
"""


def test_the_overflow_flag_is_seen_with_x87_arithmetic(tmp_path):
    # 32-bit x86 computes on the x87 unit even with SSE2 available: the
    # status must be read where the arithmetic raised it.
    cxx = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
    if not cxx:
        pytest.skip("no C++ compiler")
    src = Path(__file__).resolve().parents[1] / "src" / "vesk" / "cython_pid"

    def build(text):
        source, exe = tmp_path / "check.cpp", tmp_path / "check"
        source.write_text(text)
        return exe, subprocess.run([cxx, "-m32", "-msse2", "-O2", "-std=c++20", "-ffp-contract=off", f"-I{src}",
                                    str(source), "-o", str(exe)], capture_output=True, text=True, timeout=300)

    if build("#include <cstdio>\nint main() { std::puts(\"\"); }\n")[1].returncode != 0:
        pytest.skip("no 32-bit x86 toolchain here")
    exe, result = build(KERNEL_CHECK)  # the kernels themselves must build there
    assert result.returncode == 0, result.stderr
    # Overflow: no NaN comes out (the kernel reports it clean), and the flag is seen.
    assert subprocess.run([str(exe)], capture_output=True, text=True, timeout=60).stdout.split() == ["1", "1"]


@pytest.mark.parametrize("second", ["fused", "generic"])
@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_steps_of_one_controller_from_two_threads_are_not_lost(cls, second):
    # Two large steps at once: each updates kp and the integral in place
    # without the GIL (the generic law inside NumPy's loops). A fused step's
    # kernel owns the controller, so two of them both count; a generic step
    # interleaves with the other as the same law in NumPy would, and the
    # controller stays one that steps on.
    c, ref = make(cls, HUGE), make(cls, HUGE)
    target = np.full(np.shape(fields(c)["kp"]), 3.0)
    current = np.zeros_like(target)
    strided = np.repeat(target, 2, axis=-1)[..., ::2]  # not contiguous: the generic law
    start = threading.Barrier(2)

    def step(r):
        start.wait()
        c.compute_control(r, current, 0.1)

    workers = [threading.Thread(target=step, args=(r,)) for r in (target, strided if second == "generic" else target)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    for _ in range(2):
        ref.compute_control(target, current, 0.1)
    if second == "generic":
        assert all(np.shape(v) == np.shape(fields(ref)[k]) for k, v in fields(c).items())
        c.compute_control(target, current, 0.1)
        return
    for name, value in fields(ref).items():
        assert np.array_equal(fields(c)[name], value), name


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_pickling_waits_for_a_large_step_of_another_thread(cls):
    # __reduce__ during another thread's step (its kernel updating the
    # integral in place without the GIL) sees the integral after the step.
    c = make(cls, HUGE)
    target = np.full(np.shape(fields(c)["kp"]), 3.0)
    current = np.zeros_like(target)
    started = threading.Event()

    def step():
        started.set()
        c.compute_control(target, current, 0.1)

    worker = threading.Thread(target=step)
    worker.start()
    started.wait()
    time.sleep(0.002)  # the worker holds the GIL until its kernel releases it
    integral = fields(c)["integral"].copy()
    worker.join()
    assert np.array_equal(integral, fields(c)["integral"])


@pytest.mark.skipif(bool(os.environ.get("VESK_EMULATED")), reason="minutes a run under CPU emulation")
def test_separate_large_adaptive_steps_at_once_each_get_their_own_scratch():
    # Scratch of 32 MiB and more is kept from one step for the next, one block
    # for the process: two such steps running at once without the GIL must
    # not share it. Each controller ends as its twin stepped alone.
    sizes = (1_400_003, 1_500_001)  # three values an element of scratch: past 32 MiB
    rng = np.random.default_rng(7)
    positions = [(rng.normal(size=n), rng.normal(size=n)) for n in sizes]
    pairs = [(make(cp.AdaptiveController, n), make(cp.AdaptiveController, n))
             for n in sizes]
    start = threading.Barrier(2)

    def run(c, r, y):
        start.wait()
        for _ in range(3):
            c.compute_control(r, y, 0.01)

    workers = [threading.Thread(target=run, args=(c, *p)) for (c, _), p in zip(pairs, positions)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    for (_, twin), (r, y) in zip(pairs, positions):
        for _ in range(3):
            twin.compute_control(r, y, 0.01)
    for c, twin in pairs:
        assert {k: v.tobytes() for k, v in fields(c).items() if isinstance(v, np.ndarray)} == {
            k: v.tobytes() for k, v in fields(twin).items() if isinstance(v, np.ndarray)}
