#!/usr/bin/env bash
# Prepares the CPython headers to build a wheel for PYTHON's version on ARCH,
# in DEST, and prints the include directory.
#
#   tools/wheels/headers.sh PYTHON ARCH DEST
#
# The headers are the interpreter's own; only pyconfig.h is per architecture.
# For the build machine's architecture it is the interpreter's (Debian's
# multiarch wrapper resolved to the real file). For another 64-bit Linux
# architecture it is derived from it: x86_64 and aarch64 are both LP64 with
# the same type sizes and alignments; configure differs in the x87/x86-64
# inline-assembly checks, in wchar_t being unsigned (usable as UCS-4) and in
# the support tier. (Plain char's sign comes from the compiler.) For Debian's
# CPython 3.11 the result is byte-identical to Debian's arm64 pyconfig.h. The
# module
# checks the type sizes at compile time (src/boundary/compat.h).
set -euo pipefail
PYTHON=$1
ARCH=$2
DEST=$3

read -r includepy config multiarch < <("$PYTHON" -c '
import sysconfig as s
print(s.get_config_var("INCLUDEPY"), s.get_config_h_filename(), s.get_config_var("MULTIARCH") or "-")')
dir=$DEST/$(basename "$includepy")
rm -rf "$DEST"
mkdir -p "$DEST"
cp -rL "$includepy" "$dir"
# Debian's pyconfig.h only includes <MULTIARCH/python3.X/pyconfig.h>.
if ! grep -q '^#define SIZEOF_VOID_P' "$config"; then
    config=/usr/include/$multiarch/$(basename "$includepy")/pyconfig.h
fi
host=$(uname -m)
if [[ $ARCH == "$host" ]]; then
    cp "$config" "$dir/pyconfig.h"
elif [[ $host == x86_64 && $ARCH == aarch64 ]]; then
    sed -E -e 's|^#define (HAVE_GCC_ASM_FOR_X(64\|87)) 1$|/* #undef \1 */|' \
        -e 's|^/\* #undef HAVE_USABLE_WCHAR_T \*/$|#define HAVE_USABLE_WCHAR_T 1|' \
        -e 's|^#define PY_SUPPORT_TIER 1$|#define PY_SUPPORT_TIER 2|' \
        "$config" >"$dir/pyconfig.h"
else
    echo "no pyconfig.h for $ARCH from a $host interpreter" >&2
    exit 1
fi
echo "$dir"
