#!/usr/bin/env bash
# Builds what a release publishes into dist/ and checks it:
#   - the sdist;
#   - every wheel `make wheels` builds (manylinux, musllinux, win_amd64);
#   - SHA256SUMS, in sha256sum's format with the files' names alone.
# pyproject.toml must pass validate-pyproject, every file `twine check
# --strict`, and every wheel check-wheel-contents (its settings are in
# pyproject.toml).
#
#   tools/release/dist.sh [--sample] [--out DIR]
#
# --sample builds the sdist and one wheel per toolchain only: the cp311
# x86_64 manylinux, musllinux and win_amd64 wheels. DIR (default dist/) is
# emptied first. Everything is dated by SOURCE_DATE_EPOCH, the last commit's
# time unless set, so two builds of one commit give the same bytes wherever
# they run. Needs tools/install-deps.sh --release.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
OUT=$REPO/dist
TOOL_PYTHON=$(tool_python)
SAMPLE=0

while (($#)); do
    case $1 in
        --sample) SAMPLE=1; shift ;;
        --out) OUT=$2; shift 2 ;;
        -h | --help) sed -n '2,16p' "$0"; exit 0 ;;
        *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
done

cd "$REPO"
date_builds
# The sdist takes the files of the tree, untracked ones too (but those git ignores).
if [[ -n $(git status --porcelain) ]]; then
    echo "dist: the tree differs from the last commit (git status); so will dist/" >&2
fi
# File lists in one order whatever the locale.
export LC_ALL=C
rm -rf "$OUT"
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)

"$TOOL_PYTHON" - "$OUT" >/dev/null <<'EOF'
import sys
from scikit_build_core.build import build_sdist
build_sdist(sys.argv[1])
EOF
if ((SAMPLE)); then
    python=$("$TOOLS/interpreters/find-python.sh" 3.11)
    "$TOOLS/wheels/build.sh" --arch x86_64 --libc gnu --libc musl --python "$python" --out "$OUT" >/dev/null
    "$TOOLS/windows/build.sh" --version 3.11 --out "$OUT" >/dev/null
else
    "$TOOLS/wheels/build.sh" --out "$OUT" >/dev/null
    "$TOOLS/windows/build.sh" --out "$OUT" >/dev/null
fi

bin=$(dirname "$TOOL_PYTHON")
"$bin/validate-pyproject" pyproject.toml
"$bin/twine" check --strict "$OUT"/*.tar.gz "$OUT"/*.whl
"$bin/check-wheel-contents" "$OUT"/*.whl
(cd "$OUT" && sha256sum -- *.tar.gz *.whl >SHA256SUMS)
echo "dist: $(find "$OUT" -name '*.whl' | wc -l) wheels, $(cd "$OUT" && ls -- *.tar.gz) and SHA256SUMS in $OUT (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH)"
