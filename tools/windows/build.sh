#!/usr/bin/env bash
# Builds Windows wheels of tarvu on Linux with zig's clang
# (x86_64-windows-gnu), one per CPython version.
#
#   tools/windows/build.sh [--version X.Y]... [--arch x86_64|aarch64] [--out DIR]
#
# Defaults: every version tools/windows/versions.sh names, x86_64, wheels into
# wheelhouse/. For each version the headers are the pyenv CPython's with
# Windows' pyconfig.h in place of its own (tools/wheels/headers.sh), and the
# import library is made from the exports of the embeddable CPython's DLL
# (tools/windows/python.sh, tools/windows/dll_exports.py). Each wheel
# (win_amd64) is checked with `delvewheel show`: it must need no DLL but the
# interpreter's and the system's. --arch aarch64 compiles and links the
# win_arm64 module only (from 3.11): no Windows arm64 interpreter runs here to
# prove a wheel. The last line of output names each wheel or module built.
# Build trees: build/windows/ (or $TARVU_WINDOWS_BUILD).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
HERE=$TOOLS/windows
WORK=${TARVU_WINDOWS_BUILD:-$REPO/build/windows}
OUT=$REPO/wheelhouse
TOOL_PYTHON=$(tool_python)
ARCH=x86_64
VERSIONS=()

while (($#)); do
    case $1 in
        --version) VERSIONS+=("$2"); shift 2 ;;
        --arch) ARCH=$2; shift 2 ;;
        --out) OUT=$2; shift 2 ;;
        -h | --help) sed -n '2,17p' "$0"; exit 0 ;;
        *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
done
((${#VERSIONS[@]})) || mapfile -t VERSIONS < <("$HERE/versions.sh")
case $ARCH in
    x86_64) platform=win_amd64; machine=i386:x86-64 ;;
    aarch64) platform=win_arm64; machine=arm64 ;;
    *) echo "no Windows build for $ARCH" >&2; exit 2 ;;
esac

find_zig --windows
# The linker writes this date into each module's header instead of the time
# of the link, so the same source gives the same module.
date_builds
mkdir -p "$WORK" "$OUT"
OUT=$(cd "$OUT" && pwd)
# CMake's compiler probes leave a file named "-" where they run.
cd "$WORK"

tools=$WORK/zig-$ARCH-windows
zig_wrappers "$tools" "$ARCH-windows-gnu"

built=()
for minor in "${VERSIONS[@]}"; do
    nodot=${minor//./}
    if [[ $ARCH == aarch64 ]] && ((${minor#3.} < 11)); then
        echo "-- cp$nodot-$platform: CPython for Windows on arm64 starts at 3.11; skipped" >&2
        continue
    fi
    name=cp$nodot-$platform
    log=$WORK/$name.log
    : >"$log"
    python=$("$TOOLS/interpreters/find-python.sh" "$minor")
    embed=$(PYTHON=$TOOL_PYTHON "$HERE/python.sh" "$minor" 2>>"$log") || { cat "$log" >&2; exit 1; }
    include=$("$TOOLS/wheels/headers.sh" "$python" "$ARCH-windows" "$WORK/include-$name" 2>>"$log") || { cat "$log" >&2; exit 1; }
    # The import library: every name the interpreter's DLL exports. The same
    # names serve arm64, whose DLL is built from the same source.
    library=$WORK/import-$name/libpython$nodot.a
    mkdir -p "$(dirname "$library")"
    "$TOOL_PYTHON" "$HERE/dll_exports.py" "$embed/python$nodot.dll" >"$WORK/import-$name/python$nodot.def"
    "$zig" dlltool -m "$machine" -D "python$nodot.dll" -d "$WORK/import-$name/python$nodot.def" -l "$library"
    build=$WORK/build-$name
    suffix=.cp$nodot-$platform.pyd
    # A module linked under another date is linked again: nothing else of
    # the build changes with the date.
    if [[ "$(cat "$build/.source-date-epoch" 2>/dev/null)" != "$SOURCE_DATE_EPOCH" ]]; then
        rm -f "$build/tarvu$suffix"
        mkdir -p "$build"
        echo "$SOURCE_DATE_EPOCH" >"$build/.source-date-epoch"
    fi
    zig_build "$tools" "$build" "$log" -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR="$ARCH" \
        -DPython_INCLUDE_DIR="$include" -DTARVU_PYTHON_IMPORT_LIBRARY="$library" -DTARVU_EXT_SUFFIX="$suffix" || exit 1
    module=$build/tarvu$suffix
    check=("$TOOL_PYTHON" "$HERE/check_wheel.py" --machine "$ARCH" --python-dll "python$nodot.dll"
        --link-date "$SOURCE_DATE_EPOCH")
    if [[ $ARCH == aarch64 ]]; then
        "${check[@]}" "$module"
        built+=("$module")
        continue
    fi
    wheel=$("$TOOL_PYTHON" "$TOOLS/wheels/make_wheel.py" --module "$module" \
        --python-tag "cp$nodot" --abi-tag "cp$nodot" --platform "$platform" --out "$OUT")
    "${check[@]}" "$wheel" || { rm -f "$wheel"; exit 1; }
    built+=("$wheel")
done
printf '%s\n' "${built[@]}"
