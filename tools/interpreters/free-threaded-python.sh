#!/usr/bin/env bash
# Prints, as its last line, the path of a free-threaded CPython 3.13
# interpreter. The first run builds it from the upstream tarball inside
# Debian's python3.13 source package (development suite, fetched by
# tools/roots/debian-source.sh) into ${XDG_CACHE_HOME:-~/.cache}/tarvu/; later runs
# reuse it. Progress goes to stderr; stdout carries only the path.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"

PREFIX=$CACHE_HOME/python3.13t
INTERPRETER=$PREFIX/bin/python3.13t
BUILD_LOG=$CACHE_HOME/python3.13t.log
SUITE=unstable
SOURCE_PACKAGE=python3.13

log() { echo "free-threaded-python: $*" >&2; }

usable() {
    [[ -x "$INTERPRETER" ]] &&
        "$INTERPRETER" -c 'import sysconfig, sys; sys.exit(0 if sysconfig.get_config_var("Py_GIL_DISABLED") else 1)' \
            >/dev/null 2>&1
}

if usable; then
    echo "$INTERPRETER"
    exit 0
fi

# Headers the standard library needs so pip (ssl), compression and sqlite work.
apt_install build-essential pkg-config dpkg-dev xz-utils libssl-dev zlib1g-dev \
    libffi-dev libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev libncurses-dev uuid-dev

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tarvu-python3.13t.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
tarball=$("$TOOLS/roots/debian-source.sh" "$SUITE" "$WORK" "$SOURCE_PACKAGE") || exit 1

log "unpacking $(basename "$tarball")"
tar -xf "$tarball" -C "$WORK"
source_dir=$(find "$WORK" -maxdepth 1 -type d -name 'Python-3.13*' | head -n1)
if [[ -z "$source_dir" ]]; then
    log "the tarball holds no Python-3.13 tree"
    exit 1
fi

log "configuring (--disable-gil) into $PREFIX (log: $BUILD_LOG)"
cd "$source_dir"
mkdir -p "$CACHE_HOME" && : >"$BUILD_LOG"
step "$BUILD_LOG" configure ./configure --disable-gil --prefix="$PREFIX" --with-ensurepip=install || exit 1
log "building (a few minutes)"
step "$BUILD_LOG" make nice -n 10 make -j2 || exit 1
log "installing"
rm -rf "$PREFIX"
step "$BUILD_LOG" install make install || exit 1
if ! usable; then
    log "the built interpreter is not free-threaded"
    exit 1
fi
echo "$INTERPRETER"
