#!/usr/bin/env bash
# Prints the newest pyenv CPython of version X.Y (e.g. 3.12), or fails.
set -euo pipefail
versions=${PYENV_ROOT:-$HOME/.pyenv}/versions
best=$(ls -1 "$versions" 2>/dev/null | grep -E "^${1//./\\.}\.[0-9]+$" | sort -V | tail -n 1 || true)
if [[ -z $best || ! -x $versions/$best/bin/python3 ]]; then
    echo "no CPython $1 under $versions" >&2
    exit 1
fi
echo "$versions/$best/bin/python3"
