# Every target that runs something bootstraps .venv first, so a fresh clone needs only `make <target>`.
SHELL := /bin/bash
VENV  := .venv
PY    := $(VENV)/bin/python
DEPS  := $(VENV)/.deps-installed
BUILD_TYPE ?= Release
DEV_BUILD  ?= build/dev

.PHONY: all demo test install wheel dev bench proto sanitize clean

all: test

$(DEPS): pyproject.toml
	@interp="$$(PYTHON='$(PYTHON)' tools/find-python.sh)" || exit 1; \
	if [ ! -x $(PY) ]; then echo "creating $(VENV) with $$interp"; "$$interp" -m venv $(VENV) || exit 1; fi
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" cmake ninja
	$(PY) -m pip install -q --no-build-isolation ".[test]"
	touch $@

# Builds the C++ core and installs the package (not editable) into .venv.
install: $(DEPS)
	$(PY) -m pip install -q --no-build-isolation --no-deps --force-reinstall .

demo: install
	$(VENV)/bin/halvex demo
	@echo "halvex is $(abspath $(VENV))/bin/halvex ('. $(VENV)/bin/activate' puts it on the PATH)"

# A wheel (with the compiled core) and an sdist in dist/, for other hosts and Dask workers
# (docs/deploy.md). Built in the core's build folder of `make install`: nothing is compiled twice.
wheel: $(DEPS)
	$(PY) -m build --no-isolation --sdist --wheel --outdir dist .

test: install
	$(PY) -m pytest -q

# Cython builds the benchmark's own plain-Python class for comparison; it is installed here only,
# never as a dependency of the package.
bench: install
	$(PY) -m pip install -q "Cython>=3,<4" setuptools
	@for b in bench/[!_]*.py; do echo "== $$b"; $(PY) $$b || exit 1; done

# Fast in-tree build for development: PYTHONPATH=src/python then imports the fresh module.
# Uses the cmake of .venv when there is one, else the cmake on PATH; bootstraps .venv only if missing.
dev:
	@[ -x $(PY) ] || $(MAKE) $(DEPS)
	@if $(PY) -c 'import cmake' 2>/dev/null; then cm="$(PY) -m cmake"; else cm=cmake; fi; \
	PATH="$(abspath $(VENV))/bin:$$PATH"; \
	$$cm -S . -B $(DEV_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	    -DPython_EXECUTABLE=$(abspath $(PY)) -DHALVEX_COPY_INPLACE=ON >/dev/null && \
	$$cm --build $(DEV_BUILD)

# The whole test suite against an ASan+UBSan build of the core (build/sanitize; src/python untouched).
# Not part of `make test`. Pass pytest arguments with SANITIZE_ARGS="...".
sanitize: $(DEPS)
	PY=$(PY) tools/sanitize.sh $(SANITIZE_ARGS)

# Regenerates the committed gRPC code from proto/.
proto: $(DEPS)
	$(PY) tools/gen_proto.py

clean:
	rm -rf build dist $(VENV) src/python/norvo_halvex/mediator/*.so
