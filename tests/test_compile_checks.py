"""What the extension's headers refuse to compile: a field read through another
class's layout, an operand table whose new arrays would take a number's dtype. Each snippet is compiled (syntax and types only) against the
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
#include "controllers/fused.hpp"
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
    # NumPy's headers at the API level the module is built with (older ones
    # warn about their deprecated API otherwise).
    cmd = [cxx, "-std=c++20", "-fsyntax-only", "-Wall", "-Wextra", "-Werror", f"-I{SRC}",
           "-DNPY_TARGET_VERSION=NPY_1_23_API_VERSION", "-DNPY_NO_DEPRECATED_API=NPY_API_VERSION",
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


# A law's fused step over PID fields: the new previous error is made like
# `like`, the control signal like `control`; the step is instantiated.
FUSED_TABLE = """
struct Table {{
    using Fields = PidFields;
    enum Operand {{ target, current, kp, previous, rate }};
    static constexpr fused::OperandSpec operands[] = {{
        {{.source = fused::target_position, .role = fused::Role::read}},
        {{.source = fused::current_position, .role = fused::Role::read}},
        {{.source = PidFields::kp, .role = fused::Role::read}},
        {{.source = PidFields::previous_error, .role = fused::Role::replaced, .result_like = {like}}},
        {{.source = PidFields::ki, .role = fused::Role::number}},
    }};
    static constexpr fused::NumpyCall numpy_calls[] = {{{{fused::NumpyFunction::zeros_like, fused::Called::always}}}};
    static constexpr int control_like = {control};
    using ndims = std::integer_sequence<int, 1>;
    using R = fused::Resolved<Table>;
    static bool accepts(const R&) {{ return true; }}
    static std::size_t scratch_size(const R&) {{ return 0; }}
    static bool kernel(const R&) {{ return true; }}
    static void undo(const R&) {{}}
    static void commit(const R&) {{}}
}};
template Ref fused::step<Table, 1>(PidObject*, PyObject*, PyObject*, double);
"""


@pytest.mark.parametrize("like, control, compiles", [
    ("target", "kp", True),
    ("rate", "kp", False),  # a new array like a float field
    ("target", "rate", False),  # the control signal like a float field
])
def test_operand_table_new_arrays_take_an_array_operands_dtype(tmp_path, like, control, compiles):
    result = _compile(tmp_path, FUSED_TABLE.format(like=like, control=control))
    if compiles:
        assert result.returncode == 0, result.stderr
    else:
        assert "takes the dtype object of an array operand" in result.stderr, result.stderr
