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

install: venv
	$(PIP_INSTALL) --no-build-isolation -Cbuild-dir=$(BUILD_DIR) ".[test,demo]"

demo: install
	$(VPY) examples/demo.py --plot demo.png

test: install
	$(VPY) -m pytest -q

clean:
	rm -rf $(VENV) build .pytest_cache demo.png
