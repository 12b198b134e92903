"""What the extension's headers refuse to compile: a field read through another
class's layout. Each snippet is compiled (syntax and types only) against the
real headers; the well-formed one shows the set-up compiles at all."""

import os
import re
import shutil
import subprocess
import sysconfig
from pathlib import Path

import numpy as np
import pytest

SRC = Path(__file__).resolve().parents[1] / "src" / "vesk" / "cython_pid"

PROLOGUE = """
#include "controllers/controllers.hpp"
using namespace vesk;
"""

WELL_FORMED = """
Ref read(PidObject* pid, AdaptiveObject* adaptive) {
    set_field(pid, PidFields::previous_error, field(pid, PidFields::kp));
    return field(adaptive, AdaptiveFields::learning_rate);
}
"""

REFUSED = {
    "adaptive field of a PID object": "Ref read(PidObject* self) { return field(self, AdaptiveFields::learning_rate); }",
    "PID field of an adaptive object": "Ref read(AdaptiveObject* self) { return field(self, PidFields::kp); }",
    "position as a number": "Ref read(PidObject* self) { return field(self, 7); }",
    "field of an untyped object": "Ref read(PyObject* self) { return field(self, PidFields::kp); }",
    "store into an adaptive field of a PID object":
        "void write(PidObject* self) { set_field(self, AdaptiveFields::error_history, Ref()); }",
}


def _compiler():
    for name in (os.environ.get("CXX"), "c++", "g++", "clang++"):
        if name and shutil.which(name):
            return name
    return None


def _compile(tmp_path, body):
    cxx = _compiler()
    if cxx is None:
        pytest.skip("no C++ compiler found")
    source = tmp_path / "snippet.cpp"
    source.write_text(PROLOGUE + body)
    cmd = [cxx, "-std=c++20", "-fsyntax-only", "-Wall", "-Wextra", "-Werror", f"-I{SRC}",
           f"-I{sysconfig.get_paths()['include']}", f"-isystem{np.get_include()}", str(source)]
    return subprocess.run(cmd, capture_output=True, text=True, env=dict(os.environ, LC_ALL="C"), timeout=300)


def test_well_formed_field_access_compiles(tmp_path):
    result = _compile(tmp_path, WELL_FORMED)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("body", REFUSED.values(), ids=REFUSED)
def test_field_access_through_another_layout_does_not_compile(tmp_path, body):
    result = _compile(tmp_path, body)
    assert result.returncode != 0
    # a type error at the call, not some other failure of the snippet
    assert re.search(r"cannot convert|invalid conversion|no matching function", result.stderr), result.stderr
