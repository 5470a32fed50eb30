# One-command set-up: every target creates the virtual environment, installs the pinned
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

.PHONY: demo test test-all lint format bench bench-fidelity clean

demo: $(BUILD_STAMP)
	$(BIN)/python -m velora.main_job

test: $(BUILD_STAMP)
	$(BIN)/pytest

test-all: $(BUILD_STAMP)
	$(BIN)/pytest -m "slow or not slow"

CPP_SOURCES = $(shell find velora -name '*.cpp' -o -name '*.hpp')
PY_TREES = $(wildcard velora tests benchmarks tools)

lint: $(DEPS_STAMP)
	$(BIN)/ruff check $(PY_TREES)
	$(BIN)/ruff format --check $(PY_TREES)
	$(BIN)/clang-format --dry-run --Werror $(CPP_SOURCES)

format: $(DEPS_STAMP)
	$(BIN)/ruff format $(PY_TREES)
	$(BIN)/clang-format -i $(CPP_SOURCES)

# The peer and fidelity benchmarks have targets of their own: the peer needs its own
# environment, and the fidelity run takes minutes.
SPEED_BENCHMARKS = $(filter-out benchmarks/bench_peers.py benchmarks/bench_fidelity.py,\
	$(wildcard benchmarks/bench_*.py))

bench: $(BUILD_STAMP)
	for script in $(SPEED_BENCHMARKS); do $(BIN)/python $$script || exit 1; done

# Synthesis quality on the real tables of benchmarks/data and the bundled flights sample.
BENCH_FIDELITY_ARGS ?=

bench-fidelity: $(BUILD_STAMP)
	$(BIN)/python benchmarks/bench_fidelity.py $(BENCH_FIDELITY_ARGS)

$(BIN)/python:
	$(PYTHON) -m venv $(VENV)

$(DEPS_STAMP): pyproject.toml tools/pinned_requirements.py | $(BIN)/python
	$(BIN)/python -m pip install --quiet --upgrade pip
	$(BIN)/python -m pip install --quiet $$($(BIN)/python tools/pinned_requirements.py test)
	touch $@

$(BUILD_STAMP): $(DEPS_STAMP) $(PACKAGE_SOURCES)
	$(BIN)/python -m pip install --quiet --no-build-isolation --no-deps $(WERROR) .
	touch $@

clean:
	rm -rf build $(VENV) $(PEERS_VENV)

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
$(PEERS_DEPS_STAMP): pyproject.toml tools/pinned_requirements.py $(PEERS_REQUIREMENTS) \
		| $(PEERS_BIN)/python
	$(PEERS_BIN)/python -m pip install --quiet --upgrade pip
	$(PEERS_BIN)/python -m pip install --quiet $$($(PEERS_BIN)/python tools/pinned_requirements.py)
	$(PEERS_BIN)/python -m pip install --quiet $$(grep -E '^torch==' $(PEERS_REQUIREMENTS))
	$(PEERS_BIN)/python -m pip install --quiet -r $(PEERS_REQUIREMENTS)
	touch $@

$(PEERS_BUILD_STAMP): $(PEERS_DEPS_STAMP) $(PACKAGE_SOURCES)
	$(PEERS_BIN)/python -m pip install --quiet --no-build-isolation --no-deps .
	touch $@
