#!/usr/bin/env bash
# Makes (once) and prints the path of a minimal Debian root for checking
# wheels on another system, cached under ${XDG_CACHE_HOME:-~/.cache}/tarvu/.
#
#   tools/wheels/debian-root.sh SUITE ARCH     e.g. bullseye amd64, bookworm arm64
#
# The archive address comes from this machine's apt configuration. A foreign
# architecture is made with debootstrap --foreign and finished under Debian's
# qemu-user-static through binfmt_misc, so every program in the root,
# subprocesses included, runs emulated. The root holds python3 with venv and
# pip support; the machine's pip configuration is copied in by run-in-root.sh.
set -euo pipefail

SUITE=$1
ARCH=$2
CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/tarvu/roots
ROOT=$CACHE/$SUITE-$ARCH
PACKAGES=python3,python3-venv,python3-pip,ca-certificates

if [[ -f $ROOT/.tarvu-ready ]]; then
    echo "$ROOT"
    exit 0
fi

# The first archive (not the security one) the machine's apt sources name.
archive() {
    local uri
    uri=$(sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources 2>/dev/null | tr ' ' '\n' | grep -v security | head -n 1)
    if [[ -z $uri && -f /etc/apt/sources.list ]]; then
        uri=$(awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /:\/\//) { print $i; exit } }' /etc/apt/sources.list | grep -v security | head -n 1)
    fi
    [[ -n $uri ]] || { echo "no archive found in the apt configuration" >&2; exit 1; }
    echo "$uri"
}

host_arch=$(dpkg --print-architecture)
mkdir -p "$CACHE"
rm -rf "$ROOT"
log=$CACHE/$SUITE-$ARCH.log
echo "-- making the $SUITE $ARCH root in $ROOT (log: $log)" >&2
if [[ $ARCH == "$host_arch" ]]; then
    debootstrap --variant=minbase --include="$PACKAGES" "$SUITE" "$ROOT" "$(archive)" >"$log" 2>&1
else
    "$(dirname "$0")/binfmt.sh" "$ARCH"
    debootstrap --variant=minbase --foreign --arch="$ARCH" --include="$PACKAGES" "$SUITE" "$ROOT" "$(archive)" >"$log" 2>&1
    chroot "$ROOT" /debootstrap/debootstrap --second-stage >>"$log" 2>&1
fi
touch "$ROOT/.tarvu-ready"
echo "$ROOT"
