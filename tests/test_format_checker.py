"""Builds and runs the C++ unit tests of the float64 buffer-format checker."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
SOURCES = [
    ROOT / "tests" / "cpp" / "test_format.cpp",
    ROOT / "src" / "vesk" / "cython_pid" / "extension" / "format.cpp",
]
FLAGS = ["-std=c++20", "-Wall", "-Wextra", "-Werror", "-O1"]
SANITIZERS = ["-fsanitize=address,undefined", "-fno-sanitize-recover=all"]
# Under CPU emulation (qemu-user, which the aarch64 builds set VESK_EMULATED
# for) AddressSanitizer's shadow memory grows to tens of GB and the run is
# killed: the checker is built and run there without the sanitizers.
EMULATED = bool(os.environ.get("VESK_EMULATED"))


def _compiler():
    cxx = os.environ.get("CXX")
    if cxx and shutil.which(cxx):
        return cxx
    for name in ("c++", "g++", "clang++"):
        if shutil.which(name):
            return name
    return None


def _compile(cxx, extra, exe):
    cmd = [cxx, *FLAGS, *extra, *map(str, SOURCES), "-o", str(exe)]
    return subprocess.run(cmd, capture_output=True, text=True)


def test_format_checker(tmp_path):
    cxx = _compiler()
    if cxx is None:
        pytest.skip("no C++ compiler found")
    exe = tmp_path / "test_format"
    build = _compile(cxx, [] if EMULATED else SANITIZERS, exe)
    if build.returncode != 0 and not EMULATED:
        # Sanitizer runtimes are not installed everywhere; the code must still
        # build cleanly without them.
        build = _compile(cxx, [], exe)
    assert build.returncode == 0, f"compilation failed:\n{build.stdout}{build.stderr}"

    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=120)
    output = run.stdout + run.stderr
    assert run.returncode == 0, f"C++ format tests failed:\n{output}"
    last = run.stdout.strip().splitlines()[-1]
    assert last.endswith(" passed, 0 failed"), output
