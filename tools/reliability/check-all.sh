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
run wheel-ft tools/interpreters/every-python.sh --wheel "$(tools/interpreters/free-threaded-python.sh | tail -n 1)"
# The wheels on other systems: an old glibc (Debian 11), and arm64 under qemu.
run wheel-glibc tools/wheels/check-in-root.sh bullseye amd64
run wheel-arm64 tools/wheels/check-in-root.sh bookworm arm64
# The versions only Debian's development suite ships, in a root of it: the
# suites from the built tree, the x86_64 wheels, and the aarch64 cp315 wheel
# under qemu.
run newest tools/interpreters/test-in-root.sh
run wheel-cp314 tools/wheels/check-in-root.sh unstable amd64 3.14
run wheel-cp315 tools/wheels/check-in-root.sh unstable amd64 3.15
run wheel-cp315-arm64 tools/wheels/check-in-root.sh unstable arm64 3.15
# The win_amd64 wheels under Wine, and the win_arm64 link.
run windows tools/windows/check.sh
# The musllinux wheel under a musl CPython.
run wheel-musl tools/wheels/check-musl.sh
# The hosted workflows: actionlint (with shellcheck) and zizmor, offline.
run workflows tools/release/lint-workflows.sh
# The sdist and one wheel per toolchain, built in two clones of the last commit: the same bytes.
run reproducible tools/release/reproducible.sh

printf '%s\n' "${summary[@]}"
echo "logs: $logdir/"
exit $failed
