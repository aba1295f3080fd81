#!/usr/bin/env bash
# tarvu on a free-threaded CPython 3.13 with the interpreter lock off (PYTHON_GIL=0):
#   1. the import declares the module safe without the lock: no warning, the lock stays off;
#   2. the C++ tests and the whole Python suite (full allocation-failure sweeps) pass; crashes the
#      interpreter shares with the plain C control module are listed as InterpreterFault warnings;
#   3. the eight-thread test passes TARVU_THREAD_RUNS times (default 20) and prints its call counts;
#   4. bench/threads.py prints how one and two threads scale, beside a pure-Python loop and the
#      plain C control module run at the same moment (a measurement, not a pass/fail check, unless
#      FT_REQUIRE_SPEEDUP is set: then it is bench/threads.py's --require, e.g. 1.7).
# The interpreter comes from tools/interpreters/free-threaded-python.sh (built once, then cached); the build
# goes to build-ft/. Test tools are installed from wheels only, never built from source.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
python=$(tools/interpreters/free-threaded-python.sh | tail -n 1)
build=$root/build-ft

for tool in pytest hypothesis mypy; do
    if ! "$python" -c "import $tool" >/dev/null 2>&1; then
        echo "installing $tool (wheels only)"
        "$python" -m pip install -q --disable-pip-version-check --root-user-action=ignore --only-binary :all: "$tool" ||
            echo "no wheel of $tool for this interpreter; the tests that need it skip"
    fi
done

cmake -S . -B "$build" -DPython_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE=Release -DTARVU_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j2 -- --no-print-directory >/dev/null

export PYTHON_GIL=0 PYTHONPATH=$build
"$python" -W error -c '
import sys, tarvu
assert not sys._is_gil_enabled(), "importing tarvu enabled the GIL"
print("import tarvu: GIL stays disabled, no warning")'

ctest --test-dir "$build" --output-on-failure | tail -n 3
TARVU_FULL_SWEEPS=1 "$python" -m pytest -q -p no:cacheprovider -W default::UserWarning tests/python
TARVU_THREAD_RUNS=${TARVU_THREAD_RUNS:-20} "$python" -m pytest -q -s -p no:cacheprovider tests/python/test_threads.py
"$python" bench/threads.py ${FT_REQUIRE_SPEEDUP:+--require "$FT_REQUIRE_SPEEDUP"}
