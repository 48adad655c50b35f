# make run   start the application on a fresh sample project (headless: writes screenshots)
# make test  run every test: pytest (offscreen Qt) and the GoogleTest suites (also under
#            ASan/UBSan), after lint
# make lint  check the Python of host/, tests/ and bench/ with ruff (lint and format), and
#            that each package of host/gemlo imports only those below it (import-linter)
# make stubs regenerate the type stubs (host/gemlo/**/*.pyi) from the built modules
# Each installs what is missing first: Debian packages (as root), then .venv.

SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
SCREENSHOTS := screenshots

# Runtime libraries of the Qt wheels (offscreen and xcb), a virtual screen for
# real rendering, and the compilers and GoogleTest for the C++ parts.
SYSTEM_PACKAGES := g++ make libgtest-dev xvfb xauth \
  libgl1 libegl1 libgl1-mesa-dri libglib2.0-0 libdbus-1-3 libfontconfig1 fonts-dejavu-core \
  libxkbcommon0 libxkbcommon-x11-0 libx11-xcb1 libxcb-cursor0 libxcb-icccm4 libxcb-keysyms1 \
  libxcb-image0 libxcb-render-util0 libxcb-shape0 libxcb-xinerama0 libxcb-randr0 libxcb-xkb1

SOURCES := CMakeLists.txt pyproject.toml $(shell find src host -type f \
  -not -name '*.so' -not -name '*.pyc' -not -path '*/__pycache__/*' 2>/dev/null)

.PHONY: run test lint stubs system
.DELETE_ON_ERROR:

run: $(VENV)/.built
	@if [ -n "$$DISPLAY" ]; then \
	  $(PY) -m gemlo.app; \
	elif command -v xvfb-run >/dev/null; then \
	  xvfb-run -a -s "-screen 0 1600x1000x24" $(PY) -m gemlo.app --screenshot $(SCREENSHOTS); \
	else \
	  QT_QPA_PLATFORM=offscreen $(PY) -m gemlo.app --screenshot $(SCREENSHOTS); \
	fi

test: lint $(VENV)/.built
	QT_QPA_PLATFORM=offscreen $(PY) -m pytest -q -m "not render"
	@# Qt's offscreen platform has no OpenGL widgets: drawing is checked on a virtual
	@# X display, which pytest-xvfb starts.
	@if [ -n "$$DISPLAY" ] || command -v Xvfb >/dev/null; then \
	  QT_QPA_PLATFORM=xcb $(PY) -m pytest -q -m render; \
	else \
	  echo "skipping the rendering tests: no X display and no Xvfb"; \
	fi
	$(VENV)/bin/cmake -S . -B build/core -G Ninja -DGEMLO_MODULES=OFF -DGEMLO_CORE_TESTS=ON >/dev/null
	$(VENV)/bin/cmake --build build/core
	$(VENV)/bin/ctest --test-dir build/core --output-on-failure
	$(VENV)/bin/cmake -S . -B build/core-asan -G Ninja -DGEMLO_MODULES=OFF -DGEMLO_CORE_TESTS=ON \
	  -DGEMLO_SANITIZE=ON >/dev/null
	$(VENV)/bin/cmake --build build/core-asan
	$(VENV)/bin/ctest --test-dir build/core-asan --output-on-failure

lint: $(VENV)/.deps
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	@# The layers of host/gemlo (the contracts in pyproject.toml), read from the source tree.
	PYTHONPATH=host $(VENV)/bin/lint-imports --no-cache

stubs: $(VENV)/.built
	$(PY) tools/stubs.py

# Debian packages: only those missing are installed, and only as root.
system:
	@missing=$$(for p in $(SYSTEM_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	$(PYTHON) -c 'import os, sys, sysconfig, ensurepip; \
	  sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
	  2>/dev/null || missing="$$missing python3-dev python3-venv"; \
	if [ -z "$$missing" ]; then exit 0; fi; \
	if [ "$$(id -u)" = 0 ]; then \
	  echo "installing system packages:" $$missing; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
	    apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	else \
	  echo "warning: missing system packages (install them as root):" $$missing; \
	fi

# The environment: build tools, runtime and test dependencies.
$(VENV)/.deps: pyproject.toml | system
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q scikit-build-core pybind11 cmake ninja
	$(PY) -m pip install -q $$($(PY) -c 'import tomllib; p = tomllib.load(open("pyproject.toml", "rb"))["project"]; \
	  print(" ".join(repr(d) for d in p["dependencies"] + p["optional-dependencies"]["test"]))' | tr -d "'")
	touch $@

# The package itself, rebuilt (incrementally, in build/) when a source changes.
$(VENV)/.built: $(VENV)/.deps $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation --no-deps .
	touch $@
