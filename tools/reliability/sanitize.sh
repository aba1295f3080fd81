#!/usr/bin/env bash
# Address and undefined-behaviour sanitizers: builds everything in build-asan with
# -fsanitize=address,undefined, runs the C++ tests, then the whole Python suite with the
# sanitizer runtime preloaded into the (uninstrumented) interpreter. Reports go to
# build-asan/sanitizer-logs/; the run fails on any report or any failing test.
#
# Leak checking: the C++ tests run with it, ignoring allocations made inside libpython (the
# embedded interpreter is never finalised); in the interpreter it is off, since CPython keeps
# its own allocations until exit. Reference and memory leaks of the module's calls are the
# subject of refleaks.sh.
#
# The compiler is CMake's choice (CXX, else the system's c++); GCC and clang are both
# handled.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
python=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')

cmake -S . -B build-asan -DPython_EXECUTABLE="$python" -DTARVU_SANITIZE=address,undefined \
    -DTARVU_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-asan -j2

# The runtime the uninstrumented interpreter must preload: the one of the compiler that built
# the module (GCC's libasan and libubsan, or clang's combined one).
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build-asan/CMakeCache.txt)
if "$cxx" --version | grep -q clang; then
    preload="$("$cxx" -print-runtime-dir)/libclang_rt.asan-$(uname -m).so"
else
    preload="$("$cxx" -print-file-name=libasan.so) $("$cxx" -print-file-name=libubsan.so)"
fi
for runtime in $preload; do
    [[ -f $runtime ]] || { echo "sanitize: no sanitizer runtime $runtime for $cxx" >&2; exit 1; }
done

logs=$root/build-asan/sanitizer-logs
rm -rf "$logs"
mkdir -p "$logs"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan"
common="abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1"
status=0

ASAN_OPTIONS="$common:detect_leaks=1:log_path=$logs/asan-ctest" \
LSAN_OPTIONS="suppressions=$root/tools/reliability/lsan-interpreter.supp:print_suppressions=0" \
    ctest --test-dir build-asan --output-on-failure || status=1

# PYTHONMALLOC=malloc: every object comes from the sanitizer's allocator, so a use after free
# or an overflow of an object is seen, not hidden inside an interpreter arena. The undefined-
# behaviour checks keep their source paths in the module, so the release build's
# no-build-paths check does not apply here. The caller-sized message test limits the address
# space, which the sanitizer's own bookkeeping also maps from, so it would abort inside the
# sanitizer, not the module.
LD_PRELOAD="$preload" PYTHONMALLOC=malloc PYTHONPATH="$root/build-asan" \
ASAN_OPTIONS="$common:detect_leaks=0:log_path=$logs/asan-python" \
    "$python" -m pytest -q -p no:cacheprovider tests/python \
    --deselect tests/python/test_module.py::test_no_build_paths_in_the_module \
    --deselect tests/python/test_errors.py::test_caller_sized_messages_end_in_an_exception || status=1

findings=$(find "$logs" -type f | wc -l)
for log in "$logs"/*; do
    [ -f "$log" ] && { echo "=== $log"; cat "$log"; }
done
echo "sanitizers: $findings report(s)"
[ "$findings" -eq 0 ] || status=1
exit $status
