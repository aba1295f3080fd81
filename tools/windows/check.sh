#!/usr/bin/env bash
# Builds the win_amd64 wheel of every supported CPython and runs the Python
# suite under Wine against each, with that version's embeddable CPython; then
# compiles and links the win_arm64 module (3.11 and newer), which nothing here
# can run.
#
#   tools/windows/check.sh [X.Y...]
#
# The skipped tests with their reasons, then one line per build:
#   cp313-win_amd64  PASS  (560 passed, 40 skipped)
# Exits non-zero if any fails. Logs: build/windows/ (or $TARVU_WINDOWS_BUILD).
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
HERE=$TOOLS/windows
WORK=${TARVU_WINDOWS_BUILD:-$REPO/build/windows}
VERSIONS=("$@")
((${#VERSIONS[@]})) || mapfile -t VERSIONS < <("$HERE/versions.sh")
mkdir -p "$WORK"

summary=()
failed=0
record() {  # record NAME RESULT DETAIL
    summary+=("$(printf '%-17s %-6s %s' "$1" "$2" "$3")")
    [[ $2 == FAIL ]] && failed=1
}

for minor in "${VERSIONS[@]}"; do
    name=cp${minor//./}-win_amd64
    if ! wheel=$("$HERE/build.sh" --version "$minor" --out "$WORK/wheelhouse" 2>"$WORK/$name.check.log" | tail -n 1); then
        record "$name" FAIL "(build failed; $WORK/$name.check.log)"
        continue
    fi
    if "$HERE/test.sh" "$wheel" >"$WORK/$name.test.log" 2>&1; then
        result=PASS
    else
        result=FAIL
    fi
    counts=$(pytest_summary "$WORK/$name.test.log")
    record "$name" "$result" "(${counts:-no test run}; $WORK/$name.test.log)"
done

for minor in "${VERSIONS[@]}"; do
    ((${minor#3.} >= 11)) || continue
    name=cp${minor//./}-win_arm64
    if "$HERE/build.sh" --arch aarch64 --version "$minor" >"$WORK/$name.check.log" 2>&1; then
        record "$name" LINKED "(compiled and linked; no Windows arm64 interpreter here to run it)"
    else
        record "$name" FAIL "(build failed; $WORK/$name.check.log)"
    fi
done

for minor in "${VERSIONS[@]}"; do
    log=$WORK/cp${minor//./}-win_amd64.test.log
    [[ -f $log ]] || continue
    echo "skipped under Wine, cp${minor//./}:"
    grep -E '^SKIPPED ' "$log" | sed -E 's/^SKIPPED \[([0-9]+)\] /  \1 x /'
done
printf '%s\n' "${summary[@]}"
exit $failed
