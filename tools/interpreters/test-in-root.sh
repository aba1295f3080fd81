#!/usr/bin/env bash
# `make test` without lint (a version-independent check that `make test` runs
# here) for CPython versions the machine has no build of: the C++ tests, the
# Python suite with the full sweeps, and the leak check under Debian's
# python3.X-dbg, all inside the root of Debian's development suite in which
# interpreters/find-python.sh runs them (made on first use, a few minutes).
#
#   tools/interpreters/test-in-root.sh [X.Y...]
#       default: every listed version from DEVELOPMENT_FROM (tools/lib.sh) on
#
# Builds go to build-X.Y, build-dbg-X.Y and .venv-X.Y in this tree. One line
# per version; exits non-zero if any failed. Logs: build/test-in-root-X.Y.log.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
cd "$REPO"
versions=("$@")
((${#versions[@]})) || mapfile -t versions < <(python_versions "$DEVELOPMENT_FROM")
mkdir -p build
failed=0
for version in "${versions[@]}"; do
    log=build/test-in-root-$version.log
    start=$SECONDS
    if command=$("$TOOLS/interpreters/find-python.sh" --root "$version"); then
        split_interpreter "$command"
        TARVU_DEBUG_VERSION=$version "${prefix[@]}" make test-cpp test-python test-refleaks \
            PYTHON="$interpreter" VENV=".venv-$version" BUILD="build-$version" >"$log" 2>&1
        status=$?
    else
        echo "no root for $version" >"$log"
        status=1
    fi
    counts=$(grep -E '^[0-9]+ (passed|failed)|tests passed|tests failed' "$log" | sed -E 's/ in [0-9.]+s.*$//' | paste -sd ';' -)
    if ((status == 0)); then
        printf '%-6s PASS  %4ss  (%s)\n' "$version" $((SECONDS - start)) "$counts"
    else
        failed=1
        printf '%-6s FAIL  %4ss  (%s; log %s)\n' "$version" $((SECONDS - start)) "${counts:-no test run}" "$log"
    fi
done
exit $failed
