#!/usr/bin/env bash
# `make test` without lint (a version-independent check that `make test` runs
# here) for CPython versions the machine has no build of: the C++ tests, the
# Python suite with the full sweeps, and the leak check under Debian's
# python3.X-dbg, all inside the root of Debian's development suite in which
# tools/find-python.sh runs them (made on first use, a few minutes).
#
#   tools/test-in-root.sh [X.Y...]     default: every listed version from 3.14 on
#
# Builds go to build-X.Y, build-dbg-X.Y and .venv-X.Y in this tree. One line
# per version; exits non-zero if any failed. Logs: build/test-in-root-X.Y.log.
set -uo pipefail
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$REPO"
versions=("$@")
if ((${#versions[@]} == 0)); then
    for version in $(grep -E '^[0-9]' tools/python-versions); do
        [[ $(printf '3.14\n%s\n' "$version" | sort -V | head -n 1) == 3.14 ]] && versions+=("$version")
    done
fi
mkdir -p build
failed=0
for version in "${versions[@]}"; do
    log=build/test-in-root-$version.log
    start=$SECONDS
    if command=$(tools/find-python.sh --root "$version"); then
        read -ra run <<<"$command"
        python=${run[-1]}
        unset 'run[-1]'
        TARVU_DEBUG_VERSION=$version "${run[@]}" make test-cpp test-python test-refleaks \
            PYTHON="$python" VENV=".venv-$version" BUILD="build-$version" >"$log" 2>&1
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
