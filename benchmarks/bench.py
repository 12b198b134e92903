"""Cost of one compute_control step, side by side with the same law in NumPy and one bare NumPy call.

For each class and each size (elements per array; PIDControllerXd gets a
2-D shape of that many elements) three things are timed on the same arrays:
the native controller, a Python class doing the same NumPy operations in the
same order (the law in plain NumPy), and one bare `np.subtract(a, b)`. The
native and Python controllers are first checked to return the same results
bit for bit. Timing is timeit's, of each call as a control loop writes it
(`c.compute_control(r, y, dt)`, `np.subtract(r, y)`): a batch of `number`
calls is timed, the three contenders' batches take turns (the order rotates
on every repeat), and the best batch of each counts. Sizes run from the smallest up, every class at
each size. A section then times a fresh controller against one that came
back from another process with its arrays at odd addresses (as a pickle
with out-of-band buffers, a dask scatter say, can leave them). A last
section steps separate controllers from one and from two threads at one
size: a large native step releases the GIL while it computes.

    python benchmarks/bench.py [--repeat 7] [--min-time 0.05] [--sizes ...] [--thread-size 65536]
"""

from __future__ import annotations

import argparse
import math
import os
import pickle
import platform
import sys
import threading
import time
import timeit
from collections.abc import Callable
from typing import Protocol

import numpy as np
from numpy.typing import NDArray

from vesk.cython_pid import AdaptiveController, PIDController, PIDControllerXd

Array = NDArray[np.float64]
SIZES = (1, 6, 16, 64, 256, 4096, 65536, 1048576)
DT = 0.01


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


# ---- cases -------------------------------------------------------------------

Factory = Callable[[Array, Array, Array], Stepper]
CLASSES: list[tuple[str, Factory, Factory, bool]] = [
    ("PIDController", PIDController, PythonPID, False),
    ("PIDControllerXd", PIDControllerXd, PythonPID, True),
    ("AdaptiveController", AdaptiveController, PythonAdaptive, False),
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


def scattered(controller: Stepper) -> Stepper:
    """`controller` after a round trip whose out-of-band buffers land at odd addresses."""
    buffers: list[pickle.PickleBuffer] = []
    data = pickle.dumps(controller, protocol=5, buffer_callback=buffers.append)
    odd = []
    for b in buffers:
        raw = bytearray(len(b.raw()) + 1)
        raw[1:] = b.raw()
        odd.append(memoryview(raw)[1:])
    copy: Stepper = pickle.loads(data, buffers=odd)
    return copy


def unaligned_rows(sizes: list[int], repeat: int, min_time: float) -> list[str]:
    """ns per step of a fresh controller and of a scattered one (fields at odd addresses)."""
    lines = []
    for name, make_native, _, two_d in CLASSES:
        for size in sizes:
            shape = shape_of(size, two_d)
            kp, ki, kd, target, current = inputs(shape, seed=size)
            fresh, moved = make_native(kp, ki, kd), scattered(make_native(kp, ki, kd))
            fresh_ns, moved_ns = measure(
                [timer("c.compute_control(r, y, dt)", c=c, r=target, y=current, dt=DT) for c in (fresh, moved)],
                repeat, min_time)
            lines.append(f"{name:<20} {size:>9,} {fresh_ns:>12,.0f} {moved_ns:>14,.0f} {moved_ns / fresh_ns:>10.2f}")
    return lines


def thread_scaling(size: int, steps: int) -> list[str]:
    """Steps per second of separate controllers stepped from one thread and from two."""
    lines = []
    for name, make_native, _, two_d in CLASSES:
        shape = shape_of(size, two_d)
        kp, ki, kd, target, current = inputs(shape, seed=size)

        def work(controller: Stepper, barrier: threading.Barrier | None = None) -> None:
            if barrier is not None:
                barrier.wait()
            for _ in range(steps):
                controller.compute_control(target, current, DT)

        best_one = best_two = math.inf
        for _ in range(5):
            started = time.perf_counter()
            work(make_native(kp, ki, kd))
            best_one = min(best_one, time.perf_counter() - started)
            barrier = threading.Barrier(3)
            threads = [threading.Thread(target=work, args=(make_native(kp, ki, kd), barrier)) for _ in range(2)]
            for t in threads:
                t.start()
            barrier.wait()
            started = time.perf_counter()
            for t in threads:
                t.join()
            best_two = min(best_two, time.perf_counter() - started)
        one, two = steps / best_one, 2 * steps / best_two
        lines.append(f"{name:<20} {size:>9,} {one:>14,.0f} {two:>14,.0f} {two / one:>10.2f}")
    return lines


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7, help="timed batches of each contender (default 7)")
    parser.add_argument("--min-time", type=float, default=0.05, help="shortest batch, in seconds (default 0.05)")
    parser.add_argument("--sizes", type=int, nargs="+", default=list(SIZES), help="elements per array")
    parser.add_argument("--thread-size", type=int, default=65536, help="elements per array of the threads section")
    args = parser.parse_args(argv)

    print(f"Python {platform.python_version()}, NumPy {np.__version__}, {platform.machine()}, {platform.system()}, "
          f"{os.cpu_count()} CPUs")
    print(f"best of {args.repeat} batches of at least {args.min_time * 1e3:g} ms, taken in turn; dt = {DT}\n")
    # glibc serves large blocks with mmap, and trims the heap, below thresholds that a freed large block
    # raises (up to 32 MiB). Raise them once here, so that every row meets the same allocator: otherwise
    # the rows run before the first large array pay fresh-page faults on every step, and those after do not.
    np.empty(4 * 1024 * 1024 - 4096)
    rows: dict[tuple[str, int], str] = {}
    all_same = True
    started = time.perf_counter()
    # Smallest sizes first, every class at each size: what a large case leaves in the allocator and the
    # caches then meets only larger cases.
    for size in sorted(args.sizes):
        print(f"  {size:,} elements ...", file=sys.stderr, flush=True)
        for name, make_native, make_python, two_d in CLASSES:
            shape = shape_of(size, two_d)
            kp, ki, kd, target, current = inputs(shape, seed=size)
            same = same_results(make_native(kp, ki, kd), make_python(kp, ki, kd), target, current)
            all_same &= same
            native, python = make_native(kp, ki, kd), make_python(kp, ki, kd)
            native_ns, python_ns, subtract_ns = measure(
                [timer("c.compute_control(r, y, dt)", c=native, r=target, y=current, dt=DT),
                 timer("c.compute_control(r, y, dt)", c=python, r=target, y=current, dt=DT),
                 timer("np.subtract(r, y)", np=np, r=target, y=current)],
                args.repeat, args.min_time)
            shape_text = "x".join(map(str, shape))
            rows[name, size] = (
                f"{name:<20} {size:>9,} {shape_text:>11} {native_ns:>12,.0f} {python_ns:>13,.0f} {subtract_ns:>13,.0f} "
                f"{python_ns / native_ns:>10.1f} {native_ns / subtract_ns:>12.2f}" + ("" if same else "  RESULTS DIFFER")
            )
    header = (f"{'class':<20} {'elements':>9} {'shape':>11} {'native ns':>12} {'NumPy law ns':>13} "
              f"{'subtract ns':>13} {'law/native':>10} {'native/sub':>12}")
    print(header)
    print("-" * len(header))
    for name, *_ in CLASSES:
        for size in sorted(args.sizes):
            print(rows[name, size])
    print(f"\nlaw/native: how many times faster the native step is than the same law in plain NumPy.")
    print(f"native/sub: the native step's cost in bare np.subtract(a, b) calls on the same arrays.\n")

    print("  unaligned fields ...", file=sys.stderr, flush=True)
    header = f"{'class':<20} {'elements':>9} {'fresh ns':>12} {'scattered ns':>14} {'ratio':>10}"
    print(header)
    print("-" * len(header))
    for line in unaligned_rows([s for s in (64, 4096, 1048576) if s in args.sizes] or sorted(args.sizes)[-1:],
                               args.repeat, args.min_time):
        print(line)
    print("\nscattered: the same controller after a round trip that left its arrays at odd addresses.\n")

    print(f"  threads at {args.thread_size:,} elements ...", file=sys.stderr, flush=True)
    header = f"{'class':<20} {'elements':>9} {'1 thread /s':>14} {'2 threads /s':>14} {'speed-up':>10}"
    print(header)
    print("-" * len(header))
    for line in thread_scaling(args.thread_size, steps=max(50, 20_000_000 // args.thread_size)):
        print(line)
    print("\nsteps per second of separate controllers, stepped from one thread and from two at once.")
    print(f"\n{time.perf_counter() - started:.0f} s; results of the native and NumPy laws "
          + ("identical bit for bit." if all_same else "DIFFER (marked above)."))
    return 0 if all_same else 1


if __name__ == "__main__":
    sys.exit(main())
