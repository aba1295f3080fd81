#!/usr/bin/env bash
# Builds the libFuzzer harness tests/fuzz/fuzz_labels.cpp (clang, address and undefined
# sanitizers, interpreter embedded) in build-fuzz and runs it.
#   tools/reliability/fuzz.sh [RUNS] [more libFuzzer flags, e.g. -max_total_time=1800]
# RUNS defaults to 100000 (~30 s). Ten million on both cores, at low priority:
#   nice -n 19 tools/reliability/fuzz.sh 5000000 -jobs=2 -workers=2   (5M per job)
# The corpus grows in build-fuzz/corpus (seeded from tests/fuzz/seeds); a crashing input
# lands in build-fuzz/artifacts/.
# Needs Debian's clang and libclang-rt-dev (libFuzzer and the sanitizer runtimes) and the
# python3-dev headers: tools/install-deps.sh --all installs them.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
runs=${1:-100000}
shift || true
python=${FUZZ_PYTHON:-/usr/bin/python3}

CXX=${FUZZ_CXX:-clang++} cmake -S tests/fuzz -B build-fuzz -DPython_EXECUTABLE="$python" >/dev/null
cmake --build build-fuzz -j2

mkdir -p build-fuzz/corpus build-fuzz/artifacts
# Leak checking (FUZZ_DETECT_LEAKS=1): with PYTHONMALLOC=malloc, set by the harness, an object
# that a call leaks is unreachable heap and is reported, while what the interpreter caches stays
# reachable. It scans the heap after most inputs and runs ~20 times slower, so it is off by
# default; refleaks.sh measures leaks per call directly.
export ASAN_OPTIONS="abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# From inside build-fuzz, where parallel runs (-jobs=N -workers=N) leave their fuzz-N.log files.
cd build-fuzz
exec ./fuzz_labels -runs="$runs" -max_len=128 -print_final_stats=1 \
    -detect_leaks="${FUZZ_DETECT_LEAKS:-0}" -artifact_prefix="$root/build-fuzz/artifacts/" \
    "$@" corpus "$root/tests/fuzz/seeds"
