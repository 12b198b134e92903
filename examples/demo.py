"""Closed-loop demo of vesk.cython_pid.

Three simulations, each a point-to-point move followed by a periodic motion:

* a 6-joint arm (each joint a damped double integrator J*q'' + b*q' = u + w,
  with actuator noise w from a seeded generator) under PIDController;
* the same arm under AdaptiveController, started with a third of the tuned
  proportional gain, which it raises while it runs;
* a formation of 4 vehicles x 3 axes (point masses with drag) under one
  PIDControllerXd over (4, 3) arrays.

Halfway through, every run is checkpointed with pickle (controller, plant,
random generator), restored in a new process and as a new object here, and
continued; the demo checks that all three continuations are bit for bit the
same trajectory.

    python examples/demo.py [--plot demo.png]
"""

from __future__ import annotations

import argparse
import pickle
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Protocol

import numpy as np
from numpy.typing import NDArray

from vesk.cython_pid import AdaptiveController, PIDController, PIDControllerXd

Array = NDArray[np.float64]

DT = 0.002  # s, control period
T_END = 8.0  # s
T_HOLD_END = 4.0  # the move and the hold end here, the periodic motion starts
MOVE_START, MOVE_TIME = 0.25, 1.25  # s
SETTLE_BAND = 0.02  # settling band, fraction of the move
SEED = 20_240_611
N_STEPS = round(T_END / DT)
CHECKPOINT_STEP = N_STEPS // 2


class Controller(Protocol):
    def compute_control(self, target_position: Array, current_position: Array, dt: float) -> Array: ...


# ---- plants ----------------------------------------------------------------


@dataclass
class Plant:
    """Damped double integrators, one per element: m*x'' + c*x' = u + w."""

    mass: Array
    drag: Array
    noise: Array  # standard deviation of the actuator noise w
    position: Array
    velocity: Array

    def step(self, force: Array, dt: float, rng: np.random.Generator) -> None:
        disturbed = force + self.noise * rng.standard_normal(force.shape)
        acceleration = (disturbed - self.drag * self.velocity) / self.mass
        self.velocity = self.velocity + acceleration * dt  # semi-implicit Euler
        self.position = self.position + self.velocity * dt


def pid_gains(mass: Array, drag: Array, omega: float) -> tuple[Array, Array, Array]:
    """Gains that put the three closed-loop poles of m*s^3 + (c+Kd)*s^2 + Kp*s + Ki at -omega."""
    kp = 3.0 * omega**2 * mass
    ki = omega**3 * mass
    kd = 3.0 * omega * mass - drag
    return kp, ki, kd


# ---- references ------------------------------------------------------------


def minimum_jerk(tau: Array) -> Array:
    s = np.clip(tau, 0.0, 1.0)
    return s**3 * (10.0 - 15.0 * s + 6.0 * s**2)


def reference(start: Array, goal: Array, swing: Array, sway: Array, frequency: float) -> Array:
    """Reference for every step, shape (N_STEPS + 1, *start.shape).

    A minimum-jerk move from `start` to `goal`, a hold until T_HOLD_END, then
    goal + swing*(1 - cos wt) + sway*sin(wt) (the sway faded in over one second).
    """
    t = np.arange(N_STEPS + 1, dtype=np.float64) * DT
    extra = (slice(None),) + (None,) * start.ndim
    move = minimum_jerk((t - MOVE_START) / MOVE_TIME)[extra]
    phase = np.maximum(t - T_HOLD_END, 0.0)
    w = 2.0 * np.pi * frequency
    periodic = swing * (1.0 - np.cos(w * phase))[extra] + sway * (np.sin(w * phase) * minimum_jerk(phase))[extra]
    result: Array = start + (goal - start) * move + periodic
    return result


# ---- simulations -----------------------------------------------------------


@dataclass
class Run:
    """One closed loop and its log. A checkpoint carries its controller, plant, generator and step."""

    name: str
    plant_name: str
    unit: str  # display unit of the errors
    scale: float  # SI value times scale = value in `unit`
    controller: Controller
    plant: Plant
    rng: np.random.Generator
    reference: Array
    step: int = 0
    control_ns: int = 0

    def __post_init__(self) -> None:
        self.response: Array = np.zeros_like(self.reference)
        self.response[0] = self.plant.position

    def advance(self, until: int) -> None:
        controller, plant, rng, ref = self.controller, self.plant, self.rng, self.reference
        clock = time.perf_counter_ns
        spent = 0
        for k in range(self.step, until):
            started = clock()
            force = controller.compute_control(ref[k], plant.position, DT)
            spent += clock() - started
            plant.step(force, DT, rng)
            self.response[k + 1] = plant.position
        self.control_ns += spent
        self.step = until

    def checkpoint(self) -> bytes:
        return pickle.dumps((self.controller, self.plant, self.rng, self.step))

    def restored(self, blob: bytes) -> Run:
        """A copy of this run rebuilt from a checkpoint, as a process that has only the bytes would."""
        controller, plant, rng, step = pickle.loads(blob)
        twin = Run(self.name, self.plant_name, self.unit, self.scale, controller, plant, rng, self.reference)
        twin.response[:step] = self.response[:step]  # history, for the plots only
        twin.response[step] = plant.position
        twin.step = step
        return twin


def arm_setup() -> tuple[Array, Array, Array, Array]:
    """Inertia (kg m^2), damping (N m s/rad), actuator noise (N m), reference (rad)."""
    inertia = np.array([2.4, 2.0, 1.2, 0.5, 0.3, 0.15])
    damping = np.array([1.2, 1.0, 0.6, 0.25, 0.15, 0.08])
    noise = 0.5 * inertia
    start = np.zeros(6)
    goal = np.array([1.2, -0.8, 0.9, 1.5, -1.0, 0.6])
    ref = reference(start, goal, swing=0.2 * np.sign(goal), sway=np.zeros(6), frequency=0.5)
    return inertia, damping, noise, ref


ARM_OMEGA = 14.0  # rad/s, closed-loop poles of every joint


def arm_pid(rng: np.random.Generator) -> Run:
    inertia, damping, noise, ref = arm_setup()
    controller = PIDController(*pid_gains(inertia, damping, omega=ARM_OMEGA))
    plant = Plant(inertia, damping, noise, ref[0].copy(), np.zeros(6))
    return Run("PIDController", "6-joint arm", "mrad", 1e3, controller, plant, rng, ref)


ADAPTIVE_START = 1.0 / 3.0  # share of the tuned proportional gain the adaptive run starts from


def arm_adaptive(rng: np.random.Generator) -> Run:
    inertia, damping, noise, ref = arm_setup()
    kp, ki, kd = pid_gains(inertia, damping, omega=ARM_OMEGA)
    controller = AdaptiveController(ADAPTIVE_START * kp, ki, kd, learning_rate=5e4, max_adjustment=2.0)
    plant = Plant(inertia, damping, noise, ref[0].copy(), np.zeros(6))
    return Run("AdaptiveController", "6-joint arm", "mrad", 1e3, controller, plant, rng, ref)


FLEET_OMEGA = 10.0  # rad/s, closed-loop poles of every vehicle axis


def formation(rng: np.random.Generator) -> Run:
    mass = np.array([[1.5], [1.8], [1.2], [2.0]]) * np.ones((1, 3))  # kg, per vehicle
    drag = np.ones((4, 1)) * np.array([[0.4, 0.4, 0.9]])  # N s/m, per axis
    noise = 0.5 * mass
    start = rng.uniform(-3.0, 3.0, size=(4, 3)) + np.array([0.0, 0.0, 5.0])
    slots = np.array([[2.0, 0.0, 0.0], [0.0, 2.0, 0.0], [-2.0, 0.0, 0.0], [0.0, -2.0, 0.0]])
    goal = slots + np.array([0.0, 0.0, 10.0])  # a square around the leader, 10 m up
    swing = np.broadcast_to(np.array([-4.0, 0.0, 0.5]), (4, 3)).copy()  # the leader circles, climbing a little
    sway = np.broadcast_to(np.array([0.0, 4.0, 0.0]), (4, 3)).copy()
    ref = reference(start, goal, swing, sway, frequency=0.25)
    controller = PIDControllerXd(*pid_gains(mass, drag, omega=FLEET_OMEGA))
    plant = Plant(mass, drag, noise, ref[0].copy(), np.zeros((4, 3)))
    return Run("PIDControllerXd", "4 vehicles x 3 axes", "mm", 1e3, controller, plant, rng, ref)


SCENARIOS: list[Callable[[np.random.Generator], Run]] = [arm_pid, arm_adaptive, formation]


def make_runs() -> list[Run]:
    root = np.random.SeedSequence(SEED)
    return [make(np.random.default_rng(seed)) for make, seed in zip(SCENARIOS, root.spawn(len(SCENARIOS)))]


# ---- figures of merit ------------------------------------------------------


@dataclass
class Metrics:
    rms: float  # whole run, over all joints or vehicles
    overshoot: float  # % of the move, worst joint or vehicle, over the move and the hold
    settling: float  # s from the start of the move until the worst one stays in the band; inf: never


def channels(values: Array) -> Array:
    """Steps x joints x 1 for the arm, steps x vehicles x 3 for the formation."""
    return values.reshape(values.shape[0], -1, 1) if values.ndim == 2 else values


def metrics(response: Array, reference: Array) -> Metrics:
    y, r = channels(response), channels(reference)
    rms = float(np.sqrt(np.mean(np.sum((y - r) ** 2, axis=-1))))
    hold = round(T_HOLD_END / DT) + 1
    start, goal = r[0], r[hold - 1]
    distance = np.linalg.norm(goal - start, axis=-1)  # length of each move
    direction = (goal - start) / distance[:, None]
    y = y[:hold]
    past_goal = np.sum((y - goal) * direction, axis=-1)  # progress beyond the goal along the move
    overshoot = float(np.max(np.maximum(past_goal, 0.0) / distance)) * 100.0
    outside = np.linalg.norm(y - goal, axis=-1) > SETTLE_BAND * distance
    if outside[-1].any():
        return Metrics(rms, overshoot, float("inf"))
    last_outside = np.max(np.nonzero(outside)[0], initial=-1)
    return Metrics(rms, overshoot, (last_outside + 1) * DT - MOVE_START)


def adapted_kp(controller: AdaptiveController) -> Array:
    """The adapted proportional gain, read from the pickled state (fields in alphabetical order)."""
    state = controller.__reduce__()[2]
    kp: Array = state[4]
    return kp


# ---- checkpoint and restore ------------------------------------------------


def continue_elsewhere(blobs: list[bytes]) -> list[Array]:
    """Continues every checkpoint in a new Python process; returns the responses after the checkpoint."""
    with tempfile.TemporaryDirectory() as tmp:
        inbox, outbox = Path(tmp) / "checkpoints.pkl", Path(tmp) / "responses.pkl"
        inbox.write_bytes(pickle.dumps(blobs))
        subprocess.run(
            [sys.executable, __file__, "--resume", str(inbox), "--out", str(outbox)],
            check=True,
        )
        responses: list[Array] = pickle.loads(outbox.read_bytes())
    return responses


def resume_main(inbox: Path, outbox: Path) -> None:
    """The new process: rebuild each run from nothing but its checkpoint, and finish it."""
    blobs: list[bytes] = pickle.loads(inbox.read_bytes())
    responses = []
    for template, blob in zip(make_runs(), blobs):
        run = template.restored(blob)
        run.advance(N_STEPS)
        responses.append(run.response[CHECKPOINT_STEP:])
    outbox.write_bytes(pickle.dumps(responses))


# ---- output ----------------------------------------------------------------


def print_table(runs: list[Run]) -> None:
    header = f"{'controller':<20} {'plant':<20} {'RMS error':>12} {'overshoot':>10} {'settling':>9} {'steps/s':>9}"
    print(header)
    print("-" * len(header))
    for run in runs:
        m = metrics(run.response, run.reference)
        settling = f"{m.settling:.2f} s" if np.isfinite(m.settling) else "never"
        rate = N_STEPS / (run.control_ns * 1e-9)
        print(
            f"{run.name:<20} {run.plant_name:<20} {m.rms * run.scale:>7.2f} {run.unit:<4} "
            f"{m.overshoot:>9.2f}% {settling:>9} {rate:>9,.0f}"
        )


def plot(runs: list[Run], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    t = np.arange(N_STEPS + 1) * DT
    colors = [f"C{i}" for i in range(10)]  # the default colour cycle
    fig, axes = plt.subplots(2, 3, figsize=(17, 8.5), constrained_layout=True)
    for run, (top, bottom) in zip(runs[:2], (axes[:, 0], axes[:, 1])):
        error = (run.response - run.reference) * run.scale
        for j in range(run.reference.shape[1]):
            top.plot(t, run.reference[:, j], "--", color=colors[j], lw=1.0)
            top.plot(t, run.response[:, j], "-", color=colors[j], lw=1.2, alpha=0.8, label=f"joint {j + 1}")
            bottom.plot(t, error[:, j], color=colors[j], lw=0.9)
        top.set_title(f"{run.name}: {run.plant_name}\n(dashed: reference, solid: response)")
        top.set_ylabel("joint angle [rad]")
        top.legend(loc="lower right", ncol=3, fontsize="small")
        bottom.set_title("tracking error (response - reference)")
        bottom.set_ylabel(f"error [{run.unit}]")
    lowest = min(axes[1, 0].get_ylim()[0], axes[1, 1].get_ylim()[0])
    highest = max(axes[1, 0].get_ylim()[1], axes[1, 1].get_ylim()[1])
    for ax in axes[1, :2]:
        ax.set_ylim(lowest, highest)  # one scale for the two arm controllers

    fleet = runs[2]
    top, bottom = axes[:, 2]
    for v in range(fleet.reference.shape[1]):
        top.plot(fleet.reference[:, v, 0], fleet.reference[:, v, 1], "--", color="0.5", lw=0.9)
        top.plot(fleet.response[:, v, 0], fleet.response[:, v, 1], color=colors[v], lw=1.2, label=f"vehicle {v + 1}")
        top.plot(fleet.response[0, v, 0], fleet.response[0, v, 1], "o", color=colors[v])
        distance = np.linalg.norm(fleet.response[:, v] - fleet.reference[:, v], axis=1) * fleet.scale
        bottom.plot(t, distance, color=colors[v], lw=0.9)
    top.set_title(f"{fleet.name}: {fleet.plant_name}, seen from above\n(dashed: reference, o: start)")
    top.set_xlabel("x [m]")
    top.set_ylabel("y [m]")
    top.set_aspect("equal", adjustable="datalim")
    top.legend(loc="upper right", fontsize="small")
    bottom.set_title("distance from its slot in the formation")
    bottom.set_ylabel(f"distance [{fleet.unit}]")
    for ax in (*axes[1, :], *axes[0, :2]):
        ax.set_xlabel("time [s]")
        ax.axvline(CHECKPOINT_STEP * DT, color="0.8", lw=0.8, zorder=0)

    fig.savefig(path, dpi=100)
    plt.close(fig)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Closed-loop demo of vesk.cython_pid.")
    parser.add_argument("--plot", type=Path, metavar="FILE.png", help="write reference vs response plots to FILE.png")
    parser.add_argument("--resume", type=Path, help=argparse.SUPPRESS)
    parser.add_argument("--out", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.resume is not None:
        resume_main(args.resume, args.out)
        return 0
    if args.plot is not None:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            print(
                "demo: --plot needs matplotlib, which is not installed.\n"
                "      Install the demo extra (pip install 'vesk-cython-pid[demo]', or `make demo`), "
                "or run without --plot.",
                file=sys.stderr,
            )
            return 2

    runs = make_runs()
    print(
        f"Closed loop, dt = {DT * 1e3:g} ms, {T_END:g} s ({N_STEPS} steps): a minimum-jerk move, "
        f"a hold, then periodic motion from t = {T_HOLD_END:g} s; seeded actuator noise.\n"
    )
    for run in runs:
        run.advance(CHECKPOINT_STEP)
    blobs = [run.checkpoint() for run in runs]
    twins = [run.restored(blob) for run, blob in zip(runs, blobs)]
    for run in runs + twins:
        run.advance(N_STEPS)
    elsewhere = continue_elsewhere(blobs)

    print_table(runs)
    ideal = metrics(runs[0].reference, runs[0].reference).settling
    print(
        f"\nRMS error over the whole run; overshoot and settling over the move and the hold, worst joint or\n"
        f"vehicle. Settling: from the start of the move until within {SETTLE_BAND:.0%} of the move of the goal "
        f"(the reference itself\ntakes {ideal:.2f} s). steps/s: compute_control calls per second of time spent in them."
    )
    adaptive = runs[1].controller
    assert isinstance(adaptive, AdaptiveController)
    tuned = pid_gains(*arm_setup()[:2], omega=ARM_OMEGA)[0]

    def gains(values: Array) -> str:
        return " ".join(f"{v:5.0f}" for v in values)

    print(
        f"\nAdaptiveController kp, started at {ADAPTIVE_START:.2g} of the tuned gain:\n"
        f"  start   {gains(ADAPTIVE_START * tuned)}\n"
        f"  end     {gains(adapted_kp(adaptive))}   (read from its pickled state)\n"
        f"  tuned   {gains(tuned)}   (PIDController)"
    )

    same = all(
        run.response.tobytes() == twin.response.tobytes()
        and run.response[CHECKPOINT_STEP:].tobytes() == other.tobytes()
        for run, twin, other in zip(runs, twins, elsewhere)
    )
    size = sum(len(blob) for blob in blobs)
    t_check = CHECKPOINT_STEP * DT
    if same:
        print(
            f"\nCheckpoint at t = {t_check:g} s ({size:,} bytes of pickles): restored in a new process and as a new "
            f"object here,\nboth continued {N_STEPS - CHECKPOINT_STEP} steps on the identical trajectory "
            "(checked bit for bit)."
        )
    else:
        print(f"\nCheckpoint at t = {t_check:g} s: a restored run LEFT the original trajectory.", file=sys.stderr)
        for run, twin, other in zip(runs, twins, elsewhere):
            here = run.response.tobytes() == twin.response.tobytes()
            there = run.response[CHECKPOINT_STEP:].tobytes() == other.tobytes()
            print(f"  {run.name}: new object {'same' if here else 'DIFFERS'}, "
                  f"new process {'same' if there else 'DIFFERS'}", file=sys.stderr)

    if args.plot is not None:
        plot(runs, args.plot)
        print(f"\nPlot written to {args.plot}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
