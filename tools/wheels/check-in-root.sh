#!/usr/bin/env bash
# Installs the wheel for a Debian root's own python3 with pip into a venv in
# that root and runs the Python suite there: the proof that the wheels work
# on another system (an older glibc, or another architecture under qemu).
#
#   tools/wheels/check-in-root.sh SUITE ARCH     e.g. bullseye amd64, bookworm arm64
#   tools/wheels/check-in-root.sh unstable ARCH X.Y
#       Debian's python3.X of the development suite instead, in the root that
#       interpreters/find-python.sh runs it in (e.g. unstable amd64 3.14, unstable arm64 3.15)
#
# The wheel comes from wheelhouse/ (make wheels), built if missing or older
# than the sources. The root is made once and cached (roots/debian-root.sh); the
# venv in it keeps its test tools between runs, and tarvu is reinstalled from
# the wheel every time. Prints one line:
#   bullseye-amd64  cp39 x86_64  PASS (520 passed, 23 skipped)
set -euo pipefail
SUITE=$1
ARCH=$2
VERSION=${3:-}
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
HERE=$TOOLS/wheels
if [[ -n $VERSION ]]; then
    [[ $SUITE == unstable ]] || { echo "a version is taken from the development suite (unstable) only" >&2; exit 2; }
    # The command that runs the interpreter in its root ends with the root.
    split_interpreter "$("$TOOLS/interpreters/find-python.sh" --root --arch "$ARCH" "$VERSION")"
    python=$interpreter
    ROOT=${prefix[-1]}
    CHECK=/tarvu-check-$VERSION
    in_root() { "${prefix[@]}" "$@"; }
else
    ROOT=$("$TOOLS/roots/debian-root.sh" "$SUITE" "$ARCH")
    python=python3
    CHECK=/tarvu-check
    in_root() { "$TOOLS/roots/run-in-root.sh" "$ROOT" "$@"; }
fi
LOG=$REPO/build/wheels/check-$SUITE-$ARCH${VERSION:+-$VERSION}.log
mkdir -p "$(dirname "$LOG")"
: >"$LOG"

case $ARCH in
    amd64) machine=x86_64 ;;
    arm64) machine=aarch64 ;;
    *) machine=$ARCH ;;
esac
tag=$(in_root "$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
find_wheel() { ls "$REPO"/wheelhouse/tarvu-*-"$tag-$tag"-manylinux_2_17_"$machine".*.whl 2>/dev/null | head -n 1; }
# A wheel older than anything it is built from is built again: one left from
# an earlier tree would meet the newer tests with the older module.
stale() {
    [[ -z $1 ]] || [[ -n $(find "$REPO/src" "$REPO/stubs" "$REPO/CMakeLists.txt" "$REPO/pyproject.toml" \
        "$REPO/tools/wheels" -newer "$1" -print -quit) ]]
}
if stale "$(find_wheel)"; then
    minor=$(echo "$tag" | sed -E 's/^cp3/3./')
    "$HERE/build.sh" --arch "$machine" --libc gnu --python "$("$TOOLS/interpreters/find-python.sh" "$minor")" >/dev/null
fi
wheel=$(find_wheel)

# The suite and the files it reads, as tracked by git; no build of the module.
rm -rf "$ROOT$CHECK/src" "$ROOT$CHECK/wheels"
mkdir -p "$ROOT$CHECK/src" "$ROOT$CHECK/wheels"
git -C "$REPO" ls-files -z | (cd "$REPO" && xargs -0 tar -cf -) | tar -xf - -C "$ROOT$CHECK/src"
cp "$wheel" "$ROOT$CHECK/wheels/"

status=PASS
{
    if [[ ! -x $ROOT$CHECK/venv/bin/pytest ]]; then
        in_root "$python" -m venv "$CHECK/venv" &&
            in_root "$CHECK/venv/bin/python" -m pip install -q pytest hypothesis mypy
    fi &&
        in_root "$CHECK/venv/bin/python" -m pip install -q --no-deps --force-reinstall "$CHECK/wheels/$(basename "$wheel")" &&
        in_root sh -c "cd $CHECK && venv/bin/python -c 'import tarvu, platform; print(tarvu.__file__, platform.machine(), platform.libc_ver())' &&
            venv/bin/python -m pytest -q -rfE -p no:cacheprovider src/tests/python"
} >>"$LOG" 2>&1 || status=FAIL
counts=$(pytest_summary "$LOG")
printf '%-16s %s %-7s %s (%s)\n' "$SUITE-$ARCH" "$tag" "$machine" "$status" "${counts:-no test run; log $LOG}"
[[ $status == PASS ]]
