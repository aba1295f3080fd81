#!/usr/bin/env bash
# Prints, as its last line, the path of a Windows pyconfig.h for CPython X.Y.
#
#   tools/windows/pyconfig.sh X.Y
#
# Include/ is the same source on every platform; only pyconfig.h is written
# per operating system, and Windows' is a hand-written file in the source tree
# (PC/pyconfig.h, PC/pyconfig.h.in from 3.13 on). The first run takes it from
# the CPython sources inside Debian's source packages (those of SOURCES below,
# through tools/roots/debian-source.sh) into
# ${XDG_CACHE_HOME:-~/.cache}/tarvu/windows-pyconfig/. A version Debian does
# not serve takes the nearest one's, the older on a tie: the file changes
# little between versions, and the module's compile-time checks
# (src/boundary/compat.h) and the suite under Wine prove each pairing.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
MINOR=$1
CACHE=$CACHE_HOME/windows-pyconfig
# The suites that serve CPython sources of the versions the Windows wheels
# are built for: Debian 11's 3.9, Debian 12's 3.11, the development suite's 3.13.
SOURCES=("bullseye python3.9" "bookworm python3.11" "unstable python3.13")

if [[ ! -f $CACHE/.complete ]]; then
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/tarvu-windows-pyconfig.XXXXXX")
    trap 'rm -rf "$WORK"' EXIT
    mkdir -p "$WORK/out"
    for source in "${SOURCES[@]}"; do
        read -r suite package <<<"$source"
        # A suite that no longer serves its version leaves that one out.
        tarball=$("$TOOLS/roots/debian-source.sh" "$suite" "$WORK/debian" "$package") || continue
        version=${package#python}
        tar -xf "$tarball" -C "$WORK" --wildcards '*/PC/pyconfig.h' '*/PC/pyconfig.h.in' 2>/dev/null || true
        found=$(find "$WORK" -path "*/Python-$version.*/PC/pyconfig.h*" | sort | head -n 1)
        [[ -n $found ]] || { echo "windows-pyconfig: no PC/pyconfig.h in $(basename "$tarball")" >&2; exit 1; }
        cp "$found" "$WORK/out/$version.h"
        echo "windows-pyconfig: $version from $(basename "$tarball")" >&2
    done
    ls "$WORK"/out/*.h >/dev/null 2>&1 || { echo "windows-pyconfig: Debian serves no CPython source" >&2; exit 1; }
    mkdir -p "$CACHE"
    cp "$WORK"/out/*.h "$CACHE"/
    touch "$CACHE/.complete"
fi

# The nearest version that was served; the older one on a tie.
want=${MINOR#3.}
best=""
best_distance=""
for file in "$CACHE"/3.*.h; do
    have=$(basename "$file" .h)
    have=${have#3.}
    distance=$((have > want ? have - want : want - have))
    if [[ -z $best_distance ]] || ((distance < best_distance || (distance == best_distance && have < ${best#3.}))); then
        best=3.$have
        best_distance=$distance
    fi
done
echo "$CACHE/$best.h"
