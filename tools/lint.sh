#!/usr/bin/env bash
# The format and lint checks that `make test` (and so CI) runs:
#   - format: every tracked C and C++ file must be exactly as clang-format
#     leaves it (.clang-format);
#   - limits: at most 3 bare reference-count calls outside the owned handle and
#     the reference pool, each with a comment saying why, and at most 15 #if
#     blocks in at most 5 files under src/ (tools/source_limits.py);
#   - tidy: clang-tidy finds nothing in src/ (.clang-tidy; headers included).
#
#   tools/lint.sh [--format-only | --fix] [BUILD]
#     BUILD          a configured build directory with compile_commands.json
#                    (default: build), for clang-tidy
#     --format-only  skip clang-tidy
#     --fix          reformat the files in place instead of checking them
#
# Both tools must be major version 14, the one the tree is formatted with: other
# majors lay out some constructs differently and bring new checks, so their
# verdicts would not be about this tree. tools/install-deps.sh installs them:
# Debian's clang-format-14 and clang-tidy-14 where the release has them
# (Debian 12), else the 14.0.6 wheels from PyPI into the project's .venv
# (Debian 13 has no version 14). Without a version-14 tool the check fails and
# says so; it never falls back to another version.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV=${VENV:-$ROOT/.venv}
MAJOR=14
MODE=check
TIDY=1
BUILD=build
for arg in "$@"; do
    case $arg in
        --fix) MODE=fix ;;
        --format-only) TIDY=0 ;;
        -h | --help) sed -n '2,22p' "$0"; exit 0 ;;
        -*) echo "unknown option: $arg" >&2; exit 2 ;;
        *) BUILD=$arg ;;
    esac
done
cd "$ROOT"
[[ $BUILD == /* ]] || BUILD=$ROOT/$BUILD

# The path of a version-14 `name`: Debian's name-14, the venv's wheel, or a
# plain `name` that happens to be version 14.
find_tool() {
    local name=$1 candidate path
    for candidate in "$name-$MAJOR" "$VENV/bin/$name" "$name"; do
        path=$(command -v "$candidate" 2>/dev/null) || continue
        if "$path" --version 2>/dev/null | grep -qE "version $MAJOR\."; then
            echo "$path"
            return 0
        fi
    done
    echo "lint: no $name of version $MAJOR found (tried $name-$MAJOR, $VENV/bin/$name, $name);" \
        "run tools/install-deps.sh" >&2
    return 1
}

status=0
clang_format=$(find_tool clang-format)
mapfile -t sources < <(git ls-files '*.c' '*.cpp' '*.h')
if [[ $MODE == fix ]]; then
    "$clang_format" -i "${sources[@]}"
    exit 0
fi
if ! "$clang_format" --dry-run --Werror "${sources[@]}"; then
    echo "lint: format drift (above); fix with: tools/lint.sh --fix" >&2
    status=1
fi

# Prints every counted line when a limit is broken.
if ! python3 tools/source_limits.py >&2; then
    status=1
fi

if ((TIDY)); then
    clang_tidy=$(find_tool clang-tidy)
    [[ -f $BUILD/compile_commands.json ]] || {
        echo "lint: $BUILD/compile_commands.json is missing; configure the build first (make build-tests)" >&2
        exit 1
    }
    # The wheel's clang-tidy carries no compiler headers of its own (stddef.h);
    # the compiler's serve, and Debian's clang-tidy has its own anyway.
    # CPython 3.13's atomics header picks its implementation by compiler, and
    # clang 14 (which reports itself as GCC 4.2 and hides __atomic_load from
    # __has_builtin) matches none; it has the builtins all the same.
    extra=("--extra-arg=-D_Py_USE_GCC_BUILTIN_ATOMICS=1")
    if [[ $clang_tidy == "$VENV"/* ]]; then
        extra+=("--extra-arg=-isystem$(${CXX:-g++} -print-file-name=include)")
    fi
    # The per-vocabulary units CMake generates from src/types/vocabularies.h
    # instantiate the class protocol, so they are checked too.
    mapfile -t units < <(git ls-files 'src/*.cpp'; ls "$BUILD"/tarvu_generated/*.cpp 2>/dev/null)
    if ! printf '%s\n' "${units[@]}" |
        xargs -P "${JOBS:-2}" -n 3 "$clang_tidy" -p "$BUILD" --quiet "${extra[@]}" 2>/dev/null; then
        echo "lint: clang-tidy findings (above); fix them or, where a finding is wrong, say why in a NOLINT comment" >&2
        status=1
    fi
fi
exit $status
