#!/usr/bin/env bash
# A rehearsal of publishing, on this machine only: dist/ goes up to a real
# package index on 127.0.0.1 (pypiserver, no fallback to any other index)
# with twine, and pip chooses and installs from there, by itself, on every
# interpreter we can run; the suite and the example program then run against
# what it installed.
#
#   tools/release/release-check.sh [LABEL...]
#       LABEL: only these rehearsals (as the lines name them, e.g. 3.8.18,
#       musl-3.11, sdist-3.15, windows-3.13); default all
#
# dist/ is taken as it is; `make dist` makes it first when it is missing or
# older than HEAD's commit. Its SHA256SUMS must hold for every file, and the
# index must hand back the same bytes.
#
# The index serves what twine uploaded plus the build and test dependencies
# (the sdist's build-system.requires and their own, ninja, pytest and
# hypothesis), downloaded once per list of requirements into
# $CACHE_HOME/release-index, with each supported interpreter's pip so that
# every version gets what it can install. pip runs in a fresh venv, with a fresh HOME, no configuration
# file (PIP_CONFIG_FILE=/dev/null), no PIP_* variable and no cache, and is
# given the local index alone; its log is then read, and any index, link or
# connection other than the local index fails the run.
#
# Per interpreter: `pip install --index-url LOCAL --only-binary tarvu tarvu`,
# the test tools, `import tarvu` from the venv, the Python suite from outside
# the tree, and examples/normalise_labels.py on its sample, whose output must
# be the same everywhere. The interpreters: pyenv's of each supported version
# (tools/python-versions), Debian's /usr/bin/python3, the free-threaded 3.13
# (the suite with the lock off), the musl CPython; in Debian roots, the
# versions only the development suite has, Debian 11's python3 (the oldest
# glibc), and arm64 under qemu (Debian 12's python3 and the development
# suite's newest). The sdist is built by `pip install --no-binary tarvu
# tarvu` on the oldest and the newest version. Windows: `pip download
# --platform win_amd64 --python-version X.Y --only-binary :all: tarvu` chooses
# the wheel for the oldest and newest version that has an embeddable CPython,
# and tools/windows/test.sh runs the suite under Wine against that wheel.
#
# The server stops when the script ends, however it ends. One line per
# rehearsal; logs go to build/release-check/. Exits non-zero if any failed.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
DIST=$REPO/dist
LOGS=$REPO/build/release-check
DEPS_DIR=$CACHE_HOME/release-index
TOOL_PYTHON=$(tool_python)
TOOL_BIN=$(dirname "$TOOL_PYTHON")
TEST_TOOLS=(pytest hypothesis)
# What scikit-build-core asks pip for while building the sdist where no
# ninja is installed (make is not enough on a platform that has ninja
# wheels), as in the development suite's root.
BACKEND_TOOLS=(ninja)
ONLY=("$@")
start=$SECONDS

# The repository address is a placeholder until it is decided. The tag
# workflow refuses to publish with it; a rehearsal only warns.
repository_is_placeholder() {
    ! python3 "$REPO/tools/release/repository.py" --check >/dev/null 2>&1
}

dist_is_current() {
    [[ -f $DIST/SHA256SUMS ]] &&
        (($(stat -c %Y "$DIST/SHA256SUMS") >= $(git -C "$REPO" log -1 --format=%ct)))
}

if ! dist_is_current; then
    echo "release-check: dist/ is missing or older than HEAD; running make dist" >&2
    make -C "$REPO" --no-print-directory dist >&2 || {
        echo "release-check: make dist failed; run it, then make release-check" >&2
        exit 1
    }
fi
# Everything listed, and nothing unlisted: what is rehearsed is what is published.
mapfile -t files < <(cd "$DIST" && ls -1 -- *.tar.gz *.whl 2>/dev/null)
mapfile -t listed < <(awk '{ sub(/^\*/, "", $2); print $2 }' "$DIST/SHA256SUMS" | sort)
if ! (cd "$DIST" && sha256sum --check --quiet --strict SHA256SUMS) ||
    [[ "$(printf '%s\n' "${files[@]}" | sort)" != "$(printf '%s\n' "${listed[@]}")" ]]; then
    echo "release-check: dist/ does not match its SHA256SUMS (files: ${#files[@]}, listed: ${#listed[@]})" >&2
    exit 1
fi
sdist=$(ls "$DIST"/tarvu-*.tar.gz 2>/dev/null | head -n 1)
[[ -n $sdist ]] || { echo "release-check: no sdist in dist/" >&2; exit 1; }

rm -rf "$LOGS"
mkdir -p "$LOGS"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tarvu-release-check.XXXXXX")
server=
stop() {
    if [[ -n $server ]]; then
        kill "$server" 2>/dev/null
        wait "$server" 2>/dev/null
    fi
    rm -rf "$WORK"
}
trap stop EXIT
trap 'exit 130' INT TERM

# pip here and in the roots sees none of the machine's PIP_* variables.
NO_PIP_ENV=(env)
for name in ${!PIP_@}; do NO_PIP_ENV+=(-u "$name"); done

# --- the build and test dependencies, downloaded once ------------------------
build_requires=$("$TOOL_PYTHON" - "$sdist" <<'EOF'
import sys, tarfile
try:
    import tomllib
except ImportError:
    from pip._vendor import tomli as tomllib
with tarfile.open(sys.argv[1]) as sdist:
    name = next(n for n in sdist.getnames() if n.count("/") == 1 and n.endswith("/pyproject.toml"))
    print("\n".join(tomllib.load(sdist.extractfile(name))["build-system"]["requires"]))
EOF
) || { echo "release-check: cannot read build-system.requires from $sdist" >&2; exit 1; }
mapfile -t requirements < <(printf '%s\n' "${TEST_TOOLS[@]}" "$build_requires" "${BACKEND_TOOLS[@]}")
mapfile -t versions < <(python_versions)
# Each version's own pip evaluates the environment markers (tomli and
# exceptiongroup before 3.11, say); a version pyenv lacks is asked for by the
# newest pyenv CPython, whose markers it shares. Some test tools carry
# compiled wheels, so the other platforms the rehearsals run on get theirs
# (pip takes a manylinux platform as it is, without the older ones it
# implies): VERSION|pip download's tag options.
targets=()
for version in "${versions[@]}"; do targets+=("$version|"); done
targets+=(
    "3.11|--platform musllinux_1_2_x86_64 --implementation cp --abi cp311"
    "3.13|--implementation cp --abi cp313t"
    "3.11|--platform manylinux_2_36_aarch64 --platform manylinux_2_28_aarch64 --platform manylinux2014_aarch64 --implementation cp --abi cp311"
    "${versions[-1]}|--platform manylinux_2_36_aarch64 --platform manylinux_2_28_aarch64 --platform manylinux2014_aarch64 --implementation cp --abi cp${versions[-1]//./}"
)
wanted_deps=$(printf '%s\n' "${requirements[@]}" -- "${targets[@]}")
if [[ $(cat "$DEPS_DIR/.downloaded" 2>/dev/null) != "$wanted_deps" ]]; then
    echo "release-check: downloading ${requirements[*]} into $DEPS_DIR" >&2
    rm -rf "$DEPS_DIR"
    mkdir -p "$DEPS_DIR"
    newest=
    for version in "${versions[@]}"; do
        found=$(newest_pyenv_python "$version") && newest=${found#* }
    done
    [[ -n $newest ]] || { echo "release-check: no pyenv CPython to download with" >&2; exit 1; }
    for target in "${targets[@]}"; do
        IFS='|' read -r version tags <<<"$target"
        read -ra args <<<"$tags"
        if found=$(newest_pyenv_python "$version"); then
            python=${found#* }
            ((${#args[@]} == 0)) || args+=(--python-version "$version")
        else
            python=$newest
            args+=(--python-version "$version")
        fi
        "$python" -m pip download -q --disable-pip-version-check --only-binary :all: -d "$DEPS_DIR" \
            "${args[@]}" "${requirements[@]}" >>"$LOGS/download.log" 2>&1 || {
            tail -n 15 "$LOGS/download.log" >&2
            exit 1
        }
    done
    echo "$wanted_deps" >"$DEPS_DIR/.downloaded"
fi

# --- the index ---------------------------------------------------------------
UPLOADS=$WORK/uploads
mkdir -p "$UPLOADS"
port=$("$TOOL_PYTHON" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
INDEX_HOST=http://127.0.0.1:$port
INDEX=$INDEX_HOST/simple/
# Uploads land in the first directory. No authentication: it listens on the
# loopback interface only and lives for this run.
"$TOOL_BIN/pypi-server" run --interface 127.0.0.1 --port "$port" --authenticate . --passwords . \
    --disable-fallback --backend simple-dir --hash-algo sha256 "$UPLOADS" "$DEPS_DIR" \
    >"$LOGS/server.log" 2>&1 &
server=$!
for _ in $(seq 100); do
    "$TOOL_PYTHON" -c 'import sys, urllib.request; urllib.request.urlopen(sys.argv[1], timeout=1)' "$INDEX_HOST/health" \
        2>/dev/null && break
    kill -0 "$server" 2>/dev/null || { echo "release-check: the index did not start; $LOGS/server.log" >&2; exit 1; }
    sleep 0.2
done

# --- the upload --------------------------------------------------------------
if ! "${NO_PIP_ENV[@]}" TWINE_USERNAME=release-check TWINE_PASSWORD=unused "$TOOL_BIN/twine" upload \
    --non-interactive --disable-progress-bar --repository-url "$INDEX_HOST/" "${files[@]/#/$DIST/}" \
    >"$LOGS/upload.log" 2>&1; then
    tail -n 15 "$LOGS/upload.log" >&2
    exit 1
fi
(cd "$UPLOADS" && sha256sum --check --quiet --strict "$DIST/SHA256SUMS") >>"$LOGS/upload.log" 2>&1 || {
    echo "release-check: the index holds other bytes than dist/; $LOGS/upload.log" >&2
    exit 1
}

# --- the rehearsals ----------------------------------------------------------
# Every index, link and connection in a pip log must be the local index's;
# one of them at least, or the log proves nothing.
pip_log_is_local() {  # pip_log_is_local LOG
    local seen outside
    seen=$(grep -cE "Looking in indexes: |Starting new HTTPS? connection" "$1")
    outside=$(grep -E "Looking in (indexes|links): |Starting new HTTPS? connection" "$1" |
        grep -vE "(Looking in indexes: ${INDEX//./\\.}|connection \([0-9]+\): 127\.0\.0\.1:$port)\$" || true)
    if [[ -n $outside ]] || ((seen == 0)); then
        echo "-- pip looked outside the local index:"
        echo "${outside:-(no index named in $1)}"
        return 1
    fi
}

# The file pip chose for tarvu, as its log names it.
chosen_file() {  # chosen_file LOG
    grep -oE "Downloading ([^ ]*/)?tarvu-[^ /]+\.(whl|tar\.gz)" "$1" | head -n 1 | sed -E 's|^Downloading ([^ ]*/)?||'
}

results=()
failed=0
passed=0
record() {  # record LABEL FILE STATUS DETAIL
    results+=("$(printf '%-22s %-72s %-4s %4ss %s' "$1" "${2:--}" "$3" $((SECONDS - began)) "$4")")
    if [[ $3 == PASS ]]; then ((++passed)); else failed=1; fi
}

# rehearse LABEL MODE COMMAND: installs tarvu from the index, as a wheel
# (MODE wheel) or built from the sdist (MODE sdist), for the interpreter that
# COMMAND runs (as interpreters/find-python.sh prints it: a path, or a prefix
# that runs it in a root, then its path there), and runs the suite and the
# example against it.
rehearse() {
    local label=$1 mode=$2 command=$3
    local dir=$WORK/$label log=$LOGS/$label.log
    local venv=$dir/venv
    local -a run
    split_interpreter "$command"
    run=("${prefix[@]}")
    # A root sees this run's directory at the same path.
    ((${#run[@]})) && run=("${run[0]}" --bind "$WORK" "${run[@]:1}")
    mkdir -p "$dir/home"
    : >"$log"
    local -a clean=("${NO_PIP_ENV[@]}" "${run[@]}" env -i HOME="$dir/home" PATH="$venv/bin:/usr/local/bin:/usr/bin:/bin"
        LANG=C.UTF-8 PIP_CONFIG_FILE=/dev/null PYTHONDONTWRITEBYTECODE=1)
    local -a pip=("${clean[@]}" "$venv/bin/python" -m pip --disable-pip-version-check --no-cache-dir -v
        --log "$LOGS/$label.pip.log" install --index-url "$INDEX")
    local -a choice=(--only-binary tarvu)
    [[ $mode == sdist ]] && choice=(--no-binary tarvu)
    step "$log" venv "${clean[@]}" "$interpreter" -m venv "$venv" &&
        step "$log" "pip install ${choice[*]} tarvu" "${pip[@]}" "${choice[@]}" tarvu &&
        step "$log" "test tools" "${pip[@]}" --only-binary :all: "${TEST_TOOLS[@]}" &&
        step "$log" "pip's sources" pip_log_is_local "$LOGS/$label.pip.log" || {
        record "$label" "$(chosen_file "$LOGS/$label.pip.log")" FAIL "(install; log $log)"
        return
    }
    local file
    file=$(chosen_file "$LOGS/$label.pip.log")
    # Without the lock where the interpreter can run so; importing tarvu must
    # not turn it back on.
    if [[ $("${clean[@]}" "$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_config_var("Py_GIL_DISABLED") or 0)') == 1 ]]; then
        clean+=(PYTHON_GIL=0)
    fi
    local where
    where=$(cd "$dir" && "${clean[@]}" "$venv/bin/python" -W error -c '
import sys, sysconfig, tarvu
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    assert not sys._is_gil_enabled(), "importing tarvu enabled the GIL"
print(tarvu.__file__)' 2>>"$log")
    if [[ $where != "$venv"/* ]]; then
        record "$label" "$file" FAIL "(tarvu imported from ${where:-nowhere}, not the venv; log $log)"
        return
    fi
    # From a directory outside the tree: tarvu can only come from the venv.
    echo "== pytest (tarvu from $where)" >>"$log"
    (cd "$dir" && "${clean[@]}" "$venv/bin/python" -m pytest -q -rfE -p no:cacheprovider "$REPO/tests/python") >>"$log" 2>&1
    local suite=$? counts
    counts=$(pytest_summary "$log")
    echo "== example" >>"$log"
    (cd "$dir" && "${clean[@]}" "$venv/bin/python" "$REPO/examples/normalise_labels.py" \
        "$REPO/examples/data/tile_annotations.csv" --out normalised.csv) >"$dir/example.out" 2>>"$log"
    local example=$?
    cat "$dir/example.out" >>"$log"
    # The first run's output is the reference the others must match.
    if ((example == 0)) && [[ ! -f $WORK/example.out ]]; then
        cp "$dir/example.out" "$WORK/example.out"
        cp "$dir/normalised.csv" "$WORK/normalised.csv"
    fi
    if ((example == 0)) && ! { cmp -s "$dir/example.out" "$WORK/example.out" && cmp -s "$dir/normalised.csv" "$WORK/normalised.csv"; }; then
        diff "$WORK/example.out" "$dir/example.out" >>"$log"
        diff "$WORK/normalised.csv" "$dir/normalised.csv" >>"$log"
        example=1
    fi
    if ((suite == 0 && example == 0)); then
        record "$label" "$file" PASS "($counts; example as everywhere)"
    else
        ((example == 0)) || counts+="; the example failed or differed"
        record "$label" "$file" FAIL "(${counts:-no test run}; log $log)"
    fi
}

# A path for a Debian root's own python3, as find-python.sh would print it.
in_debian_root() {  # in_debian_root SUITE ARCH
    local root
    root=$("$TOOLS/roots/debian-root.sh" "$1" "$2") || return 1
    echo "$TOOLS/roots/run-in-root.sh --bind $REPO $root /usr/bin/python3"
}

chosen() {  # chosen LABEL: whether LABEL is to be rehearsed
    ((${#ONLY[@]} == 0)) || [[ " ${ONLY[*]} " == *" $1 "* ]]
}

# LABEL MODE HOW, where HOW is how to find the interpreter.
plan=()
for version in "${versions[@]}"; do
    if found=$(newest_pyenv_python "$version"); then
        plan+=("${found% *}|wheel|echo ${found#* }")
    else
        plan+=("$version-unstable|wheel|$TOOLS/interpreters/find-python.sh --root $version")
    fi
done
plan+=(
    "debian-python3|wheel|echo /usr/bin/python3"
    "free-threaded-3.13t|wheel|$TOOLS/interpreters/free-threaded-python.sh | tail -n 1"
    "musl-3.11|wheel|$TOOLS/interpreters/musl-python.sh | tail -n 1"
    "bullseye-amd64|wheel|in_debian_root bullseye amd64"
    "bookworm-arm64|wheel|in_debian_root bookworm arm64"
    "${versions[-1]}-unstable-arm64|wheel|$TOOLS/interpreters/find-python.sh --arch arm64 ${versions[-1]}"
    "sdist-${versions[0]}|sdist|$TOOLS/interpreters/find-python.sh ${versions[0]}"
    "sdist-${versions[-1]}|sdist|$TOOLS/interpreters/find-python.sh ${versions[-1]}"
)
for entry in "${plan[@]}"; do
    IFS='|' read -r label mode how <<<"$entry"
    chosen "$label" || continue
    began=$SECONDS
    echo "-- $label" >&2
    if ! command=$(eval "$how" 2>"$LOGS/$label.find.log") || [[ -z $command ]]; then
        record "$label" "" FAIL "(no interpreter; $LOGS/$label.find.log)"
        continue
    fi
    rehearse "$label" "$mode" "$command"
done

# Windows: the embeddable CPython has no pip; pip here chooses for it.
mapfile -t windows < <("$TOOLS/windows/versions.sh")
for minor in "${windows[0]}" "${windows[-1]}"; do
    label=windows-$minor
    chosen "$label" || continue
    began=$SECONDS
    dir=$WORK/$label
    mkdir -p "$dir"
    echo "-- $label" >&2
    if ! "${NO_PIP_ENV[@]}" HOME="$WORK" PIP_CONFIG_FILE=/dev/null "$TOOL_PYTHON" -m pip --disable-pip-version-check \
        --no-cache-dir -v --log "$LOGS/$label.pip.log" download --index-url "$INDEX" --platform win_amd64 \
        --python-version "$minor" --only-binary :all: -d "$dir/chosen" tarvu >"$LOGS/$label.log" 2>&1 ||
        ! pip_log_is_local "$LOGS/$label.pip.log" >>"$LOGS/$label.log"; then
        record "$label" "" FAIL "(pip download; log $LOGS/$label.log)"
        continue
    fi
    wheel=$(ls "$dir"/chosen/tarvu-*.whl)
    if "$TOOLS/windows/test.sh" "$wheel" >>"$LOGS/$label.log" 2>&1; then
        record "$label" "$(basename "$wheel")" PASS "($(pytest_summary "$LOGS/$label.log"), under Wine)"
    else
        record "$label" "$(basename "$wheel")" FAIL "($(pytest_summary "$LOGS/$label.log"); log $LOGS/$label.log)"
    fi
done

printf '%s\n' "${results[@]}"
if repository_is_placeholder; then
    echo "warning: the repository address is still the placeholder example.invalid; the tag workflow will not publish"
fi
echo "release-check: $passed passed, $((${#results[@]} - passed)) failed, in $((SECONDS - start))s (${#files[@]} files uploaded; logs $LOGS/)"
exit $failed
