"""Closed-loop demo of vesk.cython_pid.

Three simulations, each a point-to-point move followed by a periodic motion:

* a 6-joint arm (each joint a damped double integrator J*q'' + b*q' = u + w,
  with actuator noise w from a seeded generator) under PIDController;
* the same arm under AdaptiveController, started with a third of the tuned
  proportional gain, which it raises while it runs (its Kp is logged every
  step);
* a formation of 4 vehicles x 3 axes (point masses with drag) under one
  PIDControllerXd over (4, 3) arrays.

Halfway through, every run is checkpointed with pickle (controller, plant,
random generator), restored in a new process and as a new object here, and
continued; the demo checks that all three continuations are bit for bit the
same trajectory.

Overshoot and settling time come from a separate step response of each
controller and plant (at rest at the start, the goal from t = 0), not from the
tracking runs, whose reference itself takes over a second to arrive.

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
from numpy.typing import ArrayLike, NDArray

from vesk.cython_pid import AdaptiveController, PIDController, PIDControllerXd

Array = NDArray[np.float64]

DT = 0.002  # s, control period
T_END = 8.0  # s
T_HOLD_END = 4.0  # the move and the hold end here, the periodic motion starts
MOVE_START, MOVE_TIME = 0.25, 1.25  # s
SETTLE_BAND = 0.02  # settling band, fraction of the step
STEP_TIME = 2.0  # s, length of the step-response runs
STEP_PLOT_TIME = 1.2  # s of them shown
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


def step_reference(start: Array, goal: Array) -> Array:
    """The goal at every step of a step-response run, shape (STEP_TIME / DT + 1, *start.shape)."""
    return np.broadcast_to(goal, (round(STEP_TIME / DT) + 1, *start.shape)).copy()


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
    kp_log: Array | None = None  # AdaptiveController: its Kp after every step (row 0: the start)

    def __post_init__(self) -> None:
        self.response: Array = np.zeros_like(self.reference)
        self.response[0] = self.plant.position
        if isinstance(self.controller, AdaptiveController):
            self.kp_log = np.zeros_like(self.reference)
            self.kp_log[0] = adapted_kp(self.controller)

    def advance(self, until: int) -> None:
        controller, plant, rng, ref, kp_log = self.controller, self.plant, self.rng, self.reference, self.kp_log
        clock = time.perf_counter_ns
        spent = 0
        for k in range(self.step, until):
            started = clock()
            force = controller.compute_control(ref[k], plant.position, DT)
            spent += clock() - started
            plant.step(force, DT, rng)
            self.response[k + 1] = plant.position
            if kp_log is not None:
                assert isinstance(controller, AdaptiveController)
                kp_log[k + 1] = adapted_kp(controller)
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
        if twin.kp_log is not None and self.kp_log is not None:
            twin.kp_log[: step + 1] = self.kp_log[: step + 1]
        twin.step = step
        return twin


def arm_setup(step: bool = False) -> tuple[Array, Array, Array, Array]:
    """Inertia (kg m^2), damping (N m s/rad), actuator noise (N m), reference (rad)."""
    inertia = np.array([2.4, 2.0, 1.2, 0.5, 0.3, 0.15])
    damping = np.array([1.2, 1.0, 0.6, 0.25, 0.15, 0.08])
    noise = 0.5 * inertia
    start = np.zeros(6)
    goal = np.array([1.2, -0.8, 0.9, 1.5, -1.0, 0.6])
    if step:
        return inertia, damping, noise, step_reference(start, goal)
    ref = reference(start, goal, swing=0.2 * np.sign(goal), sway=np.zeros(6), frequency=0.5)
    return inertia, damping, noise, ref


ARM_OMEGA = 14.0  # rad/s, closed-loop poles of every joint


def arm_pid(rng: np.random.Generator, step: bool = False) -> Run:
    inertia, damping, noise, ref = arm_setup(step)
    controller = PIDController(*pid_gains(inertia, damping, omega=ARM_OMEGA))
    plant = Plant(inertia, damping, noise, np.zeros(6), np.zeros(6))  # at rest at the start
    return Run("PIDController", "6-joint arm", "mrad", 1e3, controller, plant, rng, ref)


ADAPTIVE_START = 1.0 / 3.0  # share of the tuned proportional gain the adaptive run starts from


def arm_adaptive(rng: np.random.Generator, step: bool = False) -> Run:
    inertia, damping, noise, ref = arm_setup(step)
    kp, ki, kd = pid_gains(inertia, damping, omega=ARM_OMEGA)
    controller = AdaptiveController(ADAPTIVE_START * kp, ki, kd, learning_rate=5e4, max_adjustment=2.0)
    plant = Plant(inertia, damping, noise, np.zeros(6), np.zeros(6))  # at rest at the start
    return Run("AdaptiveController", "6-joint arm", "mrad", 1e3, controller, plant, rng, ref)


FLEET_OMEGA = 10.0  # rad/s, closed-loop poles of every vehicle axis


def formation(rng: np.random.Generator, step: bool = False) -> Run:
    mass = np.array([[1.5], [1.8], [1.2], [2.0]]) * np.ones((1, 3))  # kg, per vehicle
    drag = np.ones((4, 1)) * np.array([[0.4, 0.4, 0.9]])  # N s/m, per axis
    noise = 0.5 * mass
    start = rng.uniform(-3.0, 3.0, size=(4, 3)) + np.array([0.0, 0.0, 5.0])
    slots = np.array([[2.0, 0.0, 0.0], [0.0, 2.0, 0.0], [-2.0, 0.0, 0.0], [0.0, -2.0, 0.0]])
    goal = slots + np.array([0.0, 0.0, 10.0])  # a square around the leader, 10 m up
    swing = np.broadcast_to(np.array([-4.0, 0.0, 0.5]), (4, 3)).copy()  # the leader circles, climbing a little
    sway = np.broadcast_to(np.array([0.0, 4.0, 0.0]), (4, 3)).copy()
    ref = step_reference(start, goal) if step else reference(start, goal, swing, sway, frequency=0.25)
    controller = PIDControllerXd(*pid_gains(mass, drag, omega=FLEET_OMEGA))
    plant = Plant(mass, drag, noise, start.copy(), np.zeros((4, 3)))
    return Run("PIDControllerXd", "4 vehicles x 3 axes", "mm", 1e3, controller, plant, rng, ref)


SCENARIOS: list[Callable[[np.random.Generator, bool], Run]] = [arm_pid, arm_adaptive, formation]


def make_runs(step: bool = False) -> list[Run]:
    """The tracking runs, or with `step` the step-response runs (each with a generator of its own)."""
    seeds = np.random.SeedSequence(SEED).spawn(2 * len(SCENARIOS))
    seeds = seeds[len(SCENARIOS) :] if step else seeds[: len(SCENARIOS)]
    return [make(np.random.default_rng(seed), step) for make, seed in zip(SCENARIOS, seeds)]


# ---- figures of merit ------------------------------------------------------


def channels(values: Array) -> Array:
    """Steps x joints x 1 for the arm, steps x vehicles x 3 for the formation."""
    return values.reshape(values.shape[0], -1, 1) if values.ndim == 2 else values


def rms_error(run: Run) -> float:
    """Root mean square tracking error over the whole run, all joints or vehicles."""
    y, r = channels(run.response), channels(run.reference)
    return float(np.sqrt(np.mean(np.sum((y - r) ** 2, axis=-1))))


@dataclass
class StepResponse:
    progress: Array  # steps x channels: position along the step, 0 at the start, 1 at the goal
    overshoot: float  # % of the step, worst joint or vehicle
    settling: float  # s until the worst one stays within SETTLE_BAND of the step from the goal; inf: never


def step_response(run: Run) -> StepResponse:
    y, goal = channels(run.response), channels(run.reference)[-1]
    start = y[0]
    distance = np.linalg.norm(goal - start, axis=-1)  # length of each step
    direction = (goal - start) / distance[:, None]
    progress = np.sum((y - start) * direction, axis=-1) / distance
    overshoot = max(float(np.max(progress - 1.0)), 0.0) * 100.0
    outside = np.linalg.norm(y - goal, axis=-1) > SETTLE_BAND * distance
    if outside[-1].any():
        return StepResponse(progress, overshoot, float("inf"))
    last_outside = int(np.max(np.nonzero(outside)[0], initial=-1))
    return StepResponse(progress, overshoot, (last_outside + 1) * DT)


def adapted_kp(controller: AdaptiveController) -> Array:
    """The adapted proportional gain, read from the pickled state (fields in alphabetical order)."""
    state = controller.__reduce__()[2]
    kp: Array = state[4]
    return kp


def tuned_arm_kp() -> Array:
    """The proportional gains of the PIDController arm, which the adaptive one starts from a third of."""
    inertia, damping = arm_setup()[:2]
    return pid_gains(inertia, damping, omega=ARM_OMEGA)[0]


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


def print_table(runs: list[Run], steps: list[StepResponse]) -> None:
    header = (
        f"{'controller':<20} {'plant':<20} {'RMS error':>12}   "
        f"{'step overshoot':>14} {'settling':>9} {'steps/s':>9}"
    )
    print(header)
    print("-" * len(header))
    for run, step in zip(runs, steps):
        settling = f"{step.settling:.3f} s" if np.isfinite(step.settling) else "never"
        rate = N_STEPS / (run.control_ns * 1e-9)
        print(
            f"{run.name:<20} {run.plant_name:<20} {rms_error(run) * run.scale:>7.2f} {run.unit:<4}   "
            f"{step.overshoot:>13.1f}% {settling:>9} {rate:>9,.0f}"
        )


def plot(runs: list[Run], steps: list[StepResponse], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.axes import Axes
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    t = np.arange(N_STEPS + 1) * DT
    t_check = CHECKPOINT_STEP * DT
    colors = [f"C{i}" for i in range(10)]  # the default colour cycle
    fig, ax = plt.subplot_mosaic(
        [["pid", "adaptive", "xy"], ["pid_error", "adaptive_error", "distance"], ["step", "kp", "fleet_step"]],
        figsize=(17, 13),
        layout="constrained",
    )

    def reference_line(axes: Axes, x: ArrayLike, y: ArrayLike, color: str) -> None:
        # Wide and pale under the response, so both stay visible where they agree.
        axes.plot(x, y, color=color, lw=5.0, alpha=0.3, solid_capstyle="butt")

    def mark_checkpoint(axes: Axes) -> None:
        axes.axvline(t_check, color="0.6", lw=0.8, ls="--", zorder=0)
        top = axes.secondary_xaxis("top")
        top.set_xticks([t_check], ["checkpoint"])
        top.tick_params(labelsize="small", colors="0.35")

    # The arm under both controllers: reference and response, tracking error.
    for run, name in zip(runs[:2], ("pid", "adaptive")):
        top, bottom = ax[name], ax[f"{name}_error"]
        error = (run.response - run.reference) * run.scale
        for j in range(run.reference.shape[1]):
            reference_line(top, t, run.reference[:, j], colors[j])
            top.plot(t, run.response[:, j], color=colors[j], lw=1.0)
            bottom.plot(t, error[:, j], color=colors[j], lw=0.9)
        top.set_title(f"{run.name}: {run.plant_name}")
        top.set_ylabel("joint angle [rad]")
        bottom.set_title(f"{run.name}: tracking error (response - reference)")
        bottom.set_ylabel(f"error [{run.unit}]")
    lowest = min(ax["pid_error"].get_ylim()[0], ax["adaptive_error"].get_ylim()[0])
    highest = max(ax["pid_error"].get_ylim()[1], ax["adaptive_error"].get_ylim()[1])
    for name in ("pid_error", "adaptive_error"):
        ax[name].set_ylim(lowest, highest)  # one scale for the two arm controllers

    # The formation: seen from above, and each vehicle's distance from its slot.
    fleet = runs[2]
    xy, distance_ax = ax["xy"], ax["distance"]
    for v in range(fleet.reference.shape[1]):
        reference_line(xy, fleet.reference[:, v, 0], fleet.reference[:, v, 1], colors[v])
        xy.plot(fleet.response[:, v, 0], fleet.response[:, v, 1], color=colors[v], lw=1.0)
        xy.plot(fleet.response[0, v, 0], fleet.response[0, v, 1], "o", color=colors[v], ms=5)
        distance = np.linalg.norm(fleet.response[:, v] - fleet.reference[:, v], axis=1) * fleet.scale
        distance_ax.plot(t, distance, color=colors[v], lw=0.9)
    xy.set_title(f"{fleet.name}: the formation from above (o: start)")
    xy.set_xlabel("x [m]")
    xy.set_ylabel("y [m]")
    both = np.concatenate([fleet.reference[..., :2].reshape(-1, 2), fleet.response[..., :2].reshape(-1, 2)])
    low, high = both.min(axis=0), both.max(axis=0)
    pad = 0.06 * float(np.max(high - low))
    xy.set_xlim(low[0] - pad, high[0] + pad)
    xy.set_ylim(low[1] - pad, high[1] + pad)
    xy.set_aspect("equal", adjustable="box")
    distance_ax.set_title(f"{fleet.name}: distance from its slot in the formation")
    distance_ax.set_ylabel(f"distance [{fleet.unit}]")

    # Kp of the adaptive arm against the tuned gain of the PID arm.
    kp_ax = ax["kp"]
    adaptive = runs[1]
    assert adaptive.kp_log is not None
    ratio = adaptive.kp_log / tuned_arm_kp()
    for j in range(ratio.shape[1]):
        kp_ax.plot(t, ratio[:, j], color=colors[j], lw=1.2)
    kp_ax.axhline(1.0, color="0.4", lw=0.8, ls=":")
    kp_ax.set_yscale("log")
    kp_ax.set_ylim(0.28, 3.6)
    kp_ax.set_yticks([ADAPTIVE_START, 0.5, 1.0, 2.0, 3.0], ["1/3 (start)", "0.5", "1 (tuned)", "2", "3"])
    kp_ax.minorticks_off()
    kp_ax.set_title(f"{adaptive.name}: Kp / tuned Kp (flat while holding, rising while moving)")
    kp_ax.set_ylabel("Kp / tuned Kp")

    # Step responses, with the settling band.
    step_t = np.arange(round(STEP_TIME / DT) + 1) * DT
    for name, group in (("step", steps[:2]), ("fleet_step", steps[2:])):
        step_ax = ax[name]
        step_ax.axhspan(1.0 - SETTLE_BAND, 1.0 + SETTLE_BAND, color="0.85", zorder=0)
        for response, style, run in zip(group, ("-", "--"), runs[:2] if name == "step" else runs[2:]):
            for c in range(response.progress.shape[1]):
                step_ax.plot(step_t, response.progress[:, c], style, color=colors[c], lw=1.0)
            step_ax.axvline(response.settling, color="0.2", ls=style, lw=0.8)
        step_ax.set_ylabel("position along the step (0: start, 1: goal)")
        step_ax.set_xlim(0.0, STEP_PLOT_TIME)

    def settles(response: StepResponse) -> str:
        return f"settles at {response.settling:.2f} s" if np.isfinite(response.settling) else "does not settle"

    band = Patch(color="0.85", label=f"±{SETTLE_BAND:.0%} band")
    ax["step"].set_title(f"{runs[0].plant_name}: step response (from rest, goal at t = 0)")
    ax["step"].legend(
        handles=[
            Line2D([], [], color="0.2", ls="-", label=f"{runs[0].name}: {settles(steps[0])}"),
            Line2D([], [], color="0.2", ls="--", label=f"{runs[1].name}: {settles(steps[1])}"),
            band,
        ],
        loc="lower right",
        fontsize="small",
    )
    ax["fleet_step"].set_title(f"{fleet.plant_name}: step response (from rest, goal at t = 0)")
    ax["fleet_step"].legend(
        handles=[Line2D([], [], color="0.2", label=f"{fleet.name}: {settles(steps[2])}"), band],
        loc="lower right",
        fontsize="small",
    )

    for name in ("pid", "adaptive", "pid_error", "adaptive_error", "distance", "kp"):
        mark_checkpoint(ax[name])
    for name in ("pid", "adaptive", "pid_error", "adaptive_error", "distance", "kp", "step", "fleet_step"):
        ax[name].set_xlabel("time [s]")

    # Legends outside the panels, where they cover nothing.
    looks = [
        Line2D([], [], color="0.3", lw=5.0, alpha=0.3, label="reference"),
        Line2D([], [], color="0.3", lw=1.0, label="response"),
    ]
    joints = [Line2D([], [], color=colors[j], lw=2.0, label=f"joint {j + 1}") for j in range(runs[0].reference.shape[1])]
    vehicles = [Line2D([], [], color=colors[v], lw=2.0, label=f"vehicle {v + 1}") for v in range(fleet.reference.shape[1])]
    fig.legend(handles=joints + looks, loc="outside upper left", ncol=len(joints) + len(looks), title="6-joint arm")
    fig.legend(handles=vehicles, loc="outside upper right", ncol=len(vehicles), title="formation")

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
    step_runs = make_runs(step=True)
    for run in step_runs:
        run.advance(len(run.reference) - 1)
    steps = [step_response(run) for run in step_runs]

    print_table(runs, steps)
    print(
        f"\nRMS error: tracking, over the whole run. Step overshoot and settling: a separate run per controller,\n"
        f"from rest at the start with the goal from t = 0; settled once the worst joint or vehicle stays within\n"
        f"{SETTLE_BAND:.0%} of the step from the goal. steps/s: compute_control calls per second of time spent in them."
    )
    adaptive, kp_log = runs[1].controller, runs[1].kp_log
    assert isinstance(adaptive, AdaptiveController) and kp_log is not None
    tuned = tuned_arm_kp()

    def gains(values: Array) -> str:
        return " ".join(f"{v:5.0f}" for v in values)

    print(
        f"\nAdaptiveController kp, started at {ADAPTIVE_START:.2g} of the tuned gain:\n"
        f"  start   {gains(ADAPTIVE_START * tuned)}\n"
        f"  t = {T_HOLD_END:g} s {gains(kp_log[round(T_HOLD_END / DT)])}   (end of the hold)\n"
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
        plot(runs, steps, args.plot)
        print(f"\nPlot written to {args.plot}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
