# Two entry points for a newcomer:
#   make demo   build everything from scratch, then draw the demo figure to a PNG
#   make test   build everything from scratch, then run the whole test suite
# Name another interpreter with PYTHON=/path/to/python3.X: it gets an
# environment of its own, .venv-3.X, with the pins of requirements/py3X.txt;
# the default interpreter (CPython 3.7) keeps .venv.
#
# Beside them:
#   make matrix       the suite on every CPython 3.7 to 3.13 found, one table row each
#   make wheel        a wheel of the package into dist/ (pip wheel .)
#   make wheel-check  that wheel installed into a fresh environment, imported and drawn with outside the checkout
#   make stubtest     the type stubs of the native module checked against the built module
#   make bench-calls  benchmarks/calls.py on every interpreter of the matrix

PYTHON ?= $(shell scripts/find-python37)
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
WHEEL_DIR := dist

.PHONY: all venv build demo test matrix wheel wheel-check stubtest bench-calls clean distclean

# Every goal but these needs an interpreter with pins of its own.
ifneq ($(filter-out clean distclean matrix bench-calls,$(or $(MAKECMDGOALS),all)),)
ifeq ($(PYVER),)
$(error no usable interpreter: run make with PYTHON=/path/to/python3.X (3.7 by default, found by scripts/find-python37))
endif
ifeq ($(wildcard $(REQUIREMENTS)),)
$(error no pins for Python $(PYVER): $(REQUIREMENTS) is missing; supported are 3.7 to 3.13)
endif
endif

all: build

$(STAMP): $(REQUIREMENTS) $(BUILD_REQUIREMENTS)
	rm -rf $(VENV)
	$(PYTHON) -m venv $(VENV)
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

# STRICT=1 fails when one of the seven interpreters is missing (CI sets it).
# MATRIX_ARGS: --no-wheel skips the wheel check of each row; --only 3.7,3.13
# limits the rows. The script needs only the standard library of any python3.
MATRIX_PYTHON ?= $(or $(PYTHON),python3)
matrix:
	$(MATRIX_PYTHON) scripts/matrix.py $(if $(STRICT),--strict) $(MATRIX_ARGS)

bench-calls:
	$(MATRIX_PYTHON) scripts/matrix.py --bench-calls $(MATRIX_ARGS)

# pip builds in the source tree; its egg-info would otherwise show up as an
# installed distribution in every environment that has the tree on its path.
wheel: $(STAMP)
	$(PIP) wheel --no-deps --wheel-dir $(WHEEL_DIR) .; status=$$?; rm -rf kestrune_series.egg-info; exit $$status

wheel-check: wheel
	$(VPY) scripts/wheel_check.py --python $(PYTHON) --wheel-dir $(WHEEL_DIR) --constraints $(REQUIREMENTS)

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

.PHONY: sanitize
sanitize: $(STAMP)
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

# Pictures: `make baselines` redraws the baseline images of tests/test_pictures.py
# (in the reference environment only: the pins of requirements/py37.txt);
# `make gallery` redraws docs/gallery/ from the Grunfeld panel.
.PHONY: baselines gallery

baselines: build
	MPLBACKEND=Agg $(VPY) tests/pictures.py

gallery: build
	MPLBACKEND=Agg $(VPY) examples/gallery.py --out docs/gallery
