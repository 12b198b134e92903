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

Every actuator has a stated limit (10 rad/s^2 times the joint's inertia on
the arm, 40 m/s^2 times the vehicle's mass on each axis of the formation):
the controller's output is clipped to it outside the controller, and the
integral is kept from winding up, in place after every step with
vesk.pid_tools (which also reads the controllers' state by name): by
back-calculation on the PID arm and the formation, by clamping to
+-limit/ki with conditional integration on the adaptive arm (the demo also
runs every step response with the clamp alone and with each method, and
prints how much each gains); the adaptive arm also keeps Kp where its output was clipped
(a saturated actuator leaves an error that would otherwise drive Kp up
without end). Every run is primed with one dt = 0 call before its first
step, so that it starts without a derivative kick; the demo checks that this
call leaves the integral untouched and stores the first error.

Overshoot and settling time come from a separate step response of each
controller and plant (at rest at the start, the goal from t = 0), not from the
tracking runs, whose reference itself takes over a second to arrive. Steps
per second are timed apart from the simulation: the median of several
repeats, with their range.

    python examples/demo.py [--plot demo.png]
"""

from __future__ import annotations

import argparse
import pickle
import subprocess
import sys
import statistics
import tempfile
import timeit
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import TypeAlias

import numpy as np
from numpy.typing import ArrayLike, NDArray

from vesk import pid_tools
from vesk.cython_pid import AdaptiveController, PIDController, PIDControllerXd

Array = NDArray[np.float64]

DT = 0.002  # s, control period
T_END = 8.0  # s
T_HOLD_END = 4.0  # the move and the hold end here, the periodic motion starts
MOVE_START, MOVE_TIME = 0.25, 1.25  # s
SETTLE_BAND = 0.02  # settling band, fraction of the step
STEP_TIME = 4.0  # s, length of the step-response runs
STEP_PLOT_TIME = 3.0  # s of them shown
ARM_LIMIT = 10.0  # rad/s^2: each joint's torque limit is this times its inertia
FLEET_LIMIT = 40.0  # m/s^2: each vehicle's force limit on every axis is this times its mass
SEED = 20_240_611
# Anti-windup, all done in place on the controller's own integral by vesk.pid_tools after every step.
# "clamp" (pid_tools.clamp): the integral clamped to +-limit/ki (it is bounded, but it fills up while the
# actuator is saturated). "conditional" (pid_tools.conditional_integration): a step's e*dt taken back where
# the output was clipped in the error's direction, then the clamp. "back-calculation"
# (pid_tools.back_calculation, no clamp): the integral bled by (u_clipped - u)/(ki*Tt)*dt, which pulls the
# integral term back until the command is just at the limit; the tracking time Tt is half the
# derivative time kd/kp (measured on the step runs: Td/2 beats Td and sqrt(Ti*Td) here).
ANTI_WINDUP_MODES = ("clamp", "conditional", "back-calculation")
ANTI_WINDUP = "back-calculation"  # what the PID runs use
# The adaptive arm keeps the clamp with conditional integration: back-calculation, tuned from the start
# Kp, fights the adaptation (its step overshoots 79 % and does not settle).
ADAPTIVE_ANTI_WINDUP = "conditional"
N_STEPS = round(T_END / DT)
CHECKPOINT_STEP = N_STEPS // 2


Controller: TypeAlias = PIDController | PIDControllerXd | AdaptiveController


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
    limit: Array  # actuator limit of every element, in the units of the control signal
    step: int = 0
    anti_windup: str = ANTI_WINDUP  # one of ANTI_WINDUP_MODES
    kp_log: Array | None = None  # AdaptiveController: its Kp after every step (row 0: the start)

    def __post_init__(self) -> None:
        self.response: Array = np.zeros_like(self.reference)
        self.response[0] = self.plant.position
        self.force: Array = np.zeros_like(self.reference)  # applied (clipped) control signal of every step
        self.peak_command = 0.0  # largest |command| / limit before clipping
        if isinstance(self.controller, AdaptiveController):
            self.kp_log = np.zeros_like(self.reference)
            self.kp_log[0] = adapted_kp(self.controller)

    def prime(self) -> None:
        """One dt = 0 call before the first step: no derivative term, the integral kept, the first
        error stored as the previous error, so that the first step has no derivative kick."""
        before = pid_tools.state(self.controller).integral.copy()
        self.controller.compute_control(self.reference[0], self.plant.position, 0.0)
        state = pid_tools.state(self.controller)  # read after the call, which replaced the previous error
        first_error = self.reference[0] - self.plant.position
        assert state.integral.tobytes() == before.tobytes(), "priming moved the integral"
        assert state.previous_error.tobytes() == first_error.tobytes(), "priming did not store the first error"

    def advance(self, until: int) -> None:
        controller, plant, rng, ref, kp_log = self.controller, self.plant, self.rng, self.reference, self.kp_log
        limit, low = self.limit, -self.limit
        state = pid_tools.state(controller)  # read again each time: a restore replaces the arrays
        integral = state.integral  # live: every step adds into it in place
        tracking = 0.5 * state.kd / state.kp  # back-calculation's tracking time Tt = Td / 2, a copy
        kp = state.kp if isinstance(controller, AdaptiveController) else None  # the adapted gain, live
        peak, mode = self.peak_command, self.anti_windup
        for k in range(self.step, until):
            kp_before = None if kp is None else kp.copy()
            integral_before = integral.copy() if mode == "conditional" else None
            command = controller.compute_control(ref[k], plant.position, DT)
            if mode == "back-calculation":
                force = pid_tools.back_calculation(controller, command, low, limit, DT, tracking)
            elif mode == "conditional":
                # Saturated in the error's direction: more integral cannot help; this step's e*dt is
                # taken back (restored bit for bit from the copy), then the clamp.
                force = pid_tools.conditional_integration(controller, command, low, limit, DT, before=integral_before)
                pid_tools.clamp(controller, low, limit)
            else:
                force = np.clip(command, low, limit)  # the actuator
                pid_tools.clamp(controller, low, limit)  # the integral term kept within the limits
            if kp is not None and kp_before is not None:
                # A saturated actuator leaves an error the loop cannot reduce, which would drive the
                # adaptation on; where the output was clipped, Kp keeps its value.
                saturated = np.abs(command) > limit
                kp[saturated] = kp_before[saturated]
            peak = max(peak, float(np.max(np.abs(command) / limit)))
            plant.step(force, DT, rng)
            self.force[k] = force
            self.response[k + 1] = plant.position
            if kp_log is not None:
                assert isinstance(controller, AdaptiveController)
                kp_log[k + 1] = adapted_kp(controller)
        self.peak_command = peak
        self.step = until

    def checkpoint(self) -> bytes:
        return pickle.dumps((self.controller, self.plant, self.rng, self.step))

    def restored(self, blob: bytes) -> Run:
        """A copy of this run rebuilt from a checkpoint, as a process that has only the bytes would."""
        controller, plant, rng, step = pickle.loads(blob)
        twin = Run(self.name, self.plant_name, self.unit, self.scale, controller, plant, rng, self.reference, self.limit,
                   anti_windup=self.anti_windup)
        twin.response[:step] = self.response[:step]  # history, for the plots only
        twin.force[:step] = self.force[:step]
        twin.peak_command = self.peak_command
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
    return Run("PIDController", "6-joint arm", "mrad", 1e3, controller, plant, rng, ref, ARM_LIMIT * inertia)


ADAPTIVE_START = 1.0 / 3.0  # share of the tuned proportional gain the adaptive run starts from


def arm_adaptive(rng: np.random.Generator, step: bool = False) -> Run:
    inertia, damping, noise, ref = arm_setup(step)
    kp, ki, kd = pid_gains(inertia, damping, omega=ARM_OMEGA)
    controller = AdaptiveController(ADAPTIVE_START * kp, ki, kd, learning_rate=5e4, max_adjustment=2.0)
    plant = Plant(inertia, damping, noise, np.zeros(6), np.zeros(6))  # at rest at the start
    return Run("AdaptiveController", "6-joint arm", "mrad", 1e3, controller, plant, rng, ref, ARM_LIMIT * inertia)


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
    return Run("PIDControllerXd", "4 vehicles x 3 axes", "mm", 1e3, controller, plant, rng, ref, FLEET_LIMIT * mass)


SCENARIOS: list[Callable[[np.random.Generator, bool], Run]] = [arm_pid, arm_adaptive, formation]


def make_runs(step: bool = False, prime: bool = True, anti_windup: str | None = None) -> list[Run]:
    """The tracking runs, or with `step` the step-response runs (each with a generator of its own),
    primed unless `prime` is false, with the given anti-windup (None: each run's own)."""
    seeds = np.random.SeedSequence(SEED).spawn(2 * len(SCENARIOS))
    seeds = seeds[len(SCENARIOS) :] if step else seeds[: len(SCENARIOS)]
    runs = [make(np.random.default_rng(seed), step) for make, seed in zip(SCENARIOS, seeds)]
    for run in runs:
        adaptive = isinstance(run.controller, AdaptiveController)
        run.anti_windup = anti_windup or (ADAPTIVE_ANTI_WINDUP if adaptive else ANTI_WINDUP)
        if prime:
            run.prime()
    return runs


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
    """Overshoot and settling of the worst channel, measured by pid_tools on series from 0 to 1: the way
    along the step (for the overshoot) and 1 minus the share of the step still to go (for the settling,
    so that a vehicle counts as settled once its distance from the slot, in any direction, is within the band)."""
    y, goal = channels(run.response), channels(run.reference)[-1]
    start = y[0]
    distance = np.linalg.norm(goal - start, axis=-1)  # length of each step
    direction = (goal - start) / distance[:, None]
    progress = np.sum((y - start) * direction, axis=-1) / distance
    closed = 1.0 - np.linalg.norm(y - goal, axis=-1) / distance
    t = np.arange(len(y)) * DT
    overshoot = max(pid_tools.overshoot(progress[:, j], 1.0, initial=0.0) for j in range(progress.shape[1]))
    settling = max(pid_tools.settling_time(t, closed[:, j], 1.0, band=SETTLE_BAND, initial=0.0)
                   for j in range(closed.shape[1]))
    return StepResponse(progress, overshoot, settling)


def adapted_kp(controller: AdaptiveController) -> Array:
    """The adapted proportional gain (the controller's own array, changed in place by every step)."""
    return pid_tools.state(controller).kp


def anti_windup_figures() -> list[list[StepResponse]]:
    """The step response of every controller (rows) under every anti-windup mode (columns)."""
    by_mode = []
    for mode in ANTI_WINDUP_MODES:
        runs = make_runs(step=True, anti_windup=mode)
        for run in runs:
            run.advance(len(run.reference) - 1)
        by_mode.append([step_response(run) for run in runs])
    return [list(row) for row in zip(*by_mode)]


def figure(response: StepResponse) -> str:
    settling = f"{response.settling:.2f} s" if np.isfinite(response.settling) else "never"
    return f"{response.overshoot:5.1f} %, {settling:>6}"


def gain_over_clamp(clamp: StepResponse, better: StepResponse) -> str:
    """How much `better` improves on the clamp alone: overshoot in points, settling in per cent."""
    if abs(better.overshoot - clamp.overshoot) < 0.05 and abs(better.settling - clamp.settling) < 0.01:
        return "as the clamp alone (within 0.1 points, 10 ms)"
    text = f"overshoot {better.overshoot - clamp.overshoot:+.1f} points"
    if np.isfinite(clamp.settling) and np.isfinite(better.settling):
        text += f", settling {100 * (better.settling / clamp.settling - 1):+.0f} %"
    return text


def first_commands() -> list[float]:
    """The largest element of the first command of each step run when it is not primed (the derivative kick)."""
    runs = make_runs(step=True, prime=False)
    return [float(np.max(np.abs(run.controller.compute_control(run.reference[0], run.plant.position, DT)))) for run in runs]


def steps_per_second(run: Run, repeats: int = 7, number: int = 2000) -> tuple[float, float, float]:
    """compute_control calls per second on a copy of the run's controller: median, lowest and highest of `repeats`."""
    controller = pickle.loads(pickle.dumps(run.controller))
    target, position = run.reference[-1].copy(), run.response[-1].copy()
    times = timeit.repeat(lambda: controller.compute_control(target, position, DT), number=number, repeat=repeats)
    rates = [number / t for t in times]
    return statistics.median(rates), min(rates), max(rates)


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


def print_table(runs: list[Run], step_runs: list[Run], steps: list[StepResponse]) -> None:
    header = (
        f"{'controller':<20} {'plant':<20} {'RMS error':>12} {'track |u|':>9}   "
        f"{'step overshoot':>14} {'settling':>9} {'step |u|':>9}   {'steps/s (median, range of 7)':>30}"
    )
    print(header)
    print("-" * len(header))
    for run, step_run, step in zip(runs, step_runs, steps):
        settling = f"{step.settling:.3f} s" if np.isfinite(step.settling) else "never"
        median, low, high = steps_per_second(run)
        print(
            f"{run.name:<20} {run.plant_name:<20} {rms_error(run) * run.scale:>7.2f} {run.unit:<4} "
            f"{run.peak_command:>9.0%}   {step.overshoot:>13.1f}% {settling:>9} {step_run.peak_command:>9,.0%}   "
            f"{median / 1e6:>9.2f} M  ({low / 1e6:.2f}-{high / 1e6:.2f} M)"
        )


ROW_HEIGHTS = [3.0, 3.3, 3.3, 3.0, 3.3, 2.6]  # the six rows of every column of the plot


def print_anti_windup(figures: list[list[StepResponse]], runs: list[Run]) -> None:
    print(f"\nAnti-windup on the step runs (overshoot, {SETTLE_BAND:.0%} settling); the same loops, only the integral's treatment differs:")
    header = f"{'controller':<20} " + " ".join(f"{mode:>18}" for mode in ANTI_WINDUP_MODES) + "   used, against the clamp alone"
    print(header)
    print("-" * len(header))
    for run, row in zip(runs, figures):
        used = row[ANTI_WINDUP_MODES.index(run.anti_windup)]
        print(f"{run.name:<20} " + " ".join(f"{figure(r):>18}" for r in row)
              + f"   {run.anti_windup}: {gain_over_clamp(row[0], used)}")


def plot(runs: list[Run], step_runs: list[Run], steps: list[StepResponse], path: Path,
         anti_windup: list[list[StepResponse]]) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.axes import Axes
    from matplotlib.figure import SubFigure
    from matplotlib.gridspec import SubplotSpec
    from matplotlib.lines import Line2D

    t = np.linspace(0.0, N_STEPS * DT, N_STEPS + 1, dtype=np.float64)
    t_check = CHECKPOINT_STEP * DT
    step_t = np.linspace(0.0, STEP_TIME, round(STEP_TIME / DT) + 1, dtype=np.float64)
    colors = [f"C{i}" for i in range(10)]  # the default colour cycle
    axis_styles = {"x": "-", "y": "--", "z": ":"}  # the formation's axes, inside each vehicle's colour
    fig = plt.figure(figsize=(19, 26), layout="constrained")
    columns = fig.subfigures(1, 3, wspace=0.03)
    assert isinstance(columns, np.ndarray)
    pid_col, adaptive_col, fleet_col = (column for column in columns.flat if isinstance(column, SubFigure))

    def reference_line(axes: Axes, x: ArrayLike, y: ArrayLike, color: str) -> None:
        # Wide and pale under the response, so both stay visible where they agree.
        axes.plot(x, y, color=color, lw=5.0, alpha=0.3, solid_capstyle="butt")

    def mark_checkpoint(axes: Axes) -> None:
        axes.axvline(t_check, color="0.6", lw=0.8, ls="--", zorder=0)

    def stack(sub: SubFigure, cell: SubplotSpec, labels: list[str], title: str, ylabel: str) -> list[Axes]:
        """Small multiples: one thin panel per joint or vehicle, sharing both axes, labelled inside."""
        inner = cell.subgridspec(len(labels), 1, hspace=0.0)
        first = sub.add_subplot(inner[0])
        axes = [first] + [sub.add_subplot(inner[i], sharex=first, sharey=first) for i in range(1, len(labels))]
        for i, (ax, label) in enumerate(zip(axes, labels)):
            ax.text(0.005, 0.92, label, transform=ax.transAxes, va="top", fontsize="small", color=colors[i],
                    weight="bold", bbox={"facecolor": "white", "edgecolor": "none", "alpha": 0.8, "pad": 1.0})
            ax.tick_params(labelsize="x-small")
            if ax is not axes[-1]:
                ax.tick_params(labelbottom=False)
        axes[0].set_title(title, fontsize="medium")
        axes[len(axes) // 2].set_ylabel(ylabel)
        axes[-1].set_xlabel("time [s]")
        return axes

    def limit_lines(axes: list[Axes]) -> None:
        for ax in axes:
            for side in (-1.0, 1.0):
                ax.axhline(side, color="red", lw=0.9, ls="--", zorder=0)
        axes[0].set_ylim(-1.25, 1.95)  # room above the +1 line for the panel's label, which hides no curve
        axes[0].set_yticks([-1.0, 0.0, 1.0])

    def end_labels(ax: Axes, x: float, items: list[tuple[float, str, str]], side: int = 1, gap: float = 11.0) -> None:
        """Labels (y, text, colour) at the ends of curves, beside the panel at x, moved apart vertically
        (in points) so that no two overlap. Call it once the panel's limits are final."""
        ax.get_ylim()  # applies any pending autoscaling, so the transform below is final
        points = 72.0 / fig.dpi
        ys = [float(ax.transData.transform((x, y))[1]) * points for y, _, _ in items]
        placed = list(ys)
        order = sorted(range(len(items)), key=lambda i: ys[i])
        for before, i in zip(order, order[1:]):  # push each label up past the one below it
            placed[i] = max(placed[i], placed[before] + gap)
        for (y, text, color), at, wanted in zip(items, placed, ys):
            label = ax.annotate(text, (x, y), xytext=(4 * side, at - wanted),
                                textcoords="offset points", va="center", ha="left" if side > 0 else "right",
                                fontsize="small", color=color, weight="bold")
            label.set_in_layout(False)  # beside the panel, in the margin: the layout leaves room for it

    def settles(response: StepResponse) -> str:
        return f"settles in {response.settling:.2f} s" if np.isfinite(response.settling) else "does not settle"

    def finish_step_panel(ax: Axes, response: StepResponse, what: str, ylabel: str, mode: str) -> None:
        """The settling time marked, the axes limited to the plotted time, the title and labels."""
        if np.isfinite(response.settling):
            ax.axvline(response.settling, color="0.2", lw=0.8)
        ax.set_xlim(0.0, STEP_PLOT_TIME)
        ax.set_title(f"{what} ({mode}): overshoot {response.overshoot:.1f} %, {settles(response)}",
                     fontsize="medium")
        ax.set_ylabel(ylabel)
        ax.set_xlabel("time [s]")

    def arm_column(sub: SubFigure, run: Run, step_run: Run, step: StepResponse) -> SubplotSpec:
        gs = sub.add_gridspec(6, 1, height_ratios=ROW_HEIGHTS)
        joints = [f"J{j + 1}" for j in range(run.reference.shape[1])]
        sub.suptitle(f"{run.name}: {run.plant_name}", fontsize="x-large", weight="bold")

        top = sub.add_subplot(gs[0])
        for j, label in enumerate(joints):
            reference_line(top, t, run.reference[:, j], colors[j])
            top.plot(t, run.response[:, j], color=colors[j], lw=1.0)
        end_labels(top, float(t[-1]), [(float(run.reference[-1, j]), label, colors[j]) for j, label in enumerate(joints)])
        top.set_title("tracking: reference (wide, pale) and response", fontsize="medium")
        top.set_ylabel("joint angle [rad]")
        top.set_xlabel("time [s]")
        mark_checkpoint(top)

        error = (run.response - run.reference) * run.scale
        for j, ax in enumerate(stack(sub, gs[1], joints, "tracking error (response - reference)",
                                     f"error [{run.unit}]")):
            ax.plot(t, error[:, j], color=colors[j], lw=0.8)
            mark_checkpoint(ax)

        share = run.force / run.limit
        axes = stack(sub, gs[2], [f"{label}  (limit {u:g} N m)" for label, u in zip(joints, run.limit)],
                     "tracking: control signal / actuator limit (red dashed: the limit)", "torque / limit")
        for j, ax in enumerate(axes):
            ax.plot(t[:-1], share[:-1, j], color=colors[j], lw=0.7)
            mark_checkpoint(ax)
        limit_lines(axes)

        step_ax = sub.add_subplot(gs[3])
        goal = step_run.reference[-1]
        for j, label in enumerate(joints):
            step_ax.axhline(float(goal[j]), color=colors[j], lw=0.8, ls=":", zorder=0)
            band = SETTLE_BAND * abs(float(goal[j]))  # the step starts from 0
            step_ax.axhspan(float(goal[j]) - band, float(goal[j]) + band, color=colors[j], alpha=0.15, lw=0, zorder=0)
            step_ax.plot(step_t, step_run.response[:, j], color=colors[j], lw=1.2)
        step_ax.set_xlim(0.0, STEP_PLOT_TIME)
        end_labels(step_ax, STEP_PLOT_TIME, [(float(step_run.response[-1, j]), label, colors[j])
                                             for j, label in enumerate(joints)])
        finish_step_panel(step_ax, step, "step from rest", "joint angle [rad] (dotted: goal; band: ±2 %)",
                          step_run.anti_windup)

        share = step_run.force / step_run.limit
        axes = stack(sub, gs[4], joints, f"step: control signal / actuator limit (largest command "
                     f"{step_run.peak_command:,.0f} x the limit)", "torque / limit")
        for j, ax in enumerate(axes):
            ax.plot(step_t[:-1], share[:-1, j], color=colors[j], lw=0.9)
        limit_lines(axes)
        axes[0].set_xlim(0.0, STEP_PLOT_TIME)
        return gs[5]

    # The arm under PIDController, with a summary of the figures below.
    summary_cell = arm_column(pid_col, runs[0], step_runs[0], steps[0])
    # The arm under AdaptiveController, with its Kp below.
    kp_cell = arm_column(adaptive_col, runs[1], step_runs[1], steps[1])

    kp_ax = adaptive_col.add_subplot(kp_cell)
    adaptive = runs[1]
    assert adaptive.kp_log is not None
    ratio = adaptive.kp_log / tuned_arm_kp()
    for j in range(ratio.shape[1]):
        kp_ax.plot(t, ratio[:, j], color=colors[j], lw=1.2)
    kp_ax.axhline(1.0, color="0.4", lw=0.8, ls=":")
    kp_ax.set_yscale("log")
    kp_ax.set_ylim(0.28, 3.6)
    end_labels(kp_ax, float(t[-1]), [(float(ratio[-1, j]), f"J{j + 1}", colors[j]) for j in range(ratio.shape[1])])
    kp_ax.set_yticks([ADAPTIVE_START, 0.5, 1.0, 2.0, 3.0], ["1/3 (start)", "0.5", "1 (tuned)", "2", "3"])
    kp_ax.minorticks_off()
    kp_ax.set_title("tracking: Kp / tuned Kp (flat while holding, rising while moving)", fontsize="medium")
    kp_ax.set_ylabel("Kp / tuned Kp")
    kp_ax.set_xlabel("time [s]")
    mark_checkpoint(kp_ax)

    # The formation.
    fleet, fleet_step, fleet_response = runs[2], step_runs[2], steps[2]
    vehicles = [f"V{v + 1}" for v in range(fleet.reference.shape[1])]
    gs = fleet_col.add_gridspec(6, 1, height_ratios=ROW_HEIGHTS)
    fleet_col.suptitle(f"{fleet.name}: {fleet.plant_name}", fontsize="x-large", weight="bold")

    xy = fleet_col.add_subplot(gs[0])
    centre = fleet.response.mean(axis=1)
    xy.plot(centre[:, 0], centre[:, 1], color="0.6", lw=0.8, ls="--")
    for v in range(len(vehicles)):
        xy.plot(fleet.response[:, v, 0], fleet.response[:, v, 1], color=colors[v], lw=0.6, alpha=0.35)
        xy.plot(fleet.response[0, v, 0], fleet.response[0, v, 1], "o", color=colors[v], ms=10, mfc="none", mew=1.5,
                zorder=4)  # a ring around the 0 s square, drawn over it
    # Snapshots of the formation; the leader's circle brings it back to where it was 4 s earlier.
    for when, label in ((0.0, "0 s"), (1.5, "1.5, 4, 8 s"), (5.0, "5 s"), (6.0, "6 s"), (7.0, "7 s")):
        k = round(when / DT)
        corners = fleet.response[k, [0, 1, 2, 3, 0], :2]
        xy.plot(corners[:, 0], corners[:, 1], color="0.25", lw=1.0 if when else 0.7, ls="-" if when else ":")
        for v in range(len(vehicles)):
            xy.plot(fleet.response[k, v, 0], fleet.response[k, v, 1], "s", color=colors[v], ms=5)
        middle = fleet.response[k, :, :2].mean(axis=0)
        xy.text(float(middle[0]), float(middle[1]), label, ha="center", va="center", fontsize="small", color="0.2")
    xy.set_title("from above: the square in flight (dotted: at 0 s; o: start)", fontsize="medium")
    xy.set_xlabel("x [m]")
    xy.set_ylabel("y [m]")
    xy.set_aspect("equal", adjustable="datalim")

    distance = np.linalg.norm(fleet.response - fleet.reference, axis=2) * fleet.scale
    for v, ax in enumerate(stack(fleet_col, gs[1], vehicles, "tracking: distance from its slot in the formation",
                                 f"distance [{fleet.unit}]")):
        ax.plot(t, distance[:, v], color=colors[v], lw=0.8)
        mark_checkpoint(ax)

    def vehicle_controls(cell: SubplotSpec, run: Run, time: Array, title: str) -> list[Axes]:
        share = run.force / run.limit
        labels = [f"{name}  (limit {u:g} N)" for name, u in zip(vehicles, run.limit[:, 0])]
        axes = stack(fleet_col, cell, labels, title, "force / limit")
        for v, ax in enumerate(axes):
            for a, (axis, style) in enumerate(axis_styles.items()):
                ax.plot(time[:-1], share[:-1, v, a], color=colors[v], ls=style, lw=0.8)
        limit_lines(axes)
        axes[0].legend(handles=[Line2D([], [], color="0.3", ls=style, label=axis) for axis, style in
                                axis_styles.items()], loc="upper right", ncol=3, fontsize="x-small")
        return axes

    for ax in vehicle_controls(gs[2], fleet, t, "tracking: control signal / actuator limit per axis"):
        mark_checkpoint(ax)

    step_ax = fleet_col.add_subplot(gs[3])
    step_ax.axhspan(1.0 - SETTLE_BAND, 1.0 + SETTLE_BAND, color="0.85", zorder=0)
    for v, name in enumerate(vehicles):
        step_ax.plot(step_t, fleet_response.progress[:, v], color=colors[v], lw=1.2, label=name)
    step_ax.legend(loc="lower right", fontsize="small")
    finish_step_panel(step_ax, fleet_response, "step to the slots", "way along the step (1: slot; grey: ±2 %)",
                      fleet_step.anti_windup)

    axes = vehicle_controls(gs[4], fleet_step, step_t, f"step: control signal / actuator limit (largest command "
                            f"{fleet_step.peak_command:,.0f} x the limit)")
    axes[0].set_xlim(0.0, STEP_PLOT_TIME)

    altitude = fleet_col.add_subplot(gs[5])
    for v, name in enumerate(vehicles):
        reference_line(altitude, t, fleet.reference[:, v, 2], colors[v])
        altitude.plot(t, fleet.response[:, v, 2], color=colors[v], lw=1.0, ls=list(axis_styles.values())[v % 3])
    end_labels(altitude, 0.0, [(float(fleet.response[0, v, 2]), name, colors[v]) for v, name in enumerate(vehicles)],
               side=-1)
    altitude.set_title("tracking: altitude, reference (wide, pale) and response", fontsize="medium")
    altitude.set_ylabel("z [m]")
    altitude.set_xlabel("time [s]")
    mark_checkpoint(altitude)

    summary = pid_col.add_subplot(summary_cell)
    summary.axis("off")
    lines = ["Step runs: from rest, primed with one dt = 0 call, the output clipped to the limit.",
             "Overshoot and settling with each anti-windup (in place on the controller's integral):", "",
             f"{'':<19} {'clamp alone':>16} {'conditional':>16} {'back-calc.':>16}"]
    for run, row in zip(step_runs, anti_windup):
        lines.append(f"{run.name:<19} " + " ".join(f"{figure(r):>16}" for r in row))
    lines.append("")
    for run, row in zip(step_runs, anti_windup):
        used = row[ANTI_WINDUP_MODES.index(run.anti_windup)]
        lines.append(f"{run.name:<19} {run.anti_windup}: {gain_over_clamp(row[0], used)}")
    kicks = first_commands()
    lines += ["", "The adaptive arm keeps Kp where its output was clipped. Its step commands flicker",
              "at the limit for a few steps (J6 near 0.2 s, J5 0.3 s, J4 0.4 s): Kp is held while the",
              "output is clipped and grows by max_adjustment the step it is not, which takes the",
              "command back over the limit. The actuator's output stays within the limit.",
              f"First command if not primed: {kicks[0]:,.0f} N m (arm), {kicks[2]:,.0f} N (vehicles).",
              "", f"Limits: arm {ARM_LIMIT:g} rad/s² × inertia per joint; vehicles {FLEET_LIMIT:g} m/s² × mass per axis.",
              "Dashed vertical lines: the checkpoint, where every run was pickled,",
              "restored in a new process and continued bit for bit."]
    summary.text(0.0, 1.0, "\n".join(lines), va="top", family="monospace", fontsize="small").set_in_layout(False)

    fig.savefig(path, dpi=90)
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

    print_table(runs, step_runs, steps)
    anti_windup = anti_windup_figures()
    print_anti_windup(anti_windup, step_runs)
    print(
        f"\nActuator limits: arm joints {ARM_LIMIT:g} rad/s^2 x inertia "
        f"({', '.join(f'{v:g}' for v in step_runs[0].limit)} N m), vehicles {FLEET_LIMIT:g} m/s^2 x mass on each axis "
        f"({', '.join(f'{v:g}' for v in step_runs[2].limit[:, 0])} N);\n"
        "the output is clipped to them; anti-windup: the table above. RMS error: tracking, over the whole "
        "run.\ntrack |u|, step |u|: the largest command before clipping in the tracking and the step run, as a share "
        "of the limit (above 100 %: the actuator saturates).\nStep overshoot and settling: a separate run per controller, from rest with the goal from "
        "t = 0; settled once\nthe worst joint or vehicle stays within "
        f"{SETTLE_BAND:.0%} of the step from the goal. steps/s: compute_control calls per second,\n"
        "timed apart from the simulation."
    )
    kicks = first_commands()
    primed = [float(np.max(np.abs(run.force[0]))) for run in step_runs]
    print(
        "\nEvery run starts with one dt = 0 call (checked: the integral stays, the first error is stored), so the "
        "first step has\nno derivative kick. The first command of the step runs without it would have been "
        f"{kicks[0]:,.0f} N m (arm) and {kicks[2]:,.0f} N (vehicles);\nthe actuators gave at most "
        f"{primed[0]:,.1f} N m and {primed[2]:,.1f} N."
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
        f"  end     {gains(adapted_kp(adaptive))}   (read by pid_tools.state)\n"
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
        plot(runs, step_runs, steps, args.plot, anti_windup)
        print(f"\nPlot written to {args.plot}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
