#!/usr/bin/env bash
# Prepares the CPython headers to build a wheel for PYTHON's version on ARCH
# (x86_64, aarch64, or with -macos or -windows after it), in DEST, and prints
# the include directory.
#
#   tools/wheels/headers.sh PYTHON ARCH DEST
#
# PYTHON is an interpreter's path, or what interpreters/find-python.sh prints
# for one in a root (a command, then the interpreter; one argument), and DEST
# then lies in this work tree. The headers are the interpreter's own; only
# pyconfig.h is per target. For Windows it is Windows' own
# (windows/pyconfig.sh): Include/ is the same source on every platform. For
# the build machine's architecture it is the interpreter's (Debian's multiarch wrapper resolved to the real file).
# For another architecture and a Debian interpreter it is Debian's for that
# architecture where installed (libpython3.X-dev:arm64, as in the development
# suite's root). Failing that, for another 64-bit Linux architecture it is
# derived from the interpreter's: x86_64 and aarch64 are both LP64 with the
# same type sizes and alignments; configure differs in the x87/x86-64
# inline-assembly checks, in wchar_t being unsigned (usable as UCS-4) and in
# the support tier. (Plain char's sign comes from the compiler.) For Debian's
# CPython 3.11 the result is byte-identical to Debian's arm64 pyconfig.h. The
# module checks the type sizes at compile time (src/boundary/compat.h).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
split_interpreter "$1"
ARCH=$2
DEST=$3

read -r includepy config multiarch minor < <("${prefix[@]}" "$interpreter" -c '
import sysconfig as s
print(s.get_config_var("INCLUDEPY"), s.get_config_h_filename(), s.get_config_var("MULTIARCH") or "-",
      s.get_config_var("py_version_short"))')
dir=$DEST/$(basename "$includepy")
rm -rf "$DEST"
mkdir -p "$DEST"
"${prefix[@]}" cp -rL "$includepy" "$dir"
# Debian's pyconfig.h only includes <MULTIARCH/python3.X/pyconfig.h>.
if ! "${prefix[@]}" grep -q '^#define SIZEOF_VOID_P' "$config"; then
    config=/usr/include/$multiarch/$(basename "$includepy")/pyconfig.h
fi
host=$(uname -m)
debian_arch_config=/usr/include/$ARCH-linux-gnu/$(basename "$includepy")/pyconfig.h
if [[ $ARCH == *-windows ]]; then
    # pyconfig.h before 3.13 defines MS_WIN64 for Microsoft's compiler only;
    # without it a 64-bit GNU-style target would be described as 32-bit.
    {
        printf '#if defined(_WIN64) && !defined(MS_WIN64)\n#define MS_WIN64\n#endif\n'
        cat "$("$TOOLS/windows/pyconfig.sh" "$minor" | tail -n 1)"
    } >"$dir/pyconfig.h"
elif [[ $ARCH == "$host" ]]; then
    "${prefix[@]}" cp "$config" "$dir/pyconfig.h"
elif [[ $interpreter == /usr/bin/* ]] && "${prefix[@]}" test -f "$debian_arch_config"; then
    "${prefix[@]}" cp "$debian_arch_config" "$dir/pyconfig.h"
elif [[ $host == x86_64 && $ARCH == aarch64 ]]; then
    "${prefix[@]}" cat "$config" | sed -E -e 's|^#define (HAVE_GCC_ASM_FOR_X(64\|87)) 1$|/* #undef \1 */|' \
        -e 's|^/\* #undef HAVE_USABLE_WCHAR_T \*/$|#define HAVE_USABLE_WCHAR_T 1|' \
        -e 's|^#define PY_SUPPORT_TIER 1$|#define PY_SUPPORT_TIER 2|' >"$dir/pyconfig.h"
elif [[ $host == x86_64 && $ARCH == *-macos ]]; then
    # For the macOS cross-check: configure on Darwin leaves the POSIX/X/Open
    # levels undefined (they would hide Darwin's own interfaces), there is no
    # crypt.h, pthread_key_t and fpos_t are 8 bytes, and on arm64 long double is
    # double. Python.h reads nothing else of what differs from Linux.
    mac=(-e 's@^#define (_POSIX_C_SOURCE|_XOPEN_SOURCE|_XOPEN_SOURCE_EXTENDED) .*$@/* #undef \1 */@'
        -e 's@^#define (HAVE_CRYPT_H|HAVE_CRYPT_R) 1$@/* #undef \1 */@'
        -e 's@^#define (SIZEOF_PTHREAD_KEY_T|SIZEOF_FPOS_T) [0-9]+$@#define \1 8@'
        -e 's@^/\* #undef WITH_DYLD \*/$@#define WITH_DYLD 1@')
    if [[ $ARCH == aarch64-macos ]]; then
        mac+=(-e 's@^#define (HAVE_GCC_ASM_FOR_X(64|87)) 1$@/* #undef \1 */@'
            -e 's@^#define SIZEOF_LONG_DOUBLE 16$@#define SIZEOF_LONG_DOUBLE 8@')
    fi
    "${prefix[@]}" cat "$config" | sed -E "${mac[@]}" >"$dir/pyconfig.h"
else
    echo "no pyconfig.h for $ARCH from a $host interpreter" >&2
    exit 1
fi
echo "$dir"
