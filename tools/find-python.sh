#!/usr/bin/env bash
# Prints how to run CPython X.Y (e.g. 3.12), or fails.
#
#   tools/find-python.sh [--root] [--arch ARCH] X.Y
#
# The newest pyenv build of X.Y, as its path. Failing that (or with --root,
# or for another Debian architecture ARCH than the machine's, run under qemu),
# for a version of tools/python-versions that only Debian's development suite
# ships (3.14 on), Debian's python3.X in a root of that suite made once and
# cached by tools/wheels/debian-root.sh, as a command followed by the
# interpreter's path in the root:
#   .../tools/wheels/run-in-root.sh --bind WORKTREE ROOT /usr/bin/python3.14
# The words hold no spaces. The last is the interpreter; the others are the
# prefix that runs it, and also runs whatever else must see the same system
# (a venv it made, cmake and the compiler for a build against it). Paths
# given to it must lie in this work tree, which the root sees at the same path.
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(cd "$HERE/.." && pwd -P)
# The oldest version that Debian's released suites lack and its development
# suite carries: the newest ones.
DEVELOPMENT_FROM=3.14

root_only=0
arch=$(dpkg --print-architecture)
while (($# > 1)); do
    case $1 in
        --root) root_only=1; shift ;;
        --arch) [[ $2 == "$arch" ]] || root_only=1; arch=$2; shift 2 ;;
        *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
done
wanted=$1

source "$HERE/lib.sh"
versions=${PYENV_ROOT:-$HOME/.pyenv}/versions
if ((!root_only)) && found=$(newest_pyenv_python "$wanted"); then
    echo "${found#* }"
    exit 0
fi

newer() { [[ $(printf '%s\n%s\n' "$DEVELOPMENT_FROM" "$1" | sort -V | head -n 1) == "$DEVELOPMENT_FROM" ]]; }
in_root=()
for version in $(grep -E '^[0-9]' "$REPO/tools/python-versions"); do
    newer "$version" && in_root+=("$version")
done
if [[ " ${in_root[*]} " != *" $wanted "* ]]; then
    echo "no CPython $wanted under $versions" >&2
    exit 1
fi
root=$("$HERE/wheels/debian-root.sh" unstable "$arch" "${in_root[@]}")
binds="--bind $REPO"
# A git worktree keeps its repository elsewhere; git in the root needs it too.
common=$(cd "$REPO" && cd "$(git rev-parse --git-common-dir 2>/dev/null || echo .)" && pwd -P)
[[ $common == "$REPO" || $common == "$REPO"/* ]] || binds+=" --bind $common"
echo "$HERE/wheels/run-in-root.sh $binds $root /usr/bin/python$wanted"
