#!/usr/bin/env bash
# The import of tarvu under allocation failure, on every supported CPython and the free-threaded
# 3.13: for each interpreter, build tarvu for it, then sweep the import at every k until 25
# clean imports in a row, once failing the k-th allocation alone (form "one") and once failing
# every allocation from the k-th on (form "every"), with the driver of
# tests/python/test_alloc_failure.py. One line per interpreter and form:
#   3.11.7          every  PASS  k 0-273, 274 imports: MemoryError 249, ok 25
# A crash that the plain C control module shares at the same place is the interpreter's: it is
# listed below the line and does not fail the run; any other crash or outcome does.
#
#   tools/reliability/alloc-import.sh [X.Y | 3.13t ...]   default: tools/python-versions and 3.13t
#
# 3.14 on run in the root of Debian's development suite (tools/interpreters/find-python.sh), 3.13t
# is tools/interpreters/free-threaded-python.sh's (built on first use, about ten minutes). Builds and venvs go to
# build/alloc-import/; a venv gets pytest (which the driver imports) only where the interpreter
# lacks it. Exits non-zero if a version fails or has no interpreter.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
ROOT=$REPO
cd "$ROOT" || exit 1
WORK=build/alloc-import
mkdir -p "$WORK"
versions=("$@")
if ((${#versions[@]} == 0)); then
    mapfile -t versions < <(python_versions)
    versions+=(3.13t)
fi

# Prints the command that runs the interpreter of VERSION (a prefix and a path), or fails.
interpreter() {
    if [[ $1 == 3.13t ]]; then
        tools/interpreters/free-threaded-python.sh 2>/dev/null | tail -n 1
    else
        tools/interpreters/find-python.sh "$1" 2>/dev/null
    fi
}

# Prints one line per form from the driver's JSON report (on stdin); fails if a form failed.
summarise() {
    "$(tool_python)" -c '
import json, sys
label, status = sys.argv[1], 0
for line in sys.stdin:
    form, report = line.split(" ", 1)
    r = json.loads(report)
    outcomes = ", ".join("%s %d" % (kind.split(".")[-1], n) for kind, n in sorted(r["outcomes"].items()))
    status |= bool(r["findings"])
    print("%-15s %-5s  %s  k 0-%d, %d imports: %s" % (
        label, form, "FAIL" if r["findings"] else "PASS", r["last_k"] - 1, r["tried"], outcomes))
    for f in r["findings"]:
        print("%-15s k=%s: %s" % ("", f["k"], f["what"]))
    for f in r["interpreter_faults"]:
        print("%-15s k=%s: a crash the control module shares, at %s" % ("", f["k"], " < ".join(f["backtrace"][:3])))
sys.exit(status)' "$1"
}

failed=0
for version in "${versions[@]}"; do
    log=$WORK/$version.log
    : >"$log"
    if ! command=$(interpreter "$version") || [[ -z $command ]]; then
        printf '%-15s FAIL  no interpreter\n' "$version"
        failed=1
        continue
    fi
    split_interpreter "$command"
    run=("${prefix[@]}")
    python=$interpreter
    label=$("${run[@]}" "$python" -c 'import platform, sysconfig
print(platform.python_version() + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')
    build=$WORK/build-$version
    {
        "${run[@]}" cmake -S . -B "$build" -DPython_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE=Release \
            -DTARVU_BUILD_TESTS=OFF && "${run[@]}" cmake --build "$build" -j2 --target tarvu
    } >>"$log" 2>&1 || {
        printf '%-15s FAIL  build (log %s)\n' "$label" "$log"
        failed=1
        continue
    }
    py=$python
    if ! "${run[@]}" "$py" -c 'import pytest' 2>/dev/null; then
        venv=$WORK/venv-$version
        py=$venv/bin/python
        if ! "${run[@]}" "$py" -c 'import pytest' 2>/dev/null; then
            { "${run[@]}" "$python" -m venv "$venv" && "${run[@]}" "$py" -m pip install -q --only-binary :all: pytest; } \
                >>"$log" 2>&1 || {
                printf '%-15s FAIL  no pytest for the driver (log %s)\n' "$label" "$log"
                failed=1
                continue
            }
        fi
    fi
    gil_off=()
    [[ $label == *t ]] && gil_off=(PYTHON_GIL=0)
    for form in one every; do
        printf '%s ' "$form"
        env PYTHONPATH="$ROOT/$build" "${gil_off[@]}" "${run[@]}" "$py" tests/python/test_alloc_failure.py import 1 "$form" \
            2>>"$log" | tail -n 1
    done | summarise "$label" || failed=1
done
exit $failed
