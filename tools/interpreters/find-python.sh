#!/usr/bin/env bash
# Prints how to run CPython X.Y (e.g. 3.12), or fails.
#
#   tools/interpreters/find-python.sh [--root] [--arch ARCH] X.Y
#
# The newest pyenv build of X.Y, as its path. Failing that (or with --root,
# or for another Debian architecture ARCH than the machine's, run under qemu),
# for a version of tools/python-versions that only Debian's development suite
# ships (DEVELOPMENT_FROM in tools/lib.sh on), Debian's python3.X in a root of
# that suite made once and cached by tools/roots/debian-root.sh, as a command
# followed by the interpreter's path in the root:
#   .../tools/roots/run-in-root.sh --bind WORKTREE ROOT /usr/bin/python3.14
# The words hold no spaces. The last is the interpreter; the others are the
# prefix that runs it, and also runs whatever else must see the same system
# (a venv it made, cmake and the compiler for a build against it): split them
# with split_interpreter (tools/lib.sh). Paths given to it must lie in this
# work tree, which the root sees at the same path.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"

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

if ((!root_only)) && found=$(newest_pyenv_python "$wanted"); then
    echo "${found#* }"
    exit 0
fi

mapfile -t in_root < <(python_versions "$DEVELOPMENT_FROM")
if [[ " ${in_root[*]} " != *" $wanted "* ]]; then
    echo "no CPython $wanted under ${PYENV_ROOT:-$HOME/.pyenv}/versions" >&2
    exit 1
fi
root=$("$TOOLS/roots/debian-root.sh" unstable "$arch" "${in_root[@]}")
binds="--bind $REPO"
# A git worktree keeps its repository elsewhere; git in the root needs it too.
common=$(cd "$REPO" && cd "$(git rev-parse --git-common-dir 2>/dev/null || echo .)" && pwd -P)
[[ $common == "$REPO" || $common == "$REPO"/* ]] || binds+=" --bind $common"
echo "$TOOLS/roots/run-in-root.sh $binds $root /usr/bin/python$wanted"
