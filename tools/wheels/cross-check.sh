#!/usr/bin/env bash
# Compiles and links the module for macOS on arm64 and x86_64 with zig's clang,
# through CMakeLists.txt's Apple branch, against the CPython 3.11 headers with a
# pyconfig.h made for each target (tools/wheels/headers.sh). Nothing here can
# load a Mach-O module; what is checked is what can be read from the file:
#   - it is a Mach-O library for the target's architecture that needs no
#     library but libSystem (the C API is resolved by the interpreter at load
#     time); zig makes a dylib where Apple's linker makes a bundle;
#   - _PyInit_tarvu is the only symbol of the module's own that it exports.
#     zig's Mach-O linker rejects export lists, so the replaceable global
#     operator new and delete of its static libc++ stay exported here; with
#     Apple's linker the export list leaves _PyInit_tarvu alone.
# Then cibuildwheel lists the builds pyproject.toml gives a hosted runner
# (tools/wheels/hosted_builds.py). One line per target and platform; exits
# non-zero if any fails.
#
#   tools/wheels/cross-check.sh [TARGET...]     default: aarch64-macos x86_64-macos
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
WORK=${TARVU_CROSS_BUILD:-$REPO/build/cross}
TOOL_PYTHON=$(tool_python) || exit 1
# The deployment target the hosted macOS wheels are built for (pyproject.toml).
MACOS=11.0
TARGETS=("$@")
((${#TARGETS[@]})) || TARGETS=(aarch64-macos x86_64-macos)

find_zig --wheels || exit 1
objdump=$(command -v llvm-objdump) || {
    echo "llvm-objdump is missing: run tools/install-deps.sh --wheels" >&2
    exit 1
}
python=$("$TOOLS/interpreters/find-python.sh" 3.11) || exit 1
mkdir -p "$WORK"
# CMake's compiler probes leave a file named "-" where they run.
cd "$WORK" || exit 1

check_target() {
    local target=$1 arch=${1%%-*}
    local tools=$WORK/zig-$target build=$WORK/build-$target log=$WORK/$target.log
    : >"$log"
    zig_wrappers "$tools" "$target.$MACOS" --bundle-as-shared
    local include
    include=$("$TOOLS/wheels/headers.sh" "$python" "$target" "$WORK/include-$target") || return 1
    # CMAKE_SYSTEM_NAME makes the build Apple's (bundle, export options);
    # the interpreter only answers version questions.
    zig_build "$tools" "$build" "$log" -DCMAKE_SYSTEM_NAME=Darwin -DPython_EXECUTABLE="$python" \
        -DPython_INCLUDE_DIR="$include" -DTARVU_EXT_SUFFIX=.cpython-311-darwin.so || return 1
    local module=$build/tarvu.cpython-311-darwin.so header dylibs exports own
    header=$("$objdump" --macho --private-header "$module" 2>>"$log")
    # A dylib's list starts with its own name.
    dylibs=$("$objdump" --macho --dylibs-used "$module" 2>>"$log" | tail -n +2 | awk '{ print $1 }' |
        grep -vxF "$("$objdump" --macho --dylib-id "$module" | tail -n 1)")
    exports=$("$objdump" --macho --exports-trie "$module" 2>>"$log" | awk '/^0x/ { print $2 }')
    own=$(grep -Ev '^__Z(nw|na|dl|da)' <<<"$exports")
    local want_cpu=ARM64
    [[ $arch == x86_64 ]] && want_cpu=X86_64
    if ! grep -Eq "MH_MAGIC_64 +$want_cpu .* DYLIB " <<<"$header"; then
        echo "-- $target: not a $want_cpu Mach-O dynamic library:" >&2
        echo "$header" >&2
        return 1
    fi
    if [[ $dylibs != /usr/lib/libSystem.B.dylib ]]; then
        echo "-- $target: needs more than libSystem:" $dylibs >&2
        return 1
    fi
    if [[ $own != _PyInit_tarvu ]]; then
        echo "-- $target: exports of its own other than _PyInit_tarvu:" $own >&2
        return 1
    fi
    printf '%-14s PASS (dylib, libSystem only, exports _PyInit_tarvu and %d operator new/delete)\n' \
        "$target" "$(($(wc -l <<<"$exports") - 1))"
}

failed=0
for target in "${TARGETS[@]}"; do
    check_target "$target" || {
        printf '%-14s FAIL (log %s)\n' "$target" "$WORK/$target.log"
        failed=1
    }
done
# What a hosted runner would build, per platform, against tools/python-versions.
"$TOOL_PYTHON" "$TOOLS/wheels/hosted_builds.py" || failed=1
exit $failed
