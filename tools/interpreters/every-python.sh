#!/usr/bin/env bash
# Builds tarvu for every supported CPython, installs it into a fresh virtual
# environment of each, and runs the Python suite there.
#
#   tools/interpreters/every-python.sh [--pip | --cmake | --wheel | --alloc-import] [VERSION | PATH...]
#
#   --cmake (default)  configure and build per interpreter into
#                      build/every-python/build-X.Y (incremental), then copy
#                      the module and the stubs into the venv's site-packages.
#   --pip              `pip install .` into the venv: the user's path, with
#                      build isolation; slower, every run compiles afresh.
#   --wheel            build a manylinux2014 wheel for the interpreter with
#                      tools/wheels/build.sh and `pip install` it.
#   --alloc-import     build as --cmake, then, instead of the suite, sweep the
#                      import under allocation failure (the driver of
#                      tests/python/test_alloc_failure.py, forms "one" and
#                      "every"); a line per form below the interpreter's.
#   VERSION            only these minors (e.g. 3.8 3.12, or "debian").
#   PATH               this interpreter (e.g. "$(command -v python3)").
#
# Interpreters: the highest 3.X.Y under $PYENV_ROOT/versions for each 3.X in
# tools/python-versions, or where pyenv has none, the one find-python.sh runs
# in a root of Debian's development suite (3.14 on; the root is made on
# first use, and everything for that version, venv, build and suite, runs in
# it); and Debian's /usr/bin/python3. The Python suite runs
# with the full allocation-failure sweeps; a crash that the plain C control
# module shares is listed as an interpreter fault and does not fail the run.
# A free-threaded interpreter (a PATH such as tools/interpreters/free-threaded-python.sh
# prints) runs it with the lock off (PYTHON_GIL=0), after checking that
# importing tarvu leaves it off; its test tools come from wheels only.
# One line per interpreter:
#   3.8.18         PASS    (154 passed)
# Exits non-zero if any interpreter that is present fails, or a version named
# on the command line has none. Logs go to
# build/every-python/<version>.log.
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
WORK=${TARVU_EVERY_PYTHON_DIR:-$REPO/build/every-python}
JOBS=${JOBS:-2}
MODE=cmake
WANTED=()

for arg in "$@"; do
    case $arg in
        --pip) MODE=pip ;;
        --cmake) MODE=cmake ;;
        --wheel) MODE=wheel ;;
        --alloc-import) MODE=alloc-import ;;
        -h | --help) sed -n '2,24p' "$0"; exit 0 ;;
        -*) echo "unknown option: $arg" >&2; exit 2 ;;
        *) WANTED+=("$arg") ;;
    esac
done

mkdir -p "$WORK"

# label|interpreter path; label|? for a version found on demand (a root is
# made only when that version is wanted); label| when absent.
candidates() {
    local version found
    for version in $(python_versions); do
        if found=$(newest_pyenv_python "$version"); then
            echo "${found% *}|${found#* }"
        else
            echo "$version|?"
        fi
    done
    for w in "${WANTED[@]}"; do
        if [[ $w == /* && -x $w ]]; then
            echo "$("$w" -c 'import platform; print(platform.python_version())')-$(basename "$w")|$w"
        fi
    done
    if [[ -x /usr/bin/python3 ]]; then
        echo "$(/usr/bin/python3 -c 'import platform; print(platform.python_version())')-debian|/usr/bin/python3"
    else
        echo "debian|"
    fi
}

wanted() {
    local label=$1 python=$2 w
    [[ ${#WANTED[@]} -eq 0 ]] && return 0
    for w in "${WANTED[@]}"; do
        if [[ $w == /* ]]; then
            [[ $python == "$w" && $label != *-debian ]] && return 0
            continue
        fi
        [[ $label == "$w" || $label == "$w".* || ($w == debian && $label == *-debian) ]] && return 0
    done
    return 1
}

build_and_install() {
    local label=$1 venv=$2 log=$3
    local py=$venv/bin/python
    if [[ $MODE == pip ]]; then
        step "$log" "pip install ." "${RUN[@]}" "$py" -m pip install --no-cache-dir "$REPO" || return 1
        return 0
    fi
    if [[ $MODE == wheel ]]; then
        local wheels=$WORK/wheels-$label
        rm -rf "$wheels"
        step "$log" "wheel" env TARVU_WHEELS_BUILD="$WORK/wheel-build-$label" "$TOOLS/wheels/build.sh" --arch "$(uname -m)" --libc gnu --python "${RUN[*]} $py" --out "$wheels" || return 1
        step "$log" "pip install wheel" "${RUN[@]}" "$py" -m pip install --no-deps "$wheels"/*.whl || return 1
        return 0
    fi
    local build=$WORK/build-$label
    step "$log" configure "${RUN[@]}" cmake -S "$REPO" -B "$build" -DPython_EXECUTABLE="$py" \
        -DCMAKE_BUILD_TYPE=Release -DTARVU_BUILD_TESTS=OFF || return 1
    step "$log" build "${RUN[@]}" cmake --build "$build" -j"$JOBS" --target tarvu || return 1
    local site suffix
    site=$("${RUN[@]}" "$py" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
    suffix=$("${RUN[@]}" "$py" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
    if [[ ! -f $build/tarvu$suffix ]]; then
        echo "-- build produced no $build/tarvu$suffix" >&2
        return 1
    fi
    cp "$build/tarvu$suffix" "$site/" && cp -r "$REPO/stubs/tarvu-stubs" "$site/"
}

run_one() {
    local label=$1 python=$2
    local venv=$WORK/venv-$label log=$WORK/$label.log
    : >"$log"
    rm -rf "$venv"
    step "$log" venv "${RUN[@]}" "$python" -m venv "$venv" || {
        echo "-- $python cannot create a venv (on Debian: apt-get install python3-venv)" >&2
        return 1
    }
    local py=$venv/bin/python
    # Without the lock the suite runs with it off; some test tools have no
    # source build that works there, so only wheels are taken.
    local -a pip_only=() gil_off=()
    if [[ $("${RUN[@]}" "$py" -c 'import sysconfig; print(sysconfig.get_config_var("Py_GIL_DISABLED") or 0)') == 1 ]]; then
        pip_only=(--only-binary :all:)
        gil_off=(PYTHON_GIL=0)
    fi
    # The test group has mypy too, so the stubs are checked against each interpreter's runtime.
    local tools=pytest  # all the import sweep's driver needs
    [[ $MODE == alloc-import ]] || tools=$("${RUN[@]}" "$py" "$TOOLS/dependency-group.py" test) || return 1
    # shellcheck disable=SC2086  # one requirement a line, none with spaces
    step "$log" "test tools" "${RUN[@]}" "$py" -m pip install -q "${pip_only[@]}" $tools || return 1
    build_and_install "$label" "$venv" "$log" || return 1
    # Import from a neutral directory with a clean environment: the module
    # must come from the venv, not from the source tree or build/.
    local where
    where=$(cd "$WORK" && env -u PYTHONPATH "${gil_off[@]}" "${RUN[@]}" "$py" -W error -c '
import sys, sysconfig, tarvu
if sysconfig.get_config_var("Py_GIL_DISABLED"):  # a default 3.13 always has the lock
    assert not sys._is_gil_enabled(), "importing tarvu enabled the GIL"
print(tarvu.__file__)' 2>>"$log") || {
        echo "-- import tarvu failed in $venv; see $log" >&2
        return 1
    }
    if [[ $where != "$venv"/* ]]; then
        echo "-- tarvu imported from $where, not from $venv" >&2
        return 1
    fi
    if [[ $MODE == alloc-import ]]; then
        local form
        for form in one every; do
            printf '%s ' "$form"
            (cd "$WORK" && env -u PYTHONPATH "${gil_off[@]}" "${RUN[@]}" "$py" "$REPO/tests/python/test_alloc_failure.py" \
                import 1 "$form" 2>>"$log" | tail -n 1)
        done | summarise_sweeps >"$WORK/$label.sweeps"
        return
    fi
    echo "== pytest (tarvu from $where)" >>"$log"
    # The full allocation-failure sweeps, as make test runs them.
    if ! (cd "$WORK" && env -u PYTHONPATH "${gil_off[@]}" TARVU_FULL_SWEEPS=1 "${RUN[@]}" "$py" -m pytest -q -rfE -p no:cacheprovider \
        "$REPO/tests/python") >>"$log" 2>&1; then
        grep -E '^(FAILED|ERROR) ' "$log" | head -n 20 | sed 's/^/   /' >&2
        return 1
    fi
}

# A line per form from the import sweep driver's reports ("FORM JSON" on
# stdin), with the findings and shared crashes below it; fails if one failed.
summarise_sweeps() {
    "$(tool_python)" -c '
import json, sys
status = 0
for line in sys.stdin:
    form, report = line.split(" ", 1)
    r = json.loads(report)
    status |= bool(r["findings"])
    print("%15s %-5s  %s  k 0-%d, %d imports: %s" % ("", form, "FAIL" if r["findings"] else "PASS", r["last_k"] - 1,
          r["tried"], ", ".join("%s %d" % (kind.split(".")[-1], n) for kind, n in sorted(r["outcomes"].items()))))
    for f in r["findings"] + [dict(f, what="a crash the control module shares, at " + " < ".join(f["backtrace"][:3]))
                              for f in r["interpreter_faults"]]:
        print("%22s k=%s: %s" % ("", f["k"], f["what"]))
sys.exit(status)'
}

failed=0
results=()
while IFS='|' read -r label python; do
    wanted "$label" "$python" || continue
    if [[ $python == "?" ]]; then
        python=$("$TOOLS/interpreters/find-python.sh" "$label" 2>/dev/null) || python=
    fi
    if [[ -z $python ]]; then
        # A version named on the command line must be there; others may be missing.
        if [[ " ${WANTED[*]} " == *" $label "* ]]; then
            failed=1
            results+=("$(printf '%-14s %-7s' "$label" FAIL) (no interpreter: $("$TOOLS/interpreters/find-python.sh" "$label" 2>&1 | tail -n 1))")
        else
            results+=("$(printf '%-14s %-7s' "$label" ABSENT) (skipped)")
        fi
        continue
    fi
    # An interpreter in a root is run, and everything else for it too, by its prefix.
    split_interpreter "$python"
    RUN=("${prefix[@]}")
    python=$interpreter
    if ((${#RUN[@]})); then
        label=$("${RUN[@]}" "$python" -c 'import platform; print(platform.python_version())')-unstable
    fi
    echo "-- $label: $python ($MODE)" >&2
    rm -f "$WORK/$label.sweeps"
    if run_one "$label" "$python"; then
        counts=$(pytest_summary "$WORK/$label.log")
        results+=("$(printf '%-14s %-7s' "$label" PASS) (${counts:-the import swept, below})")
        # Crashes that the plain C control module shares: the interpreter's, reported, not failed.
        while IFS= read -r fault; do
            results+=("               interpreter fault: ${fault#*InterpreterFault: }")
        done < <(grep -E 'InterpreterFault: ' "$WORK/$label.log")
    else
        failed=1
        counts=$(pytest_summary "$WORK/$label.log")
        results+=("$(printf '%-14s %-7s' "$label" FAIL) (${counts:-no test run}; log $WORK/$label.log)")
    fi
    [[ -s $WORK/$label.sweeps ]] && mapfile -t -O "${#results[@]}" results <"$WORK/$label.sweeps"
done < <(candidates)

printf '%s\n' "${results[@]}"
exit $failed
