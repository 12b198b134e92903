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
+-limit/ki with conditional integration on the adaptive arm. The tracking
commands stay within the limits, so there the anti-windup never acts; the
step responses saturate, and the demo runs each of them under every method
(the clamp alone, conditional integration, back-calculation) and prints and
plots them side by side, one method per figure row. The adaptive arm also
keeps Kp where its output was clipped (a saturated actuator leaves an error
that would otherwise drive Kp up without end); its Kp is still rising when
the run ends, which the demo reports. Every run is primed with one dt = 0
call before its first step, so that it starts without a derivative kick;
the demo checks that this call leaves the integral untouched and stores the
first error.

Overshoot and settling time come from a separate step response of each
controller and plant (at rest at the start, the goal from t = 0), not from the
tracking runs, whose reference itself takes over a second to arrive. Steps
per second are timed apart from the simulation: the median of several
repeats.

With --plot FILE.png the tracking runs go to FILE.png (12 panels, the two
arms' error axes shared, the control signals on one scale) and the step
responses to FILE-step.png (controllers by anti-windup, all on one scale).

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
from typing import Literal, TypeAlias

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


@dataclass
class StepCase:
    """One step-response run (one controller, one anti-windup mode) and what it measured."""

    run: Run
    response: StepResponse


def step_cases() -> list[list[StepCase]]:
    """The step response of every controller (rows) under every anti-windup mode (columns, in the order of
    ANTI_WINDUP_MODES): the same loops, only the integral's treatment differs."""
    by_mode = []
    for mode in ANTI_WINDUP_MODES:
        runs = make_runs(step=True, anti_windup=mode)
        for run in runs:
            run.advance(len(run.reference) - 1)
        by_mode.append([StepCase(run, step_response(run)) for run in runs])
    return [list(row) for row in zip(*by_mode)]


def times(ratio: float) -> str:
    """A ratio written as a multiple: 0.65 ×, 89 ×."""
    return f"{ratio:.2f} ×" if ratio < 10.0 else f"{ratio:,.0f} ×"


def settles(response: StepResponse) -> str:
    return f"settles in {response.settling:.2f} s" if np.isfinite(response.settling) else "does not settle"


def gain_over_clamp(clamp: StepResponse, other: StepResponse) -> str:
    """How `other` compares with the clamp alone: overshoot in points, settling in per cent."""
    if abs(other.overshoot - clamp.overshoot) < 0.05 and abs(other.settling - clamp.settling) < 0.01:
        return "as the clamp alone (within 0.1 points, 10 ms)"
    text = f"overshoot {other.overshoot - clamp.overshoot:+.1f} points"
    if np.isfinite(clamp.settling) and np.isfinite(other.settling):
        text += f", settling {100 * (other.settling / clamp.settling - 1):+.0f} %"
    elif not np.isfinite(other.settling):
        text += ", does not settle"
    return text


def first_commands() -> list[float]:
    """The largest element of the first command of each step run when it is not primed (the derivative kick)."""
    runs = make_runs(step=True, prime=False)
    return [float(np.max(np.abs(run.controller.compute_control(run.reference[0], run.plant.position, DT)))) for run in runs]


def steps_per_second(run: Run, repeats: int = 7, number: int = 2000) -> float:
    """compute_control calls per second on a copy of the run's controller: the median of `repeats` timings
    (one call takes a fraction of a microsecond, so single timings swing with the machine's load)."""
    controller = pickle.loads(pickle.dumps(run.controller))
    target, position = run.reference[-1].copy(), run.response[-1].copy()
    controller.compute_control(target, position, DT)  # warm up
    timings = timeit.repeat(lambda: controller.compute_control(target, position, DT), number=number, repeat=repeats)
    return statistics.median(number / t for t in timings)


def kp_rise(kp_log: Array) -> Array:
    """How much each joint's adapted Kp rose over the last second of the run, as a fraction."""
    last_second = round(1.0 / DT)
    rise: Array = kp_log[-1] / kp_log[-1 - last_second] - 1.0
    return rise


def kp_trend(kp_log: Array) -> str:
    """One line on whether the adapted Kp is still changing at the end of the run."""
    rise = kp_rise(kp_log)
    low, high = int(np.argmin(rise)), int(np.argmax(rise))
    spread = f"{100 * rise[low]:+.0f} % (J{low + 1}) to {100 * rise[high]:+.0f} % (J{high + 1}) over the last second"
    if np.all(rise > 0.001):
        return f"Kp still rising at t = {T_END:g} s: {spread}"
    if np.all(np.abs(rise) <= 0.001):
        return f"Kp level at t = {T_END:g} s: within 0.1 % over the last second"
    return f"Kp at t = {T_END:g} s: {spread}"


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


def table(header: list[str], rows: list[list[str]], right: list[bool]) -> list[str]:
    """A text table whose columns are as wide as their widest cell (the header's included), two spaces apart."""
    widths = [max(len(cell) for cell in column) for column in zip(header, *rows)]

    def line(cells: list[str]) -> str:
        return "  ".join(c.rjust(w) if r else c.ljust(w) for c, w, r in zip(cells, widths, right)).rstrip()

    return [line(header), "-" * (sum(widths) + 2 * (len(widths) - 1))] + [line(row) for row in rows]


def print_table(runs: list[Run], rates: list[float]) -> None:
    header = ["controller", "plant", "anti-windup", "RMS error", "largest |u| / limit", "steps/s (median of 7)"]
    rows = [
        [run.name, run.plant_name, run.anti_windup, f"{rms_error(run) * run.scale:.2f} {run.unit:<4}",
         times(run.peak_command), f"{rate / 1e6:.2f} M"]
        for run, rate in zip(runs, rates)
    ]
    print("\n".join(table(header, rows, [False, False, False, True, True, True])))


def print_step_table(cases: list[list[StepCase]], runs: list[Run]) -> None:
    print(f"\nStep responses from rest under each anti-windup (the same loops, only the integral's treatment "
          f"differs;\n* the one the controller's tracking run uses):")
    header = ["controller", "anti-windup", "overshoot", f"settling ({SETTLE_BAND:.0%})", "largest |u| / limit",
              "against the clamp alone"]
    rows = []
    for run, row in zip(runs, cases):
        for i, (mode, case) in enumerate(zip(ANTI_WINDUP_MODES, row)):
            settling = f"{case.response.settling:.2f} s" if np.isfinite(case.response.settling) else "never"
            rows.append([
                run.name if i == 0 else "",
                mode + (" *" if mode == run.anti_windup else "  "),
                f"{case.response.overshoot:.1f} %",
                settling,
                times(case.run.peak_command),
                "" if i == 0 else gain_over_clamp(row[0].response, case.response),
            ])
    print("\n".join(table(header, rows, [False, False, True, True, True, False])))


def plot(runs: list[Run], cases: list[list[StepCase]], path: Path, step_path: Path) -> None:
    """Two figures: the tracking runs (`path`) and the step responses under every anti-windup (`step_path`)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D

    t = np.linspace(0.0, N_STEPS * DT, N_STEPS + 1, dtype=np.float64)
    t_check = CHECKPOINT_STEP * DT
    step_t = np.linspace(0.0, STEP_TIME, round(STEP_TIME / DT) + 1, dtype=np.float64)
    colors = [f"C{i}" for i in range(10)]  # the default colour cycle
    axis_styles = {"x": "-", "y": "--", "z": ":"}  # the formation's axes, inside each vehicle's colour
    joints = [f"J{j + 1}" for j in range(runs[0].reference.shape[1])]
    vehicles = [f"V{v + 1}" for v in range(runs[2].reference.shape[1])]

    def reference_line(axes: Axes, x: ArrayLike, y: ArrayLike, color: str) -> None:
        # Wide and pale under the response, so both stay visible where they agree.
        axes.plot(x, y, color=color, lw=5.0, alpha=0.3, solid_capstyle="butt")

    def mark_checkpoint(axes: Axes) -> None:
        axes.axvline(t_check, color="0.6", lw=0.8, ls="--", zorder=0)

    def limit_lines(ax: Axes) -> None:
        for side in (-1.0, 1.0):
            ax.axhline(side, color="red", lw=0.9, ls="--", zorder=0)

    def legend(ax: Axes, names: list[str], loc: Literal["upper left", "upper right", "lower right"],
               styles: bool = False) -> None:
        handles = [Line2D([], [], color=colors[i], lw=1.5, label=name) for i, name in enumerate(names)]
        if styles:
            handles += [Line2D([], [], color="0.3", ls=style, label=axis) for axis, style in axis_styles.items()]
        ax.legend(handles=handles, loc=loc, ncol=len(handles), fontsize="x-small", handlelength=1.5,
                  columnspacing=0.8)

    def end_labels(fig: Figure, ax: Axes, x: float, items: list[tuple[float, str, str]], side: int = 1,
                   gap: float = 11.0) -> None:
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

    # ---- the tracking runs: one column per controller, 12 panels --------------------------------------
    # (One grid, no subfigures: axes shared across subfigures redraw the figure at every change of limits.)
    fig = plt.figure(figsize=(19, 17), layout="constrained")
    gs = fig.add_gridspec(4, 3, height_ratios=[3.0, 2.3, 2.3, 2.8], wspace=0.08)

    def header(ax: Axes, run: Run) -> None:
        """The column's heading, above the top panel's one-line title."""
        ax.annotate(f"{run.name}: {run.plant_name} ({run.anti_windup})", (0.5, 1.0), xycoords="axes fraction",
                    xytext=(0.0, 26.0), textcoords="offset points", ha="center", va="bottom", fontsize="large",
                    weight="bold")

    arm_error: Axes | None = None
    control: Axes | None = None
    for col, run in enumerate(runs[:2]):  # the two arms
        top = fig.add_subplot(gs[0, col])
        header(top, run)
        for j, label in enumerate(joints):
            reference_line(top, t, run.reference[:, j], colors[j])
            top.plot(t, run.response[:, j], color=colors[j], lw=1.0)
        end_labels(fig, top, float(t[-1]),
                   [(float(run.reference[-1, j]), label, colors[j]) for j, label in enumerate(joints)])
        top.set_title("reference (wide, pale) and response", fontsize="medium")
        top.set_ylabel("joint angle [rad]")
        top.set_xlabel("time [s]")
        mark_checkpoint(top)

        ax = fig.add_subplot(gs[1, col], sharex=top, sharey=arm_error)
        arm_error = arm_error or ax
        error = (run.response - run.reference) * run.scale
        for j in range(len(joints)):
            ax.plot(t, error[:, j], color=colors[j], lw=0.8)
        ax.set_title("tracking error, response - reference (same scale on both arms)", fontsize="medium")
        ax.set_ylabel(f"error [{run.unit}]")
        ax.set_xlabel("time [s]")
        legend(ax, joints, "lower right")
        mark_checkpoint(ax)

        ax = fig.add_subplot(gs[2, col], sharex=top, sharey=control)
        control = control or ax
        share = run.force / run.limit
        for j in range(len(joints)):
            ax.plot(t[:-1], share[:-1, j], color=colors[j], lw=0.7)
        limit_lines(ax)
        ax.set_title(f"control signal / actuator limit (red dashed); largest {times(run.peak_command)}",
                     fontsize="medium")
        ax.set_ylabel("torque / limit")
        ax.set_xlabel("time [s]")
        mark_checkpoint(ax)

    # The formation.
    fleet = runs[2]
    xy = fig.add_subplot(gs[0, 2])
    header(xy, fleet)
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
    legend(xy, vehicles, "upper left")

    ax = fig.add_subplot(gs[1, 2], sharex=control)
    distance = np.linalg.norm(fleet.response - fleet.reference, axis=2) * fleet.scale
    for v in range(len(vehicles)):
        ax.plot(t, distance[:, v], color=colors[v], lw=0.8)
    ax.set_title("distance from its slot (in mm, a scale of its own)", fontsize="medium")
    ax.set_ylabel(f"distance [{fleet.unit}]")
    ax.set_xlabel("time [s]")
    legend(ax, vehicles, "upper left")
    mark_checkpoint(ax)

    ax = fig.add_subplot(gs[2, 2], sharex=control, sharey=control)
    share = fleet.force / fleet.limit
    for v in range(len(vehicles)):
        for a, style in enumerate(axis_styles.values()):
            ax.plot(t[:-1], share[:-1, v, a], color=colors[v], ls=style, lw=0.8)
    limit_lines(ax)
    ax.set_title(f"control signal / actuator limit per axis; largest {times(fleet.peak_command)}", fontsize="medium")
    ax.set_ylabel("force / limit")
    ax.set_xlabel("time [s]")
    legend(ax, vehicles, "upper right", styles=True)
    mark_checkpoint(ax)
    assert control is not None
    control.set_ylim(-1.25, 1.6)  # room above the +1 line for the legend
    control.set_yticks([-1.0, 0.0, 1.0])

    altitude = fig.add_subplot(gs[3, 2], sharex=control)
    for v, name in enumerate(vehicles):
        reference_line(altitude, t, fleet.reference[:, v, 2], colors[v])
        altitude.plot(t, fleet.response[:, v, 2], color=colors[v], lw=1.0, ls=list(axis_styles.values())[v % 3])
    end_labels(fig, altitude, 0.0, [(float(fleet.response[0, v, 2]), name, colors[v])
                                    for v, name in enumerate(vehicles)], side=-1)
    altitude.set_title("altitude, reference (wide, pale) and response", fontsize="medium")
    altitude.set_ylabel("z [m]")
    altitude.set_xlabel("time [s]")
    mark_checkpoint(altitude)

    # The adaptive arm's Kp.
    adaptive = runs[1]
    assert adaptive.kp_log is not None
    kp_ax = fig.add_subplot(gs[3, 1], sharex=control)
    ratio = adaptive.kp_log / tuned_arm_kp()
    for j in range(ratio.shape[1]):
        kp_ax.plot(t, ratio[:, j], color=colors[j], lw=1.2)
    kp_ax.axhline(1.0, color="0.4", lw=0.8, ls=":")
    kp_ax.axvspan(T_END - 1.0, T_END, color="0.9", zorder=0)
    kp_ax.set_yscale("log")
    kp_ax.set_ylim(0.28, 3.6)
    end_labels(fig, kp_ax, float(t[-1]), [(float(ratio[-1, j]), f"J{j + 1}", colors[j]) for j in range(ratio.shape[1])])
    kp_ax.set_yticks([ADAPTIVE_START, 0.5, 1.0, 2.0, 3.0], ["1/3 (start)", "0.5", "1 (tuned)", "2", "3"])
    kp_ax.minorticks_off()
    kp_ax.set_title(f"Kp / tuned Kp: flat while holding, rising while moving.\n{kp_trend(adaptive.kp_log)} (grey)",
                    fontsize="medium")
    kp_ax.set_ylabel("Kp / tuned Kp")
    kp_ax.set_xlabel("time [s]")
    mark_checkpoint(kp_ax)

    notes = fig.add_subplot(gs[3, 0])
    notes.axis("off")
    lines = [
        "Tracking runs: a minimum-jerk move, a hold, then periodic",
        f"motion from t = {T_HOLD_END:g} s; seeded actuator noise.",
        "",
        f"Limits: arm {ARM_LIMIT:g} rad/s² × inertia per joint;",
        f"vehicles {FLEET_LIMIT:g} m/s² × mass per axis. The output is",
        "clipped to them outside the controller. No tracking command",
        "reached its limit (largest: "
        + ", ".join(times(run.peak_command) for run in runs) + "),",
        "so the anti-windup in the titles never acted here.",
        "",
        "Dashed vertical lines: the checkpoint, where every run was",
        "pickled, restored in a new process and continued bit for bit.",
        "",
        f"Step responses, under each anti-windup: {step_path.name}",
    ]
    if any(run.peak_command > 1.0 for run in runs):
        lines[5:8] = ["clipped to them outside the controller, where the anti-windup", "in the titles acts."]
    notes.text(0.0, 1.0, "\n".join(lines), va="top", family="monospace", fontsize="medium").set_in_layout(False)
    fig.savefig(path, dpi=90)
    plt.close(fig)

    # ---- the step responses: one row per anti-windup, one column per controller, all on one scale -----
    fig = plt.figure(figsize=(19, 15), layout="constrained")
    fig.suptitle("Step responses from rest: one anti-windup per row, all nine panels on the same axes",
                 fontsize="x-large", weight="bold")
    grid = fig.add_gridspec(len(ANTI_WINDUP_MODES) + 1, len(runs), height_ratios=[3.0] * len(ANTI_WINDUP_MODES) + [1.2])
    first: Axes | None = None
    for r, mode in enumerate(ANTI_WINDUP_MODES):
        for c, (run, case) in enumerate(zip(runs, (row[r] for row in cases))):
            ax = fig.add_subplot(grid[r, c], sharex=first, sharey=first)
            first = first or ax
            names = joints if c < 2 else vehicles
            ax.axhspan(1.0 - SETTLE_BAND, 1.0 + SETTLE_BAND, color="0.8", lw=0, zorder=0)
            ax.axhline(1.0, color="0.4", lw=0.8, ls=":", zorder=0)
            for i in range(len(names)):
                ax.plot(step_t, case.response.progress[:, i], color=colors[i], lw=1.2)
            if np.isfinite(case.response.settling):
                ax.axvline(case.response.settling, color="0.2", lw=0.8)
            used = mode == run.anti_windup
            ax.set_title(f"{run.name}, {mode}{' (as in its tracking run)' if used else ''}\n"
                         f"overshoot {case.response.overshoot:.1f} %, {settles(case.response)}; "
                         f"largest command {times(case.run.peak_command)} the limit",
                         fontsize="medium", weight="bold" if used else "normal")
            ax.set_xlabel("time [s]")
            if c == 0:
                ax.set_ylabel("way along the step (1: goal)")
            if r == 0:
                legend(ax, names, "lower right")
    assert first is not None
    first.set_xlim(0.0, STEP_PLOT_TIME)
    first.set_ylim(-0.05, None)

    kicks = first_commands()
    notes = fig.add_subplot(grid[-1, :])
    notes.axis("off")
    lines = [
        "Step runs: from rest, the goal from t = 0, primed with one dt = 0 call, the output clipped to the limit; "
        "all nine on the same axes.",
        f"Overshoot: the worst joint or vehicle; settling (vertical line): once the worst stays within the grey band, "
        f"±{SETTLE_BAND:.0%} of the step.",
        "The adaptive arm keeps Kp where its output was clipped: held while clipped and raised by max_adjustment the "
        "step it is not, which",
        "can take the command back over the limit for a few steps. The actuator's output stays within the limit.",
        f"First command if not primed: {kicks[0]:,.0f} N m (arm), {kicks[2]:,.0f} N (vehicles). "
        f"Limits: arm {ARM_LIMIT:g} rad/s² × inertia per joint; vehicles {FLEET_LIMIT:g} m/s² × mass per axis.",
    ]
    notes.text(0.0, 1.0, "\n".join(lines), va="top", family="monospace", fontsize="medium").set_in_layout(False)
    fig.savefig(step_path, dpi=90)
    plt.close(fig)


def step_plot_path(path: Path) -> Path:
    """Where the step responses go beside FILE.png: FILE-step.png."""
    return path.with_name(f"{path.stem}-step{path.suffix or '.png'}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Closed-loop demo of vesk.cython_pid.")
    parser.add_argument("--plot", type=Path, metavar="FILE.png",
                        help="write the tracking runs to FILE.png and the step responses to FILE-step.png")
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
    cases = step_cases()
    # The step run of each controller under the anti-windup its tracking run uses.
    step_runs = [row[ANTI_WINDUP_MODES.index(run.anti_windup)].run for run, row in zip(runs, cases)]

    print_table(runs, [steps_per_second(run) for run in runs])
    saturated = any(run.peak_command > 1.0 for run in runs)
    print(
        f"\nActuator limits: arm joints {ARM_LIMIT:g} rad/s^2 x inertia "
        f"({', '.join(f'{v:g}' for v in step_runs[0].limit)} N m), vehicles {FLEET_LIMIT:g} m/s^2 x mass on each axis "
        f"({', '.join(f'{v:g}' for v in step_runs[2].limit[:, 0])} N);\n"
        "the output is clipped to them. RMS error: over the whole tracking run. largest |u| / limit: the largest "
        "command before clipping.\n"
        + ("Some tracking command exceeded its limit, so the anti-windup acted in the tracking runs.\n" if saturated else
           "No tracking command reached its limit, so no output was clipped and the anti-windup never acted there.\n")
        + "steps/s: median of 7 timings of 2,000 compute_control calls (single timings swing with the machine's "
        "load); at 6 or 12 elements the per-call overhead, not the arithmetic, sets the rate."
    )
    print_step_table(cases, runs)
    print(
        f"\nStep overshoot and settling: a separate run per controller and anti-windup, from rest with the goal from "
        f"t = 0; settled once\nthe worst joint or vehicle stays within {SETTLE_BAND:.0%} of the step from the goal. "
        "The adaptive arm also keeps Kp where its output was clipped."
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
        f"  {'':8}{' '.join(f'{name:>5}' for name in (f'J{j + 1}' for j in range(len(tuned))))}\n"
        f"  {'start':8}{gains(ADAPTIVE_START * tuned)}\n"
        f"  {f't = {T_HOLD_END:g} s':8}{gains(kp_log[round(T_HOLD_END / DT)])}   (end of the hold)\n"
        f"  {f't = {T_END - 1:g} s':8}{gains(kp_log[-1 - round(1.0 / DT)])}\n"
        f"  {'end':8}{gains(adapted_kp(adaptive))}   (t = {T_END:g} s, read by pid_tools.state)\n"
        f"  {'tuned':8}{gains(tuned)}   (PIDController)\n"
        f"  {kp_trend(kp_log)}."
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
        step_path = step_plot_path(args.plot)
        plot(runs, cases, args.plot, step_path)
        print(f"\nPlots written to {args.plot} (tracking) and {step_path} (step responses)")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
