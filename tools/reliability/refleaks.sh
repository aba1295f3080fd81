#!/usr/bin/env bash
# Reference leaks: builds the module for Debian's debug interpreter (the python3.X-dbg that
# matches /usr/bin/python3, or TARVU_DEBUG_VERSION=X.Y) in build-dbg-X.Y, runs the leak test
# under it, then the whole Python suite (skip the latter with --leaks-only).
#
# Needs: apt-get install python3.X-dbg python3-pytest python3-hypothesis (Debian's pytest and
# hypothesis serve the debug interpreter; the pyenv interpreter is left alone). When they are
# missing and we run as root, they are installed here.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
cd "$REPO"

version=${TARVU_DEBUG_VERSION:-$(/usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')}
build=build-dbg-$version
debug_python=/usr/bin/python${version}-dbg
packages=()
[ -x "$debug_python" ] || packages+=("python${version}-dbg")
if [ -x "$debug_python" ]; then
    "$debug_python" -c 'import pytest' 2>/dev/null || packages+=(python3-pytest)
    "$debug_python" -c 'import hypothesis' 2>/dev/null || packages+=(python3-hypothesis)
else
    packages+=(python3-pytest python3-hypothesis)
fi
if [ ${#packages[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "refleaks: missing ${packages[*]}; run: apt-get install -y ${packages[*]}" >&2
        exit 2
    fi
    apt_install "${packages[@]}"
fi

# Debian's debug headers are symlinks into the release header folder; included as system
# headers (-isystem, CMake's default for imported targets), Python.h then picks up the release
# pyconfig.h, and the module is built without Py_DEBUG: its reference counting would bypass
# sys.gettotalrefcount. Plain -I keeps the debug pyconfig.h.
cmake -S . -B "$build" -DPython_EXECUTABLE="$debug_python" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_NO_SYSTEM_FROM_IMPORTED=ON >/dev/null
cmake --build "$build" -j2 --target tarvu
# Counting references in the module shows as _Py_RefTotal up to 3.11 and as
# _Py_INCREF_IncRefTotal from 3.12 on.
[[ "$(nm -D "$build"/tarvu*.so)" =~ _Py_RefTotal|_Py_INCREF_IncRefTotal ]] || { echo "refleaks: module not built with Py_DEBUG" >&2; exit 1; }

export PYTHONPATH=$build
"$debug_python" -m pytest -q -p no:cacheprovider tests/python/test_refleaks.py
if [ "${1:-}" != "--leaks-only" ]; then
    "$debug_python" -m pytest -q -p no:cacheprovider tests/python
fi
