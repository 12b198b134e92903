"""Two builds of the module side by side in one process: the cost of one step of each, per class and size.

    python benchmarks/compare_builds.py BASE.so NEW.so [--sizes N ...] [--classes NAME ...] [--repeat 21] [--swap]

Each shared object is loaded as a module of its own (two files, two copies of
the module's state). For every repeat both builds get fresh arrays and a fresh
controller, warmed by one step, and one timed batch each; the order of the two
alternates from repeat to repeat. A repeat gives the ratio new / base, and the
median of those ratios is reported beside each build's best batch: fresh
arrays every repeat keep one build from keeping a lucky (or unlucky) set of
addresses, which on its own moves a small step by several per cent.
The load order matters too (the second copy measured a few per cent slower at
some sizes), so a change is judged from both orders: run it again with
--swap, which loads the new build first.
"""

from __future__ import annotations

import argparse
import importlib.machinery
import importlib.util
import statistics
import sys
import timeit
from types import ModuleType

import numpy as np

SIZES = tuple(4**k for k in range(12))
CLASSES = ("PIDController", "PIDControllerXd", "AdaptiveController")


def load(path: str) -> ModuleType:
    """The extension in `path` as a module object of its own. Its import enters
    it in sys.modules, whose entry (the installed module, if imported) is put
    back after."""
    loader = importlib.machinery.ExtensionFileLoader("vesk.cython_pid", path)
    spec = importlib.util.spec_from_file_location("vesk.cython_pid", path, loader=loader)
    assert spec is not None
    saved = sys.modules.get("vesk.cython_pid")
    try:
        module = importlib.util.module_from_spec(spec)
        loader.exec_module(module)
    finally:
        if saved is None:
            sys.modules.pop("vesk.cython_pid", None)
        else:
            sys.modules["vesk.cython_pid"] = saved
    return module


def shape_of(cls: type, n: int) -> tuple[int, ...]:
    try:  # a 2-D class refuses 1-D gains
        cls(*(np.zeros(1) for _ in range(3)))
    except ValueError:
        return (2, n // 2) if n > 1 else (1, 1)
    return (n,)


def compare(base: ModuleType, new: ModuleType, name: str, n: int, repeat: int, budget: float,
            rng: np.random.Generator) -> tuple[float, float, float]:
    """Best step of each build (s) and the median ratio new / base."""
    shape = shape_of(getattr(base, name), n)
    number = max(2, int(budget / (n + 50)))
    best = [float("inf"), float("inf")]
    ratios = []
    for k in range(repeat):
        steps = []
        for module in (base, new):
            r, y = rng.standard_normal(shape), rng.standard_normal(shape)
            c = getattr(module, name)(*(rng.uniform(0.1, 1.0, shape) for _ in range(3)))
            c.compute_control(r, y, 0.01)
            steps.append(lambda f=c.compute_control, r=r, y=y: f(r, y, 0.01))
        times = [0.0, 0.0]
        for i in ((0, 1) if k % 2 == 0 else (1, 0)):
            times[i] = timeit.timeit(steps[i], number=number) / number
            best[i] = min(best[i], times[i])
        ratios.append(times[1] / times[0])
    return best[0], best[1], statistics.median(ratios)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("base", help="the build to compare against (a cython_pid*.so)")
    parser.add_argument("new", help="the build under test")
    parser.add_argument("--sizes", type=int, nargs="+", default=list(SIZES))
    parser.add_argument("--classes", nargs="+", choices=CLASSES, default=list(CLASSES))
    parser.add_argument("--repeat", type=int, default=21, help="repeats below 2^20 elements (a third of it above)")
    parser.add_argument("--swap", action="store_true", help="load the new build first")
    parser.add_argument("--budget", type=float, default=3e6,
                        help="elements per timed batch, plus 50 per step for the call (default 3e6)")
    args = parser.parse_args(argv)
    if args.swap:
        new, base = load(args.new), load(args.base)
    else:
        base, new = load(args.base), load(args.new)
    rng = np.random.default_rng(1)
    print(f"{'class':<20} {'n':>9} {'base best':>12} {'new best':>12} {'median new/base':>16}")
    for name in args.classes:
        for n in args.sizes:
            repeat = args.repeat if n < 1 << 20 else max(3, args.repeat // 3)
            b, w, ratio = compare(base, new, name, n, repeat, args.budget, rng)
            print(f"{name:<20} {n:>9,} {b * 1e9:>10,.0f}ns {w * 1e9:>10,.0f}ns {ratio:>16.3f}", flush=True)


if __name__ == "__main__":
    main()
