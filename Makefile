# Every target sets up what it needs on a fresh machine: the virtual environment
# (python3.12), the pinned tools, the build of the package and its installation.

PYTHON ?= $(shell for p in python3.12 $$HOME/.pyenv/versions/3.12*/bin/python3.12 \
             /usr/local/bin/python3.12 /usr/bin/python3.12; do \
             "$$p" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null \
             && { command -v "$$p"; break; }; done)
VENV := .venv
PY := $(VENV)/bin/python
PYTEST_ARGS ?=

.PHONY: venv build test demo bench dev devtest clean

$(VENV)/.installed: requirements-dev.txt
	@test -n "$(PYTHON)" || { echo "python3.12 not found; set PYTHON=/path/to/python3.12"; exit 1; }
	"$(PYTHON)" -m venv $(VENV)
	$(PY) -m pip install --quiet -r requirements-dev.txt
	touch $@

venv: $(VENV)/.installed

# Builds the wheel in a persistent build directory (incremental) and installs it.
build: venv
	$(PY) -m pip install --quiet --no-build-isolation --no-deps --force-reinstall .

test: build
	$(PY) -X dev -m pytest $(PYTEST_ARGS)

# Compiles the example programs for the example machine and prints their vyr programs.
demo: build
	cd examples && ../$(PY) demo.py

# Compilation against parse time on generated programs of 100 to 10,000 lines.
bench: build
	$(PY) bench/compile_speed.py

# Developer loop: modules built in place under src/, tests run against the tree.
dev: venv
	$(VENV)/bin/cmake -S . -B build/dev -G Ninja -DCORVANE_INPLACE=ON \
	    -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build build/dev

devtest: dev
	PYTHONPATH=src $(PY) -X dev -m pytest $(PYTEST_ARGS)

clean:
	rm -rf build $(VENV)
	find src -name '*.so' -delete
