# Entry points for building and checking tarvu. Every target is safe to re-run.
PYTHON ?= python3
BUILD ?= build
JOBS ?= 2

.PHONY: build build-tests example test test-python test-cpp deps bench check-all refleaks sanitize fuzz clean

build:
	@cmake -S . -B $(BUILD) -DPython_EXECUTABLE="$$(command -v $(PYTHON))" -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD) -j$(JOBS) --target tarvu -- --no-print-directory >/dev/null

build-tests:
	@cmake -S . -B $(BUILD) -DPython_EXECUTABLE="$$(command -v $(PYTHON))" -DCMAKE_BUILD_TYPE=Release -DTARVU_BUILD_TESTS=ON >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

# The main job: normalise the labels of a tile-annotation export.
example: build
	@PYTHONPATH=$(BUILD) $(PYTHON) examples/normalise_labels.py examples/data/tile_annotations.csv --out $(BUILD)/normalised.csv

test: deps build-tests test-cpp test-python

deps:
	@tools/install-deps.sh

test-cpp:
	@cd $(BUILD) && ctest --output-on-failure

test-python:
	@TARVU_FULL_SWEEPS=1 PYTHONPATH=$(BUILD) $(PYTHON) -m pytest -q tests/python

# Side-by-side timings against a minimal C floor and a pure-Python peer.
bench: build
	@PYTHONPATH=$(BUILD) $(PYTHON) bench/run.py --build-dir $(BUILD) $(BENCH_ARGS)

# Leaks under the debug interpreter, sanitizers, allocation failure, threads, fuzzing.
check-all:
	@tools/install-deps.sh --all
	@tools/reliability/check-all.sh

refleaks:
	@tools/reliability/refleaks.sh

sanitize:
	@tools/reliability/sanitize.sh

fuzz:
	@tools/reliability/fuzz.sh $(FUZZ_RUNS)

clean:
	rm -rf $(BUILD)
