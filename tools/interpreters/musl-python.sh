#!/usr/bin/env bash
# Prints, as its last line, the path of a CPython 3.11 built against musl libc,
# the interpreter the musllinux wheels are proven with. The first run builds it
# into ${XDG_CACHE_HOME:-~/.cache}/tarvu/python3.11-musl/ (about four minutes);
# later runs reuse it. Progress goes to stderr; stdout carries only the path.
#
# Everything comes from Debian: musl and its gcc wrapper (musl-tools), and the
# upstream sources inside the python3.11, zlib, libffi and sqlite3 source
# packages of bookworm, the release that carries 3.11 (tools/roots/debian-source.sh).
# zlib (for pip and wheels), libffi (for ctypes) and SQLite (for sqlite3, which
# the recipes and mypy use) are built by the same musl toolchain and linked
# statically into the interpreter's extension modules; nothing of the
# machine's glibc side is seen by the build (Tcl only generates SQLite's
# single source file). There is no ssl module: pip
# installs from a directory of wheels only.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
PREFIX=$CACHE_HOME/python3.11-musl
INTERPRETER=$PREFIX/bin/python3.11
BUILD_LOG=$CACHE_HOME/python3.11-musl.log
SUITE=bookworm

log() { echo "musl-python: $*" >&2; }

usable() {
    [[ -x "$INTERPRETER" ]] &&
        "$INTERPRETER" -c 'import zlib, ctypes, sqlite3, socket, venv, subprocess, sys; sys.exit(sys.version_info[:2] != (3, 11))' \
            >/dev/null 2>&1 &&
        "$INTERPRETER" -m pip --version >/dev/null 2>&1 &&
        # The loader of a musl program names musl.
        readelf -l "$INTERPRETER" 2>/dev/null | grep -q 'ld-musl-'
}

if usable; then
    echo "$INTERPRETER"
    exit 0
fi

apt_install musl musl-dev musl-tools linux-libc-dev make xz-utils binutils pkgconf tcl

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tarvu-python3.11-musl.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
mapfile -t tarballs < <("$TOOLS/roots/debian-source.sh" "$SUITE" "$WORK/sources" python3.11 zlib libffi sqlite3)
((${#tarballs[@]} == 4)) || exit 1

unpack() {  # unpack TARBALL: prints the one directory it holds
    local dir=$WORK/src-$(basename "$1")
    mkdir -p "$dir"
    tar -xf "$1" -C "$dir"
    find "$dir" -mindepth 1 -maxdepth 1 -type d | head -n 1
}

# musl-gcc sees musl's headers and libraries only, and after them the
# kernel's (which belong to no libc: libffi and CPython include <linux/...>).
# The static libraries are position-independent, since they end up inside
# shared extension modules.
DEPS=$WORK/deps
KERNEL=$WORK/kernel-include
mkdir -p "$KERNEL"
ln -s /usr/include/linux /usr/include/asm-generic "$KERNEL/"
ln -s "/usr/include/$(gcc -print-multiarch)/asm" "$KERNEL/asm"
# Asked for its multiarch directory, the wrapper names musl's: gcc's answer is
# glibc's, which CPython's configure rejects beside musl and its setup.py
# would put among the include directories. The kernel's headers are the
# wrapper's own, since setup.py keeps only the -I options of CPPFLAGS.
multiarch=$(gcc -print-multiarch | sed 's/-gnu$/-musl/')
printf '#!/bin/sh\ncase "$1" in -print-multiarch | --print-multiarch) echo %s; exit 0 ;; esac\nexec musl-gcc -idirafter %s "$@"\n' \
    "$multiarch" "$KERNEL" >"$WORK/musl-cc"
chmod +x "$WORK/musl-cc"
export CC=$WORK/musl-cc CFLAGS="-O2 -fPIC" CPPFLAGS="-I$DEPS/include"
build_step() { step "$BUILD_LOG" "$@" || exit 1; }
mkdir -p "$CACHE_HOME" && : >"$BUILD_LOG"

log "building zlib (log: $BUILD_LOG)"
zlib=$(unpack "${tarballs[1]}")
(cd "$zlib" && build_step zlib-configure ./configure --prefix="$DEPS" --static && build_step zlib-make make -j2 install)

log "building libffi"
libffi=$(unpack "${tarballs[2]}")
(cd "$libffi" && build_step libffi-configure ./configure --prefix="$DEPS" --libdir="$DEPS/lib" --disable-shared \
    --enable-static --with-pic --disable-docs && build_step libffi-make make -j2 install)

log "building SQLite"
sqlite=$(unpack "${tarballs[3]}")
# Only the library: no shell, no Tcl binding; its headers and pkg-config file by hand,
# since the install target would build the shell too.
(cd "$sqlite" && build_step sqlite-configure ./configure --prefix="$DEPS" --disable-shared --enable-static \
    --disable-tcl --disable-readline --disable-editline && build_step sqlite-make make -j2 lib_install &&
    cp sqlite3.h sqlite3ext.h "$DEPS/include/" && cp sqlite3.pc "$DEPS/lib/pkgconfig/")

log "configuring CPython into $PREFIX"
python=$(unpack "${tarballs[0]}")
cd "$python"
# Only the libraries above are found through pkg-config, never the host's.
export PKG_CONFIG_LIBDIR=$DEPS/lib/pkgconfig PKG_CONFIG_PATH=""
build_step configure ./configure --prefix="$PREFIX" --with-ensurepip=install LDFLAGS="-L$DEPS/lib"
log "building (a few minutes)"
build_step make nice -n 10 make -j2
log "installing"
rm -rf "$PREFIX"
build_step install make install
if ! usable; then
    log "the built interpreter lacks zlib, ctypes, sqlite3, socket, venv or pip, or is not linked against musl"
    exit 1
fi
echo "$INTERPRETER"
