# Two entry points for a newcomer:
#   make demo   build everything from scratch, then draw the demo figure to a PNG
#   make test   build everything from scratch, then run the whole test suite
# Name another interpreter with PYTHON=/path/to/python3.7.

PYTHON ?= $(shell scripts/find-python37)
VENV   := .venv
VPY    := $(VENV)/bin/python
STAMP  := $(VENV)/.installed
SOURCES := $(wildcard src/series/*.cpp src/series/*.hpp src/series/*.def) setup.py
EXT_STAMP := build/.ext-built
DEMO_PNG ?= build/demo.png

.PHONY: all venv build demo test clean distclean

all: build

$(STAMP): requirements/py37.txt requirements/build-py37.txt
	@test -n "$(PYTHON)" || { echo "no CPython 3.7 found: run make with PYTHON=/path/to/python3.7" >&2; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --disable-pip-version-check -r requirements/build-py37.txt
	$(VPY) -m pip install --quiet --disable-pip-version-check -r requirements/py37.txt
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

clean:
	rm -rf build kestrune/testing/plotting/series*.so

distclean: clean
	rm -rf $(VENV)

# Pictures: `make baselines` redraws the baseline images of tests/test_pictures.py
# (in the reference environment only: the pins of requirements/py37.txt);
# `make gallery` redraws docs/gallery/ from the Grunfeld panel.
.PHONY: baselines gallery

baselines: build
	MPLBACKEND=Agg $(VPY) tests/pictures.py

gallery: build
	MPLBACKEND=Agg $(VPY) examples/gallery.py --out docs/gallery
