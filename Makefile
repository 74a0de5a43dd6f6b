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
# the builds of several versions sit side by side; so do their stamps.
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

$(EXT_STAMP): $(STAMP) $(SOURCES)
	$(VPY) setup.py --quiet build_ext --inplace
	@mkdir -p build && touch $@

build: $(EXT_STAMP)

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
