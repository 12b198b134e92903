"""Cost of one compute_control step against NumPy, from 1 to 4,194,304 elements, aligned and scattered.

For each class and each size (n = 1, 4, 16, ... 4**11 elements per array;
PIDControllerXd gets a 2-D shape of that many elements) these are timed side
by side on the same arrays, in one process:

  native      the controller, `c.compute_control(r, y, dt)`
  scattered   the same controller after a pickle round trip whose out-of-band
              buffers landed at odd addresses (every field, and the positions
              too, one byte off alignment, as a dask scatter can leave them)
  law         the same law written in plain NumPy (a Python class doing the
              same operations in the same order; checked to give the native
              results bit for bit)
  best        the law spelled for speed in NumPy: preallocated buffers and
              `out=`, the adaptive history kept as a ring buffer (one row
              written a step, where the law builds a new ten-row array)
  floor       NumPy calls that only move the step's bytes: each array the
              native step reads is read once, each it writes is written once
              (np.add and np.copyto into preallocated arrays)
  subtract    one bare `np.subtract(r, y)` (n <= 64)

A batch of `number` calls is timed, the contenders' batches take turns (the
order rotates on every repeat) and the best batch of each counts; the large
sizes take fewer repeats. Page faults per step are the process's minor
faults (getrusage) over a run of native steps. A plot of native / law and
native / floor against n is drawn (matplotlib, Agg). A last section steps
controllers from one thread and from two (each its own controller, or both
one) at a few sizes, beside the plain NumPy law's own scaling: with the GIL, a
large native step releases it while it computes; on a free-threaded
interpreter every size can run in parallel.

    python benchmarks/bench.py [--quick] [--repeat 7] [--min-time 0.05] [--sizes ...]
                               [--plot PNG ...] [--no-plot] [--thread-sizes N ...] [--threads-only]
"""

from __future__ import annotations

import argparse
import math
import os
import pickle
import platform
import resource
import sys
import threading
import time
import timeit
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Protocol

import numpy as np
from numpy.typing import NDArray

from vesk.cython_pid import AdaptiveController, PIDController, PIDControllerXd

Array = NDArray[np.float64]
SIZES = tuple(4**k for k in range(12))
QUICK_SIZES = (1, 16, 256, 4096, 65536, 1048576)
DT = 0.01
ROOT = Path(__file__).resolve().parent.parent
PLOTS = (ROOT / "docs" / "_static" / "bench.png", ROOT / "bench.png")


class Stepper(Protocol):
    def compute_control(self, target_position: Array, current_position: Array, dt: float) -> Array: ...


# ---- the same laws in Python -------------------------------------------------


class PythonPID:
    """PIDController / PIDControllerXd in Python: gains kept by reference."""

    def __init__(self, kp: Array, ki: Array, kd: Array) -> None:
        self.kp, self.ki, self.kd = kp, ki, kd
        self.integral = np.zeros_like(kp, dtype=np.float64)
        self.previous_error = np.zeros_like(kp, dtype=np.float64)

    def compute_control(self, target_position: Array, current_position: Array, dt: float) -> Array:
        error = target_position - current_position
        p_term = self.kp * error
        self.integral += error * dt
        i_term = self.ki * self.integral
        if dt > 0:
            derivative = (error - self.previous_error) / dt
        else:
            derivative = np.zeros_like(error)
        d_term = self.kd * derivative
        self.previous_error = error
        control_signal: Array = p_term + i_term + d_term
        return control_signal


class PythonAdaptive:
    """AdaptiveController in Python: gains copied, kp adapted from a 10-error history."""

    def __init__(
        self,
        initial_kp: Array,
        initial_ki: Array,
        initial_kd: Array,
        learning_rate: float = 0.01,
        max_adjustment: float = 0.1,
    ) -> None:
        self.kp = initial_kp.copy()
        self.ki = initial_ki.copy()
        self.kd = initial_kd.copy()
        self.integral = np.zeros_like(initial_kp, dtype=np.float64)
        self.previous_error = np.zeros_like(initial_kp, dtype=np.float64)
        self.error_history: Array = np.zeros((10, initial_kp.shape[0]))
        self.learning_rate = float(learning_rate)
        self.max_adjustment = float(max_adjustment)

    def compute_control(self, target_position: Array, current_position: Array, dt: float) -> Array:
        error = target_position - current_position
        self.error_history = np.roll(self.error_history, shift=1, axis=0)
        self.error_history[0] = error
        delta_kp = self.learning_rate * np.mean(self.error_history, axis=0) * error
        delta_kp = np.clip(delta_kp, -self.max_adjustment, self.max_adjustment)
        self.kp += delta_kp
        self.integral += error * dt
        if dt > 0:
            derivative = (error - self.previous_error) / dt
        else:
            derivative = np.zeros_like(error)
        control_signal: Array = self.kp * error + self.ki * self.integral + self.kd * derivative
        self.previous_error = error.copy()
        return control_signal


# ---- the laws spelled for speed: preallocated buffers, out= ------------------


def finish_control(ki: Array, integral: Array, kd: Array, error: Array, previous: Array, dt: float,
                   term: Array, derivative: Array, control: Array) -> Array:
    """control += ki * integral, then += kd * derivative, in the law's order, in preallocated buffers."""
    np.multiply(ki, integral, out=term)
    np.add(control, term, out=control)
    if dt > 0:
        np.subtract(error, previous, out=derivative)
        np.divide(derivative, dt, out=derivative)
    else:
        derivative.fill(0.0)
    np.multiply(kd, derivative, out=term)
    np.add(control, term, out=control)
    return control


class BestPID:
    """The PID law with every intermediate in a preallocated buffer; the control signal's buffer is reused."""

    def __init__(self, kp: Array, ki: Array, kd: Array) -> None:
        self.kp, self.ki, self.kd = kp, ki, kd
        self.integral = np.zeros_like(kp)
        self.errors = (np.zeros_like(kp), np.zeros_like(kp))  # this step's and the previous one, in turn
        self.which = 0
        self.term, self.derivative, self.control = np.empty_like(kp), np.empty_like(kp), np.empty_like(kp)

    def compute_control(self, target_position: Array, current_position: Array, dt: float) -> Array:
        error, previous = self.errors[self.which], self.errors[1 - self.which]
        self.which ^= 1
        term, derivative, control = self.term, self.derivative, self.control
        np.subtract(target_position, current_position, out=error)
        np.multiply(self.kp, error, out=control)
        np.multiply(error, dt, out=term)
        np.add(self.integral, term, out=self.integral)
        return finish_control(self.ki, self.integral, self.kd, error, previous, dt, term, derivative, control)


class BestAdaptive:
    """The adaptive law with preallocated buffers and the history as a ring buffer: the error is
    written straight into the oldest row, which becomes row 0; the column sums add the rows
    newest first, as np.mean adds the law's rolled history."""

    def __init__(self, kp: Array, ki: Array, kd: Array, learning_rate: float = 0.01,
                 max_adjustment: float = 0.1) -> None:
        self.kp, self.ki, self.kd = kp.copy(), ki.copy(), kd.copy()
        self.integral = np.zeros_like(kp)
        self.history = np.zeros((10, kp.shape[0]))
        self.head = 0  # the ring's row 0
        self.learning_rate, self.max_adjustment = learning_rate, max_adjustment
        self.sum, self.term, self.derivative, self.control = (np.empty_like(kp) for _ in range(4))

    def compute_control(self, target_position: Array, current_position: Array, dt: float) -> Array:
        previous = self.history[self.head]  # last step's error; this one's goes into the oldest row
        self.head = (self.head - 1) % 10
        rows = [self.history[(self.head + k) % 10] for k in range(10)]
        error = rows[0]
        s, term, derivative, control = self.sum, self.term, self.derivative, self.control
        np.subtract(target_position, current_position, out=error)
        np.add(rows[0], rows[1], out=s)
        for row in rows[2:]:
            np.add(s, row, out=s)
        np.divide(s, 10.0, out=s)
        np.multiply(s, self.learning_rate, out=s)
        np.multiply(s, error, out=s)
        np.clip(s, -self.max_adjustment, self.max_adjustment, out=s)
        np.add(self.kp, s, out=self.kp)
        np.multiply(error, dt, out=term)
        np.add(self.integral, term, out=self.integral)
        np.multiply(self.kp, error, out=control)
        return finish_control(self.ki, self.integral, self.kd, error, previous, dt, term, derivative, control)


# ---- the streaming floors: the step's bytes moved, nothing computed ----------


class FloorPID:
    """Reads target, current, kp, ki, kd, the integral and the previous error once; writes the
    error, the control signal and the integral once."""

    def __init__(self, kp: Array, ki: Array, kd: Array) -> None:
        self.kp, self.ki, self.kd = kp, ki, kd
        self.integral, self.previous = np.zeros_like(kp), np.zeros_like(kp)
        self.error, self.control = np.empty_like(kp), np.empty_like(kp)

    def compute_control(self, target_position: Array, current_position: Array, dt: float) -> Array:
        np.add(target_position, current_position, out=self.error)
        np.add(self.kp, self.ki, out=self.control)
        np.add(self.integral, self.kd, out=self.integral)
        np.sum(self.previous)
        return self.control


class FloorAdaptive:
    """Reads target, current, kp, ki, kd, the integral, the previous error and history rows 0 to 8
    once; writes the error, kp, the integral, the control signal and a ten-row history once."""

    def __init__(self, kp: Array, ki: Array, kd: Array) -> None:
        self.kp, self.ki, self.kd = kp.copy(), ki.copy(), kd.copy()
        self.integral, self.previous = np.zeros_like(kp), np.zeros_like(kp)
        self.error, self.control = np.empty_like(kp), np.empty_like(kp)
        self.histories = (np.zeros((10, kp.shape[0])), np.zeros((10, kp.shape[0])))
        self.which = 0

    def compute_control(self, target_position: Array, current_position: Array, dt: float) -> Array:
        old, new = self.histories[self.which], self.histories[1 - self.which]
        self.which ^= 1
        np.add(target_position, current_position, out=self.error)
        np.add(self.kp, self.ki, out=self.kp)
        np.add(self.integral, self.kd, out=self.integral)
        np.add(self.previous, old[0], out=self.control)
        np.copyto(new[1:9], old[1:9])
        new[0].fill(0.0)
        new[9].fill(0.0)
        return self.control


# ---- cases -------------------------------------------------------------------

Factory = Callable[[Array, Array, Array], Stepper]


@dataclass(frozen=True)
class Case:
    name: str
    native: Factory
    law: Factory
    best: Factory
    floor: Factory
    two_d: bool


CLASSES = [
    Case("PIDController", PIDController, PythonPID, BestPID, FloorPID, False),
    Case("PIDControllerXd", PIDControllerXd, PythonPID, BestPID, FloorPID, True),
    Case("AdaptiveController", AdaptiveController, PythonAdaptive, BestAdaptive, FloorAdaptive, False),
]


def shape_of(size: int, two_d: bool) -> tuple[int, ...]:
    if not two_d:
        return (size,)
    rows = max(r for r in range(1, math.isqrt(size) + 1) if size % r == 0)
    return (rows, size // rows)


def inputs(shape: tuple[int, ...], seed: int) -> tuple[Array, Array, Array, Array, Array]:
    rng = np.random.default_rng(seed)
    kp, ki, kd = (rng.uniform(0.5, 2.0, shape) for _ in range(3))
    target = rng.standard_normal(shape)
    current = target + 0.1 * rng.standard_normal(shape)
    return kp, ki, kd, target, current


def same_results(native: Stepper, python: Stepper, target: Array, current: Array) -> bool:
    for dt in (DT, DT, 0.0, DT):
        a = native.compute_control(target, current, dt)
        b = python.compute_control(target, current, dt)
        if a.shape != b.shape or a.tobytes() != b.tobytes():
            return False
        current = current + 0.5 * (target - current)
    return True


def odd(a: Array) -> Array:
    """A copy of `a` whose data starts one byte past an aligned address."""
    raw = bytearray(a.nbytes + 1)
    copy: Array = np.frombuffer(memoryview(raw)[1:], dtype=np.float64).reshape(a.shape)
    copy[...] = a
    return copy


def scattered(controller: Stepper) -> Stepper:
    """`controller` after a round trip whose out-of-band buffers land at odd addresses."""
    buffers: list[pickle.PickleBuffer] = []
    data = pickle.dumps(controller, protocol=5, buffer_callback=buffers.append)
    moved = []
    for b in buffers:
        raw = bytearray(len(b.raw()) + 1)
        raw[1:] = b.raw()
        moved.append(memoryview(raw)[1:])
    copy: Stepper = pickle.loads(data, buffers=moved)
    return copy


def timer(statement: str, **names: object) -> timeit.Timer:
    """A timeit timer of `statement` as a user writes it, with nothing around it but the
    loop (the garbage collector is off while it runs)."""
    return timeit.Timer(statement, globals=names)


def measure(timers: list[timeit.Timer], repeat: int, min_time: float) -> list[float]:
    """Best ns per call of each, from batches of equal length taken in turn."""
    number = 1
    while True:  # autorange on the slowest, so that every batch lasts at least min_time
        spent = max(t.timeit(number) for t in timers)
        if spent >= min_time:
            break
        number = max(number * 2, int(number * min_time / max(spent, 1e-9) * 1.2))
    best = [math.inf] * len(timers)
    for r in range(repeat):
        for k in range(len(timers)):
            which = (k + r) % len(timers)
            best[which] = min(best[which], timers[which].timeit(number) / number * 1e9)
    return best


def faults_per_step(step: Callable[[], object], steps: int) -> float:
    """Minor page faults of the process per call of `step`, over `steps` calls after one."""
    step()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(steps):
        step()
    return (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / steps


@dataclass
class Row:
    name: str
    size: int
    shape: str
    native: float
    moved: float
    law: float
    best: float
    floor: float
    subtract: float  # nan above 64 elements
    faults: float
    moved_faults: float
    same: bool


def bench_case(case: Case, size: int, repeat: int, min_time: float) -> Row:
    shape = shape_of(size, case.two_d)
    kp, ki, kd, target, current = inputs(shape, seed=size)
    same = same_results(case.native(kp, ki, kd), case.law(kp, ki, kd), target, current)
    native = case.native(kp, ki, kd)
    moved = scattered(case.native(kp, ki, kd))
    odd_target, odd_current = odd(target), odd(current)
    names = dict(r=target, y=current, dt=DT)
    timers = [
        timer("c.compute_control(r, y, dt)", c=native, **names),
        timer("c.compute_control(r, y, dt)", c=moved, r=odd_target, y=odd_current, dt=DT),
        timer("c.compute_control(r, y, dt)", c=case.law(kp, ki, kd), **names),
        timer("c.compute_control(r, y, dt)", c=case.best(kp, ki, kd), **names),
        timer("c.compute_control(r, y, dt)", c=case.floor(kp, ki, kd), **names),
    ]
    if size <= 64:
        timers.append(timer("np.subtract(r, y)", np=np, r=target, y=current))
    ns = measure(timers, repeat, min_time)
    steps = max(3, min(1000, 2**24 // size))
    faults = faults_per_step(lambda: native.compute_control(target, current, DT), steps)
    moved_faults = faults_per_step(lambda: moved.compute_control(odd_target, odd_current, DT), steps)
    return Row(case.name, size, "x".join(map(str, shape)), ns[0], ns[1], ns[2], ns[3], ns[4],
               ns[5] if size <= 64 else math.nan, faults, moved_faults, same)


def print_table(rows: list[Row]) -> None:
    header = (f"{'class':<19} {'elements':>9} {'native ns':>12} {'law ns':>12} {'best ns':>12} {'floor ns':>12} "
              f"{'nat/law':>7} {'nat/best':>8} {'nat/floor':>9} {'nat/sub':>7} {'unal/al':>7} "
              f"{'faults':>7} {'unal flt':>8}")
    print(header)
    print("-" * len(header))
    for name in dict.fromkeys(row.name for row in rows):
        for row in (r for r in rows if r.name == name):
            sub = "" if math.isnan(row.subtract) else f"{row.native / row.subtract:.2f}"
            print(f"{row.name:<19} {row.size:>9,} {row.native:>12,.0f} {row.law:>12,.0f} {row.best:>12,.0f} "
                  f"{row.floor:>12,.0f} {row.native / row.law:>7.2f} {row.native / row.best:>8.2f} "
                  f"{row.native / row.floor:>9.2f} {sub:>7} {row.moved / row.native:>7.2f} "
                  f"{row.faults:>7.1f} {row.moved_faults:>8.1f}" + ("" if row.same else "  RESULTS DIFFER"))
    print("""
native: the controller's step; law: the same law in plain NumPy; best: the law with preallocated
buffers and out= (a ring-buffer history); floor: NumPy copies that move the step's bytes once.
nat/law, nat/best, nat/floor, nat/sub: the native step's time over theirs (below 1: native faster);
nat/sub in bare np.subtract(r, y) calls (n <= 64). unal/al: the scattered controller (every field
and position one byte off alignment) over the fresh one. faults, unal flt: minor page faults a step.
""")


def plot(rows: list[Row], paths: list[Path]) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(11, 4.2), sharex=True)
    colours = ["tab:blue", "tab:orange", "tab:green"]
    for ax, which, title in ((axes[0], "law", "native / the law in NumPy"),
                             (axes[1], "floor", "native / streaming floor (NumPy copies)")):
        for colour, name in zip(colours, dict.fromkeys(row.name for row in rows)):
            mine = [row for row in rows if row.name == name]
            sizes = [row.size for row in mine]
            ax.plot(sizes, [row.native / getattr(row, which) for row in mine], "-o", color=colour, ms=3,
                    label=f"{name}")
            ax.plot(sizes, [row.moved / getattr(row, which) for row in mine], "--", color=colour,
                    label=f"{name}, unaligned")
        ax.axhline(1.0, color="grey", lw=0.8)
        ax.set_xscale("log", base=4)
        ax.set_yscale("log")
        ax.set_xlabel("elements per array (n)")
        ax.set_title(title)
        ax.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("time ratio (below 1: native faster)")
    axes[0].legend(fontsize=7)
    fig.suptitle(f"one compute_control step: Python {platform.python_version()}, NumPy {np.__version__}, "
                 f"{platform.machine()}", fontsize=9)
    fig.tight_layout()
    for path in paths:
        path.parent.mkdir(parents=True, exist_ok=True)
        fig.savefig(path, dpi=110)
    plt.close(fig)


THREAD_SIZES = (6, 64, 4096, 2**20)


def thread_scaling(size: int) -> list[str]:
    """Throughput of k = 2 threads relative to one, at one size, for every class.

    Three ways of stepping are timed, each against its own single thread:
    separate native controllers (one per thread), one native controller shared
    by both threads, and separate controllers of the same law in plain NumPy.
    """

    lines = []
    for case in CLASSES:
        shape = shape_of(size, case.two_d)
        kp, ki, kd, target, current = inputs(shape, seed=size)

        def work(controller: Stepper, steps: int, barrier: threading.Barrier | None = None) -> None:
            if barrier is not None:
                barrier.wait()
            for _ in range(steps):
                controller.compute_control(target, current, DT)

        def rate(make: Factory, threads: int, shared: bool, steps: int) -> float:
            """Steps per second of `threads` threads together, the best of three runs."""
            best = math.inf
            for _ in range(3):
                one = make(kp, ki, kd)
                controllers = [one if shared else make(kp, ki, kd) for _ in range(threads)]
                barrier = threading.Barrier(threads + 1)
                workers = [threading.Thread(target=work, args=(c, steps, barrier)) for c in controllers]
                for t in workers:
                    t.start()
                barrier.wait()
                started = time.perf_counter()
                for t in workers:
                    t.join()
                best = min(best, time.perf_counter() - started)
            return threads * steps / best

        # About 0.1 s per thread and run, whatever the size.
        started = time.perf_counter()
        work(case.native(kp, ki, kd), 20)
        steps = max(20, int(0.1 / max((time.perf_counter() - started) / 20, 1e-9)))
        native_one = rate(case.native, 1, False, steps)
        separate = rate(case.native, 2, False, steps) / native_one
        shared = rate(case.native, 2, True, steps) / native_one
        law_steps = max(20, steps // 4)
        law = rate(case.law, 2, False, law_steps) / rate(case.law, 1, False, law_steps)
        lines.append(f"{case.name:<20} {size:>9,} {native_one:>14,.0f} {separate:>10.2f} {shared:>10.2f} {law:>10.2f}")
    return lines


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer sizes and repeats, no plot unless --plot")
    parser.add_argument("--repeat", type=int, help="timed batches of each contender (default 7; 3 with --quick)")
    parser.add_argument("--min-time", type=float, help="shortest batch, in seconds (default 0.05; 0.02 with --quick)")
    parser.add_argument("--sizes", type=int, nargs="+", help="elements per array (default 1, 4, ... 4**11)")
    parser.add_argument("--classes", nargs="+", choices=[c.name for c in CLASSES], help="only these classes")
    parser.add_argument("--plot", type=Path, nargs="+", help="where the plot goes (default docs/_static/bench.png "
                        "and bench.png beside the README)")
    parser.add_argument("--no-plot", action="store_true", help="draw no plot")
    parser.add_argument("--thread-sizes", type=int, nargs="*", default=list(THREAD_SIZES),
                        help="elements per array of the threads section (none: no threads section)")
    parser.add_argument("--threads-only", action="store_true", help="only the threads section")
    args = parser.parse_args(argv)
    repeat = args.repeat or (3 if args.quick else 7)
    min_time = args.min_time or (0.02 if args.quick else 0.05)
    sizes = sorted(args.sizes or (QUICK_SIZES if args.quick else SIZES))
    cases = [c for c in CLASSES if not args.classes or c.name in args.classes]
    plots = [] if args.no_plot else args.plot or ([] if args.quick else list(PLOTS))

    print(f"Python {platform.python_version()}, NumPy {np.__version__}, {platform.machine()}, {platform.system()}, "
          f"{os.cpu_count()} CPUs")
    print(f"best of {repeat} batches of at least {min_time * 1e3:g} ms taken in turn (fewer from 2**18 "
          f"elements); dt = {DT}\n")
    # glibc serves large blocks with mmap, and trims the heap, below thresholds that a freed large block
    # raises (up to 32 MiB). Raise them once here, so that every row meets the same allocator: otherwise
    # the rows run before the first large array pay fresh-page faults on every step, and those after do not.
    np.empty(4 * 1024 * 1024 - 4096)
    rows: list[Row] = []
    started = time.perf_counter()
    # Smallest sizes first, every class at each size: what a large case leaves in the allocator and the
    # caches then meets only larger cases.
    for size in [] if args.threads_only else sizes:
        print(f"  {size:,} elements ...", file=sys.stderr, flush=True)
        for case in cases:
            rows.append(bench_case(case, size, repeat if size < 2**18 else max(3, (repeat + 1) // 2), min_time))
    if rows:
        print_table(rows)
    if plots and rows:
        plot(rows, plots)
        print("plot: " + ", ".join(str(p) for p in plots) + "\n")

    if args.thread_sizes:
        gil = getattr(sys, "_is_gil_enabled", lambda: True)()
        print(f"threads ({'with the GIL' if gil else 'free-threaded, the GIL off'}): throughput of two threads "
              "relative to one")
        header = (f"{'class':<20} {'elements':>9} {'1 thread /s':>14} {'separate':>10} {'shared':>10} "
                  f"{'law sep.':>10}")
        print(header)
        print("-" * len(header))
        for size in args.thread_sizes:
            print(f"  threads at {size:,} elements ...", file=sys.stderr, flush=True)
            for line in thread_scaling(size):
                print(line, flush=True)
        print("\nseparate: two threads, each stepping a controller of its own; shared: two threads stepping one "
              "controller;\nlaw sep.: the same law in plain NumPy, a controller per thread. 2.00 is perfect "
              "scaling.")
    all_same = all(row.same for row in rows)
    print(f"\n{time.perf_counter() - started:.0f} s" + ("" if not rows else "; results of the native and NumPy laws "
          + ("identical bit for bit." if all_same else "DIFFER (marked above).")))
    return 0 if all_same else 1


if __name__ == "__main__":
    sys.exit(main())
