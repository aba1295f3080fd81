# Entry points for building and checking tarvu. Every target is safe to re-run.
#
# PYTHON is the interpreter to build for (a name on PATH, pyenv shims
# included, or a path). Everything runs in the project's virtual environment
# VENV, made from PYTHON by tools/install-deps.sh with the tools pyproject.toml
# declares; switching PYTHON remakes it and reconfigures BUILD.
PYTHON ?= python3
VENV ?= .venv
BUILD ?= build
JOBS ?= 2
# The environment's interpreter, and its bin/ first on PATH for cmake and pytest.
PY = $(abspath $(VENV))/bin/python
IN_VENV = PATH="$(abspath $(VENV))/bin:$$PATH"
DEPS = PYTHON="$(PYTHON)" VENV="$(abspath $(VENV))" tools/install-deps.sh

.PHONY: build build-tests example test test-python test-cpp test-refleaks test-wheel lint deps deps-build bench check-all \
	test-in-root check-free-threaded test-wheel-free-threaded refleaks sanitize fuzz fresh-machine wheels cross-check \
	wheels-windows check-windows check-musl lint-workflows dist release-check clean

# Steps run in the order written, also under `make -j`; the compiler gets JOBS.
.NOTPARALLEL:

# A build directory configured for another interpreter is configured afresh:
# CMake's cached Python paths would otherwise belong to the old one.
define configure
@if ! cmp -s $(VENV)/.tarvu-python $(BUILD)/.tarvu-python; then rm -rf $(BUILD)/CMakeCache.txt $(BUILD)/CMakeFiles; fi
@$(IN_VENV) cmake -S . -B $(BUILD) -DPython_EXECUTABLE="$(PY)" -DCMAKE_BUILD_TYPE=Release $(1) >/dev/null
@cp $(VENV)/.tarvu-python $(BUILD)/.tarvu-python
endef

build: deps-build
	$(call configure)
	@$(IN_VENV) cmake --build $(BUILD) -j$(JOBS) --target tarvu -- --no-print-directory >/dev/null

build-tests: deps
	$(call configure,-DTARVU_BUILD_TESTS=ON)
	@$(IN_VENV) cmake --build $(BUILD) -j$(JOBS) -- --no-print-directory

# The main job: normalise the labels of a tile-annotation export.
example: build
	@PYTHONPATH=$(BUILD) $(PY) examples/normalise_labels.py examples/data/tile_annotations.csv --out $(BUILD)/normalised.csv

test: deps build-tests test-cpp test-python test-refleaks lint

deps-build:
	@$(DEPS) --build

deps:
	@$(DEPS)

test-cpp: build-tests
	@cd $(BUILD) && $(IN_VENV) ctest --output-on-failure

test-python: deps build
	@TARVU_FULL_SWEEPS=1 PYTHONPATH=$(BUILD) $(IN_VENV) $(PY) -m pytest -q tests/python

# Leaks of every entry point under the debug interpreter (about a minute).
test-refleaks: deps
	@tools/reliability/refleaks.sh --leaks-only

# The Python suite against a manylinux2014 wheel built for this interpreter
# and installed with pip into a fresh venv.
test-wheel: deps
	@$(DEPS) --wheels
	@PYTHON="$(PY)" $(IN_VENV) tools/interpreters/every-python.sh --wheel "$(PY)"

# The C++ tests, the Python suite and the leak check on the versions only
# Debian's development suite ships (3.14 on), in a root of it made on first use.
test-in-root:
	@tools/interpreters/test-in-root.sh

# The suite with the interpreter lock off, against the cp313t wheel installed
# into a venv of the free-threaded interpreter (built on first use).
test-wheel-free-threaded: deps
	@$(DEPS) --wheels
	@PYTHON="$(PY)" $(IN_VENV) tools/interpreters/every-python.sh --wheel "$$(tools/interpreters/free-threaded-python.sh | tail -n 1)"

# manylinux2014 and musllinux_1_2 wheels for every supported CPython and the free-threaded 3.13
# (its interpreter is built on first use, about ten minutes; 3.14 on come from
# a root of Debian's development suite, a few minutes), x86_64 and aarch64,
# and the win_amd64 wheels, into wheelhouse/.
wheels:
	@$(DEPS) --wheels
	@PYTHON="$(PY)" $(IN_VENV) tools/wheels/build.sh
	@PYTHON="$(PY)" $(IN_VENV) tools/windows/build.sh >/dev/null

# What a release publishes, into dist/: the sdist, every wheel `make wheels`
# builds and SHA256SUMS, checked with validate-pyproject, twine check --strict
# and check-wheel-contents. Dated by the last commit (SOURCE_DATE_EPOCH): two
# builds of one commit are the same bytes (tools/release/reproducible.sh).
dist:
	@$(DEPS) --release
	@PYTHON="$(PY)" $(IN_VENV) tools/release/dist.sh

# win_amd64 wheels for CPython 3.8 to 3.13, built here with zig's clang,
# each checked with delvewheel, into wheelhouse/.
wheels-windows:
	@$(DEPS) --wheels
	@PYTHON="$(PY)" $(IN_VENV) tools/windows/build.sh

# The Python suite under Wine against each win_amd64 wheel, with that
# version's embeddable CPython; the win_arm64 module compiled and linked.
check-windows:
	@$(DEPS) --windows
	@PYTHON="$(PY)" $(IN_VENV) tools/windows/check.sh

# The suite against the musllinux cp311 x86_64 wheel, installed into a venv
# of a CPython 3.11 built against musl (built on first use, about four minutes).
check-musl: deps
	@$(DEPS) --wheels
	@PYTHON="$(PY)" $(IN_VENV) tools/wheels/check-musl.sh

# The macOS build, compiled and linked for arm64 and x86_64 with zig and read
# back (exports, libraries), and cibuildwheel's hosted build list.
cross-check:
	@$(DEPS) --wheels
	@PYTHON="$(PY)" $(IN_VENV) tools/wheels/cross-check.sh

# Format drift in any C/C++ file and clang-tidy findings in src/ (version 14).
lint: build-tests
	@VENV="$(abspath $(VENV))" JOBS=$(JOBS) tools/lint.sh $(BUILD)

# actionlint (with shellcheck) and zizmor --offline on .github/workflows/, pinned
# tools from the "workflows" group; also a step of `make check-all`.
lint-workflows:
	@$(DEPS) --workflows
	@VENV="$(abspath $(VENV))" tools/release/lint-workflows.sh

# Side-by-side timings against a minimal C floor, the plain C class and a
# pure-Python peer: first under BENCH_PYTHON, an interpreter built with PGO and
# LTO as the ones users run are (the module is built for it in
# $(BUILD)/bench/optimised), then under PYTHON. The results also go to
# $(BUILD)/bench/ as JSON, and the optimised run as a chart.
BENCH_PYTHON ?= /usr/bin/python3.11
BENCH_OPTIMISED = $(BUILD)/bench/optimised
bench: build
	@$(DEPS) --bench
	@if [ -x "$(BENCH_PYTHON)" ]; then \
		$(IN_VENV) cmake -S . -B $(BENCH_OPTIMISED) -DPython_EXECUTABLE="$(BENCH_PYTHON)" -DCMAKE_BUILD_TYPE=Release >/dev/null && \
		$(IN_VENV) cmake --build $(BENCH_OPTIMISED) -j$(JOBS) --target tarvu -- --no-print-directory >/dev/null && \
		PYTHONPATH=$(BENCH_OPTIMISED) $(BENCH_PYTHON) bench/run.py --build-dir $(BENCH_OPTIMISED) \
			--json $(BUILD)/bench/results-optimised.json $(BENCH_ARGS) && \
		$(PY) bench/chart.py $(BUILD)/bench/results-optimised.json -o $(BUILD)/bench/ns-per-operation.png; \
	else echo "bench: no $(BENCH_PYTHON) (BENCH_PYTHON): only $(PYTHON) is measured"; fi
	@PYTHONPATH=$(BUILD) $(PY) bench/run.py --build-dir $(BUILD) --json $(BUILD)/bench/results.json $(BENCH_ARGS)

# A rehearsal of publishing, on this machine only: dist/ (`make dist` first
# when it is missing or older than HEAD) uploaded with twine to a pypiserver
# on 127.0.0.1, then installed by pip's own choice from there alone on every
# interpreter we can run (roots, qemu, musl, free-threaded; Windows' choice
# by `pip download`, run under Wine), the sdist built on the oldest and the
# newest version; the suite and the example against each. Not part of .ci/run.
release-check:
	@$(DEPS) --release
	@PYTHON="$(PY)" $(IN_VENV) tools/release/release-check.sh

# Every documentation block with its libraries, leaks under the debug
# interpreter, sanitizers, allocation failure, threads, fuzzing, the
# README's commands on a fresh Debian root, and the Windows wheels under Wine.
check-all:
	@$(DEPS) --all
	@PYTHON="$(PY)" $(IN_VENV) tools/reliability/check-all.sh

# The suite, the eight-thread test (20 runs) and thread scaling on a free-threaded 3.13 with the GIL off.
check-free-threaded:
	@tools/reliability/free-threaded.sh

refleaks:
	@tools/reliability/refleaks.sh

sanitize:
	@PYTHON="$(PY)" $(IN_VENV) tools/reliability/sanitize.sh

fuzz:
	@tools/reliability/fuzz.sh $(FUZZ_RUNS)

# `make example` and `make test` in a minimal Debian root (needs root).
fresh-machine:
	@tools/roots/fresh-machine.sh

# Every build directory the targets make: the module and tests (BUILD), the
# free-threaded check, the sanitizer, debug-interpreter and fuzzing builds.
clean:
	rm -rf $(BUILD) build-ft build-asan build-dbg build-fuzz
