# The two set-up commands: `make demo` and `make test`. Both create .venv with
# Python 3.13 and install what they need into it.

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

.PHONY: demo test bench sanitize clean check-python venv install

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
venv: $(VPY)
	$(PIP_INSTALL) "meson-python>=0.15" "meson>=1.2" ninja "numpy>=2.0"

# Warnings are errors in the builds that test the code (here and in sanitize),
# so a new one fails CI; a plain `pip install` still builds with a newer compiler.
install: venv
	$(PIP_INSTALL) --no-build-isolation -Cbuild-dir=$(BUILD_DIR) -Csetup-args=-Dwerror=true ".[test,demo]"

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
	$(SAN_PIP) "meson-python>=0.15" "meson>=1.2" ninja "numpy>=2.0"
	$(SAN_PIP) --no-build-isolation -Cbuild-dir=build/sanitize \
	  -Csetup-args=-Dwerror=true -Csetup-args=-Dbuildtype=debugoptimized -Csetup-args=-Db_sanitize=address,undefined \
	  -Csetup-args=-Db_lundef=false -Csetup-args=-Dcpp_args="-fno-sanitize-recover=all -fno-omit-frame-pointer" \
	  ".[test,demo]"
	rm -rf $(SAN_LOG) && mkdir -p $(SAN_LOG)
	$(SAN_ENV) $(SAN_VPY) -m pytest -q -p no:cacheprovider; status=$$?; \
	if [ -n "$$(ls -A $(SAN_LOG))" ]; then cat $(SAN_LOG)/*; echo "error: sanitizer reports above" >&2; exit 1; fi; \
	exit $$status

clean:
	rm -rf $(VENV) build .pytest_cache demo.png
