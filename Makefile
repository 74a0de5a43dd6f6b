# Two entry points for a newcomer:
#   make demo   build everything from scratch, then draw the demo figure to a PNG
#   make test   build everything from scratch, then run the whole test suite
# Name another interpreter with PYTHON=/path/to/python3.X: it gets an
# environment of its own, .venv-3.X, with the pins of requirements/py3X.txt;
# the default interpreter (CPython 3.7) keeps .venv.
#
# Beside them:
#   make pythons      CPython 3.14 and 3.15 from Debian's packages, in a root inside build/
#                     (scripts/pythons); its last two lines are the two interpreters' paths
#   make matrix       the suite on every CPython 3.7 to 3.15 found, one table row each
#   make wheel        a wheel built with the machine's compiler into build/wheel/ (pip wheel .)
#   make wheel-check  the manylinux wheel of dist/ installed into a fresh environment, drawn with
#                     (WHEEL_CHECK_ARGS=--suite: the whole suite) outside the checkout
#   make stubtest     the type stubs of the native module checked against the built module
#   make bench-calls  benchmarks/calls.py on every interpreter of the matrix
#   make bench-wheel  benchmarks/calls.py in the wheel of dist/ beside the in-place build
#   make dist         the release: a source distribution and one manylinux_2_17_x86_64
#                     wheel per CPython 3.7 to 3.15 in dist/, cross-built with zig

# Without PYTHON, scripts/find-python picks CPython 3.7 (the reference) or else
# the newest CPython 3.8 to 3.13, and says why; the choice is printed below.
ifeq ($(origin PYTHON),undefined)
FOUND := $(shell scripts/find-python)
PYTHON := $(firstword $(FOUND))
PYTHON_REASON := $(wordlist 2,$(words $(FOUND)),$(FOUND))
endif
# X.Y of the interpreter: it names the environment, the pins and the build stamp.
PYVER := $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
PYTAG := $(subst .,,$(PYVER))
VENV  := $(if $(filter 3.7,$(PYVER)),.venv,.venv-$(PYVER))
VPY   := $(VENV)/bin/python
PIP   := $(VPY) -m pip --quiet --disable-pip-version-check
REQUIREMENTS := requirements/py$(PYTAG).txt
BUILD_REQUIREMENTS := requirements/build-py$(PYTAG).txt
TYPING_REQUIREMENTS := requirements/typing-py$(PYTAG).txt
STAMP := $(VENV)/.installed
TYPING_STAMP := $(VENV)/.typing-installed
SOURCES := $(wildcard src/series/*.cpp src/series/*.hpp src/series/*.def) setup.py
# The in-place extension carries the interpreter's ABI tag in its file name, so
# the builds of several versions sit side by side; so do their stamps, which
# hold a digest of what the extension was built from.
EXT_STAMP := build/.ext-built-$(PYVER)
DEMO_PNG ?= build/demo.png
WHEEL_DIR := build/wheel

.PHONY: all venv build demo test matrix wheel wheel-check stubtest bench-calls bench-wheel dist clean distclean pythons

# Every goal but these needs an interpreter with pins of its own.
ifneq ($(filter-out clean distclean matrix bench-calls dist pythons,$(or $(MAKECMDGOALS),all)),)
ifeq ($(PYVER),)
$(error no usable interpreter: run make with PYTHON=/path/to/python3.X (by default scripts/find-python looks for 3.7, then the newest 3.8 to 3.13))
endif
ifeq ($(wildcard $(REQUIREMENTS)),)
$(error no pins for Python $(PYVER): $(REQUIREMENTS) is missing; supported are 3.7 to 3.15)
endif
ifneq ($(PYTHON_REASON),)
$(info interpreter: $(PYTHON) ($(PYTHON_REASON)); environment: $(VENV))
endif
endif

all: build

$(STAMP): $(REQUIREMENTS) $(BUILD_REQUIREMENTS)
	rm -rf $(VENV)
	$(PYTHON) -m venv $(VENV)
	scripts/pythons venv $(PYTHON) $(VENV)
	$(PIP) install -r $(BUILD_REQUIREMENTS)
	$(PIP) install -r $(REQUIREMENTS)
	# Make the source tree importable from the venv (sub-interpreters included).
	$(VPY) -c 'import site, os; open(os.path.join(site.getsitepackages()[0], "kestrune-dev.pth"), "w").write(os.getcwd() + "\n")'
	touch $@

venv: $(STAMP)

# Rebuilt when the sources' content differs from the last build's (see the
# script): time stamps would miss a change saved within the same second.
build: $(STAMP)
	@$(VPY) scripts/build_inplace.py $(EXT_STAMP) $(SOURCES)

demo: build
	MPLBACKEND=Agg $(VPY) examples/demo.py --out $(DEMO_PNG)

test: build
	MPLBACKEND=Agg $(VPY) -m pytest -q $(PYTEST_ARGS)

# CPython 3.14 and 3.15 from Debian's unstable suite, in build/pythons/root; see
# scripts/pythons for how their wrappers enter it.
pythons:
	@scripts/pythons make

# STRICT=1 fails when one of the nine interpreters is missing (CI sets it).
# MATRIX_ARGS: --no-wheel skips the wheel check of each row; --only 3.7,3.13
# limits the rows. The script needs only the standard library of any python3.
MATRIX_PYTHON ?= $(or $(PYTHON),python3)
matrix:
	$(MATRIX_PYTHON) scripts/matrix.py $(if $(STRICT),--strict) $(MATRIX_ARGS)

bench-calls:
	$(MATRIX_PYTHON) scripts/matrix.py --bench-calls $(MATRIX_ARGS)

# Needs every CPython 3.7 to 3.15; the tools come from requirements/dist.txt.
dist:
	$(MATRIX_PYTHON) scripts/dist.py

# A wheel of the in-place kind (the machine's compiler and glibc, tagged
# linux_x86_64) for a quick look; releases come from make dist. pip builds in
# the source tree; its egg-info would otherwise show up as an installed
# distribution in every environment that has the tree on its path.
wheel: $(STAMP)
	$(PIP) wheel --no-deps --wheel-dir $(WHEEL_DIR) .; status=$$?; rm -rf kestrune_series.egg-info; exit $$status

# The manylinux wheel of dist/ (make dist) for this interpreter, installed into
# a fresh environment with the declared dependency ranges and drawn with from
# outside the checkout. WHEEL_CHECK_ARGS: --suite runs the whole test suite
# against it, --lowest holds the libraries to their declared lower bounds,
# --sdist installs the source distribution instead.
wheel-check:
	$(PYTHON) scripts/wheel_check.py --python $(PYTHON) $(WHEEL_CHECK_ARGS)

# benchmarks/calls.py in the wheel of dist/ beside the in-place build, median of
# 5 interleaved runs; fails when the wheel is more than 5 % slower.
bench-wheel: build
	$(PYTHON) scripts/bench_wheel.py --python $(PYTHON)

$(TYPING_STAMP): $(STAMP) $(TYPING_REQUIREMENTS)
	$(PIP) install -r $(TYPING_REQUIREMENTS)
	touch $@

stubtest: build $(TYPING_STAMP)
	$(VPY) -m mypy.stubtest kestrune.testing.plotting.series \
	    --mypy-config-file pyproject.toml --allowlist stubtest-allowlist.txt

clean:
	rm -rf build dist kestrune/testing/plotting/series*.so *.egg-info

distclean: clean
	rm -rf .venv .venv-3.*

# --- make sanitize -----------------------------------------------------------
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer into
# build/asan/lib, beside its own copy of the pure-Python package (the in-place
# build is left alone), then runs the whole suite against that copy with the
# sanitizer runtimes preloaded. Reports go to build/asan/reports, from pytest
# and from every interpreter the tests start; any report fails the run.
ASAN_DIR       := build/asan
ASAN_LIB       := $(CURDIR)/$(ASAN_DIR)/lib
ASAN_REPORTS   := $(CURDIR)/$(ASAN_DIR)/reports
SANITIZE_CC    ?= gcc
SANITIZE_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g
SANITIZE_ENV    = LD_PRELOAD="$$($(SANITIZE_CC) -print-file-name=libasan.so) $$($(SANITIZE_CC) -print-file-name=libubsan.so)" \
                  PYTHONMALLOC=malloc PYTHONPATH=$(ASAN_LIB) MPLBACKEND=Agg \
                  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:log_path=$(ASAN_REPORTS)/asan \
                  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:abort_on_error=1:log_path=$(ASAN_REPORTS)/ubsan

# pytest runs outside the checkout (so that no test imports the in-place
# build); paths to tests in PYTEST_ARGS are made absolute for it.
SANITIZE_PYTEST_ARGS = $(patsubst tests%,$(CURDIR)/tests%,$(subst =tests,=$(CURDIR)/tests,$(PYTEST_ARGS)))

# An interpreter of make pythons runs the whole target inside its Debian root,
# with that root's GCC and sanitizer runtimes (the machine's would not match
# its C library).
IN_ROOT = $(shell scripts/pythons in-root $(PYTHON))

.PHONY: sanitize
sanitize: $(STAMP)
ifneq ($(IN_ROOT),)
	$(IN_ROOT) $(MAKE) --no-print-directory sanitize PYTHON=/usr/bin/python$(PYVER)
else
	@start=$$(date +%s); \
	CC=$(SANITIZE_CC) CFLAGS="$(SANITIZE_FLAGS)" LDFLAGS="-fsanitize=address,undefined" \
	    $(VPY) setup.py --quiet build_py --build-lib $(ASAN_LIB) build_ext --build-lib $(ASAN_LIB) --build-temp $(ASAN_DIR)/tmp || exit 1; \
	rm -rf $(ASAN_REPORTS) && mkdir -p $(ASAN_REPORTS) $(ASAN_DIR)/run; \
	built=$$(date +%s); \
	cd $(ASAN_DIR)/run || exit 1; \
	PYTHONPATH=$(ASAN_LIB) $(CURDIR)/$(VPY) -c 'import importlib.util, sys; f = importlib.util.find_spec("kestrune.testing.plotting.series").origin; sys.exit(None if f.startswith("$(ASAN_LIB)/") else "not the sanitized build: " + f)' && \
	$(SANITIZE_ENV) $(CURDIR)/$(VENV)/bin/pytest -q -p no:cacheprovider --rootdir=$(CURDIR) $(or $(SANITIZE_PYTEST_ARGS),$(CURDIR)/tests); \
	status=$$?; end=$$(date +%s); \
	echo "sanitized suite: $$((end - built)) s (build $$((built - start)) s)"; \
	if [ -n "$$(ls -A $(ASAN_REPORTS))" ]; then cat $(ASAN_REPORTS)/* >&2; echo "sanitizer reports in $(ASAN_DIR)/reports" >&2; exit 1; fi; \
	exit $$status
endif

# Pictures: `make baselines` redraws the baseline images of tests/test_pictures.py
# (in the reference environment only: the pins of requirements/py37.txt);
# `make gallery` redraws docs/gallery/ from the Grunfeld panel.
.PHONY: baselines gallery

baselines: build
	MPLBACKEND=Agg $(VPY) tests/pictures.py

gallery: build
	MPLBACKEND=Agg $(VPY) examples/gallery.py --out docs/gallery
