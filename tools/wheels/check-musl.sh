#!/usr/bin/env bash
# Builds the musllinux_1_2 x86_64 wheel for CPython 3.11 as `make wheels`
# does, installs it with pip into a venv of a CPython 3.11 built against musl
# (tools/interpreters/musl-python.sh, built on first use) and runs the Python suite there:
# the proof that the musllinux wheels load and work under musl's loader.
#
#   tools/wheels/check-musl.sh
#
# That interpreter has no ssl module: the test tools come as wheels for
# musllinux, downloaded by this machine's pip into a directory first. Prints
# one line:
#   musl-3.11  cp311 x86_64  PASS (520 passed, 23 skipped)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
HERE=$TOOLS/wheels
WORK=$REPO/build/musl-check
LOG=$WORK/check.log
TOOL_PYTHON=$(tool_python)
mkdir -p "$WORK"
: >"$LOG"

musl_python=$("$TOOLS/interpreters/musl-python.sh" | tail -n 1)
status=PASS
{
    rm -rf "$WORK/wheels" "$WORK/venv"
    TARVU_WHEELS_BUILD=$WORK/build "$HERE/build.sh" --arch x86_64 --libc musl \
        --python "$("$TOOLS/interpreters/find-python.sh" 3.11)" --out "$WORK/wheels" &&
        "$TOOL_PYTHON" -m pip download -q --disable-pip-version-check -d "$WORK/tools" --only-binary :all: \
            --platform musllinux_1_2_x86_64 --python-version 3.11 --implementation cp --abi cp311 \
            pytest hypothesis mypy &&
        "$musl_python" -m venv "$WORK/venv" &&
        "$WORK/venv/bin/python" -m pip install -q --disable-pip-version-check --no-index --find-links "$WORK/tools" \
            pytest hypothesis mypy "$WORK"/wheels/*.whl &&
        # From a neutral directory, so the module comes from the venv.
        (cd "$WORK" && env -u PYTHONPATH venv/bin/python -W error -c '
import platform, sysconfig, tarvu
print(tarvu.__file__, sysconfig.get_config_var("HOST_GNU_TYPE"), platform.libc_ver())') &&
        (cd "$WORK" && env -u PYTHONPATH venv/bin/python -m pytest -q -rfEs -p no:cacheprovider "$REPO/tests/python")
} >>"$LOG" 2>&1 || status=FAIL
counts=$(pytest_summary "$LOG")
printf '%-10s %s %-7s %s (%s)\n' musl-3.11 cp311 x86_64 "$status" "${counts:-no test run; log $LOG}"
[[ $status == PASS ]]
