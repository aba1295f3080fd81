#!/usr/bin/env bash
# Every reliability check in sequence, one summary line each; exits non-zero if any failed.
#   FUZZ_RUNS (default 300000) sets the length of the fuzzing run.
# Needs everything refleaks.sh, sanitize.sh and fuzz.sh need.
set -uo pipefail
cd "$(dirname "$0")/../.."
mkdir -p build
logdir=build/reliability-logs
mkdir -p "$logdir"
python=${PYTHON:-python3}
summary=()
failed=0

run() {  # run NAME COMMAND...: records PASS/FAIL, the run time and the log's closing line
    local name=$1
    shift
    local start=$SECONDS
    if "$@" >"$logdir/$name.log" 2>&1; then
        result=PASS
    else
        result=FAIL
        failed=1
    fi
    local last
    last=$(grep -E "passed|failed|skipped|report\(s\)|Done [0-9]+ runs|tests passed|error" "$logdir/$name.log" | tail -n 1)
    summary+=("$(printf '%-14s %s  %4ss  %s' "$name" "$result" $((SECONDS - start)) "$last")")
}

make build >/dev/null 2>&1 || { echo "make build failed"; exit 1; }
export PYTHONPATH=$PWD/build
# Every code block of the README and docs/, none left out for a missing library.
run docs env TARVU_DOCS_ALL=1 "$python" -m pytest -q -p no:cacheprovider tests/python/test_docs.py
run properties "$python" -m pytest -q -p no:cacheprovider tests/python/test_properties.py
run threads "$python" -m pytest -q -s -p no:cacheprovider tests/python/test_threads.py
run alloc-failure env TARVU_FULL_SWEEPS=1 "$python" -m pytest -q -s -p no:cacheprovider tests/python/test_alloc_failure.py
# The import under allocation failure on every supported version and the free-threaded 3.13.
# shellcheck disable=SC2046  # one version a word
run alloc-import tools/interpreters/every-python.sh --alloc-import $(bash tools/lib.sh python_versions) \
    "$(tools/interpreters/free-threaded-python.sh | tail -n 1)"
run refleaks tools/reliability/refleaks.sh
run sanitizers tools/reliability/sanitize.sh
run fuzz tools/reliability/fuzz.sh "${FUZZ_RUNS:-300000}"
run fresh-machine tools/roots/fresh-machine.sh
run free-threaded tools/reliability/free-threaded.sh
# The wheels as published: dist/ uploaded to a local index and installed by
# pip's own choice on every interpreter here, an old glibc (Debian 11), musl,
# the free-threaded 3.13, 3.14 and 3.15 in a root, arm64 under qemu, and the
# oldest and newest win_amd64 under Wine; the sdist built on 3.8 and 3.15.
run release tools/release/release-check.sh
# The versions only Debian's development suite ships, in a root of it: the
# C++ tests, the suite and the leak check from the built tree.
run newest tools/interpreters/test-in-root.sh
# The win_amd64 wheels that release-check does not run under Wine, and the
# win_arm64 links (compiled and linked; nothing here runs them).
mapfile -t windows < <(tools/windows/versions.sh)
run windows tools/windows/check.sh "${windows[@]:1:${#windows[@]}-2}"
run windows-arm64 tools/windows/build.sh --arch aarch64 --version "${windows[-1]}"
# The hosted workflows: actionlint (with shellcheck) and zizmor, offline.
run workflows tools/release/lint-workflows.sh
# The sdist and one wheel per toolchain, built in two clones of the last commit: the same bytes.
run reproducible tools/release/reproducible.sh

printf '%s\n' "${summary[@]}"
echo "logs: $logdir/"
exit $failed
