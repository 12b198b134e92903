"""The side-by-side benchmark loads two builds as separate modules, each with
state of its own, and times both."""

import importlib.util
import shutil
import sys
from pathlib import Path

import numpy as np
import pytest

import vesk.cython_pid as cp


def gains():
    return [np.ones(2) for _ in range(3)]

TOOL = Path(__file__).resolve().parents[1] / "benchmarks" / "compare_builds.py"


@pytest.fixture(scope="module")
def tool():
    spec = importlib.util.spec_from_file_location("compare_builds", TOOL)
    module = importlib.util.module_from_spec(spec)
    sys.modules["compare_builds"] = module
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def builds(tmp_path_factory):
    """Two copies of the installed build, at paths of their own."""
    copies = []
    for name in ("base", "new"):
        folder = tmp_path_factory.mktemp(name)
        copies.append(str(shutil.copy(cp.__file__, folder / Path(cp.__file__).name)))
    return copies


def test_two_copies_are_two_modules_and_leave_the_installed_one(tool, builds):
    a, b = (tool.load(path) for path in builds)
    assert a.PIDController is not b.PIDController is not cp.PIDController
    assert sys.modules["vesk.cython_pid"] is cp
    assert type(a.PIDController(*gains()).compute_control(*gains()[:2], 0.1)) is np.ndarray


@pytest.mark.parametrize("swap", [False, True])
def test_reports_every_class_and_size(tool, builds, capsys, swap):
    tool.main([*builds, "--sizes", "1", "4", "--repeat", "3", "--budget", "2000"] + ["--swap"] * swap)
    rows = [line.split() for line in capsys.readouterr().out.splitlines()[1:]]
    assert [(r[0], r[1]) for r in rows] == [(c, n) for c in tool.CLASSES for n in ("1", "4")]
    assert all(float(r[-1]) > 0 for r in rows)
