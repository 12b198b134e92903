"""The type stubs: installed with the module, true to it, and strict enough to catch misuse."""

import ast
import importlib.util
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

import vesk.cython_pid as cp
from conftest import checksums

pytest.importorskip("mypy", reason="mypy is not installed (it comes with the `test` extra)")

# Under CPU emulation (qemu-user; the aarch64 builds set VESK_EMULATED) these
# take minutes and prove nothing new: the stubs and mypy's verdicts do not
# depend on the processor.
if os.environ.get("VESK_EMULATED"):
    pytest.skip("the typing checks do not depend on the processor; skipped under emulation",
                allow_module_level=True)

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = pathlib.Path(cp.__file__).parent


def mypy(*args, cwd):
    """Runs mypy (or one of its tools) in a fresh interpreter; the stubs come from the installed package."""
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, timeout=600
    )


def test_stubs_are_installed_beside_the_module():
    for name in ("cython_pid.pyi", "py.typed"):
        installed = PACKAGE / name
        assert installed.is_file(), f"{name} is not installed next to {cp.__file__}"
        assert installed.read_bytes() == (ROOT / "src" / "vesk" / name).read_bytes(), f"installed {name} is stale"


def stub_docstrings():
    """Docstrings of the installed stub file: the module's, each class's and each method's, by dotted name."""
    tree = ast.parse((PACKAGE / "cython_pid.pyi").read_text())
    found = {"": ast.get_docstring(tree)}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            found[node.name] = ast.get_docstring(node)
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    found[f"{node.name}.{item.name}"] = ast.get_docstring(item)
        elif isinstance(node, ast.FunctionDef):
            found[node.name] = ast.get_docstring(node)
    return found


# The compiled module has no docstrings; editors show these instead.
@pytest.mark.parametrize("name", [
    "", *(f"{cls}{member}" for cls in ("PIDController", "PIDControllerXd", "AdaptiveController")
          for member in ("", ".__init__", ".compute_control", ".__reduce__", ".__setstate__",
                         ".__reduce_cython__", ".__setstate_cython__")),
    "__pyx_unpickle_PIDController", "__pyx_unpickle_PIDControllerXd", "__pyx_unpickle_AdaptiveController",
])
def test_stub_documents(name):
    assert stub_docstrings().get(name), f"{name or 'the module'} has no docstring in cython_pid.pyi"


def test_stubtest_finds_no_difference(tmp_path):
    proc = mypy("mypy.stubtest", "vesk.cython_pid", cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


# Each line marked `# E: code` must draw exactly that mypy error; no other line may draw one.
MISUSE = f"""\
    import numpy as np
    from numpy.typing import NDArray

    import vesk.cython_pid as cp
    from vesk.cython_pid import AdaptiveController, PIDController, PIDControllerXd

    a = np.ones(3)
    u: NDArray[np.float64] = PIDController(a, a, a).compute_control(a, a, 0.01)
    PIDController(None, None, None)
    PIDControllerXd(kp=a, ki=a, kd=a).compute_control(target_position=a, current_position=a, dt=1)
    AdaptiveController(a, a, a, 0.1, max_adjustment=1)
    zeros: NDArray[np.float64] = cp.np.zeros(3)
    restored: PIDController = cp.__pyx_unpickle_PIDController(PIDController, {checksums(cp.PIDController)[0]:#x}, None)
    PIDController(a, a, a).__setstate__((None, None, None, None, None))
    PIDController(a, a, a).compute_control(a, a, np.float32(0.001))
    AdaptiveController(a, a, a, learning_rate=np.float32(0.05), max_adjustment=np.int64(1))

    def loop(c: PIDController, steps: int) -> NDArray[np.float64]:
        # a loop at a float32 dt that returns the controller's integral, typed
        dt = np.float32(0.001)
        for _ in range(steps):
            c.compute_control(a, a, dt)
        return c.__reduce__()[2][0]

    def adapted(c: AdaptiveController) -> tuple[NDArray[np.float64], float]:
        state = c.__reduce__()[2]
        return state[4], state[5]

    def by_name(c: AdaptiveController) -> tuple[NDArray[np.float64], NDArray[np.float64], float]:
        from vesk import pid_tools

        state = pid_tools.state(c)
        return state.integral, state.kp, state.learning_rate

    PIDController(a, a, a).compute_control(a, a, None)  # E: arg-type
    learning: NDArray[np.float64] = AdaptiveController(a, a, a).__reduce__()[2][5]  # E: assignment
    PIDControllerXd(a, a, a).__reduce__()[2][5]  # E: misc
    PIDController(a, a)  # E: call-arg
    PIDController(a, a, a).compute_control(a, a)  # E: call-arg
    PIDController(a, a, a).compute_control([1.0], a, 0.1)  # E: arg-type
    PIDController(a, a, a).compute_control(a, a, "0.1")  # E: arg-type
    AdaptiveController(a, a, a, learning_rate="fast")  # E: arg-type
    AdaptiveController(None, a, a)  # E: arg-type
    n: int = PIDController(a, a, a).compute_control(a, a, 0.1)  # E: assignment
    cp.__pyx_unpickle_PIDController(PIDControllerXd, {checksums(cp.PIDController)[0]:#x}, None)  # E: arg-type
    PIDController(a, a, a).gain  # E: attr-defined
"""


@pytest.fixture(scope="module")
def strict(tmp_path_factory):
    """One `mypy --strict` run over the examples, the benchmarks and MISUSE (as use.py): its errors by file."""
    where = tmp_path_factory.mktemp("mypy")
    (where / "use.py").write_text(textwrap.dedent(MISUSE))
    proc = mypy(
        "mypy", "--strict", "--cache-dir", str(where / "cache"),
        str(ROOT / "examples"), str(ROOT / "benchmarks"), "use.py", cwd=where,
    )
    assert "error:" in proc.stdout or proc.returncode == 0, proc.stdout + proc.stderr  # mypy ran
    errors = {}
    for m in re.finditer(r"^(.+?):(\d+): error: .*\[([\w-]+)\]$", proc.stdout, re.MULTILINE):
        errors.setdefault(pathlib.Path(m.group(1)).name, set()).add((int(m.group(2)), m.group(3)))
    return errors, proc.stdout + proc.stderr


def test_examples_and_benchmarks_pass_strict(strict):
    if importlib.util.find_spec("matplotlib") is None:
        pytest.skip("matplotlib is not installed (the demo's plot uses it; it comes with the `test` extra)")
    errors, output = strict
    assert set(errors) <= {"use.py"}, output


def test_stubs_catch_misuse(strict):
    errors, output = strict
    expected = {
        (number, m.group(1))
        for number, line in enumerate(textwrap.dedent(MISUSE).splitlines(), 1)
        if (m := re.search(r"# E: ([\w-]+)", line))
    }
    assert errors.get("use.py", set()) == expected, output
