#!/usr/bin/env bash
# actionlint (with shellcheck on the run: scripts) and zizmor (offline, at its
# default level, configured by .github/zizmor.yml) on every workflow under
# .github/workflows/; exits non-zero on any finding. All three come pinned
# from pyproject.toml's "workflows" group, which tools/install-deps.sh
# --workflows installs into the project's venv. actionlint is handed that
# copy of shellcheck and no pyflakes, whatever else the machine has, so that
# its verdict is the same everywhere. Needs no network.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
VENV=${VENV:-$REPO/.venv}
cd "$REPO"
# The venv's tools; else (another VENV than the default) those on PATH.
declare -A tool
for name in actionlint shellcheck zizmor; do
    tool[$name]=$VENV/bin/$name
    [[ -x ${tool[$name]} ]] || tool[$name]=$(command -v "$name") ||
        { echo "lint-workflows: $name is missing: run tools/install-deps.sh --workflows" >&2; exit 1; }
done
shopt -s nullglob
workflows=(.github/workflows/*.yml .github/workflows/*.yaml)
((${#workflows[@]})) || { echo "lint-workflows: no workflow under .github/workflows/" >&2; exit 1; }
status=0
"${tool[actionlint]}" -shellcheck="${tool[shellcheck]}" -pyflakes= "${workflows[@]}" || status=1
"${tool[zizmor]}" --offline --quiet "${workflows[@]}" || status=1
((status)) || echo "lint-workflows: ${#workflows[@]} workflows passed actionlint (with shellcheck) and zizmor --offline"
exit $status
