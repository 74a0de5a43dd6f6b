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
