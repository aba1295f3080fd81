#!/usr/bin/env bash
# Makes (once) and prints the path of a minimal Debian root, cached under
# ${XDG_CACHE_HOME:-~/.cache}/tarvu/roots/: for checking wheels on another
# system, and for running CPython versions the machine has no build of.
#
#   tools/roots/debian-root.sh SUITE ARCH [X.Y...]
#       e.g. bullseye amd64; bookworm arm64; unstable amd64 3.14 3.15
#
# Without versions the root holds the suite's python3 with venv and pip
# support. With versions it holds Debian's python3.X of each instead, with
# headers and venv support; on the machine's own architecture also what
# building and testing tarvu needs (g++, cmake, GoogleTest, the debug
# interpreters, Debian's pytest and hypothesis for them, valgrind for
# bench/instructions.py) and the arm64 headers, from which the aarch64 wheels
# are built.
#
# A root made from an older package list gets the packages it lacks installed
# into it, in place: the list is kept in the root's ready mark.
#
# The archive address comes from this machine's apt configuration. The root
# is made by mmdebstrap (installed here when missing), a foreign architecture
# under Debian's qemu-user-static through binfmt_misc, so every program in the
# root, subprocesses included, runs emulated. A development suite's Release
# file may be past its validity date, so that is not checked. The machine's
# pip configuration is copied in by run-in-root.sh.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"

SUITE=$1
ARCH=$2
shift 2
VERSIONS=("$@")
CACHE=$CACHE_HOME/roots
NAME=$SUITE-$ARCH
host_arch=$(dpkg --print-architecture)
if ((${#VERSIONS[@]})); then
    NAME+=-py$(
        IFS=-
        echo "${VERSIONS[*]}"
    )
    packages=(ca-certificates)
    for version in "${VERSIONS[@]}"; do
        packages+=("python$version" "python$version-venv")
        if [[ $ARCH == "$host_arch" ]]; then
            packages+=("python$version-dev" "python$version-dbg")
            [[ $host_arch == arm64 ]] || packages+=("libpython$version-dev:arm64")
        fi
    done
    if [[ $ARCH == "$host_arch" ]]; then
        packages+=(g++ cmake make git libgtest-dev libgmock-dev python3-pytest python3-hypothesis valgrind)
    fi
else
    packages=(python3 python3-venv python3-pip ca-certificates)
fi
ROOT=$CACHE/$NAME

# The ready mark holds the package list the root was made (or last completed) with.
wanted=$(printf '%s\n' "${packages[@]}")
if [[ -f $ROOT/.tarvu-ready && $(<"$ROOT/.tarvu-ready") == "$wanted" ]]; then
    echo "$ROOT"
    exit 0
fi

tools=(mmdebstrap)
[[ $ARCH == "$host_arch" ]] || tools+=(arch-test qemu-user-static)
apt_install "${tools[@]}"
architectures=$ARCH
if [[ $ARCH != "$host_arch" ]]; then
    "$TOOLS/roots/binfmt.sh" "$ARCH"
elif [[ ${packages[*]} == *:arm64* ]]; then
    architectures+=,arm64
fi

# Made beside the cache entry and moved into place whole, so that an
# interrupted run leaves nothing that looks ready.
mkdir -p "$CACHE"
exec 9>"$ROOT.lock"
flock 9
log=$CACHE/$NAME.log
if [[ -f $ROOT/.tarvu-ready ]]; then
    if [[ $(<"$ROOT/.tarvu-ready") != "$wanted" ]]; then
        echo "-- installing what the $NAME root lacks (log: $log)" >&2
        # dpkg wants ldconfig and start-stop-daemon on PATH, which run-in-root.sh leaves out.
        if ! "$TOOLS/roots/run-in-root.sh" "$ROOT" sh -c 'PATH=/usr/sbin:/usr/bin:/sbin:/bin
            apt-get -qq update && DEBIAN_FRONTEND=noninteractive apt-get -qq install -y "$@"' \
            apt "${packages[@]}" >>"$log" 2>&1; then
            tail -n 20 "$log" >&2
            echo "-- could not complete the $NAME root; log: $log" >&2
            exit 1
        fi
        echo "$wanted" >"$ROOT/.tarvu-ready"
    fi
    echo "$ROOT"
    exit 0
fi
partial=$ROOT.partial
rm -rf --one-file-system "$partial"
echo "-- making the $NAME root in $ROOT, about two minutes (log: $log)" >&2
if ! mmdebstrap --variant=minbase --architectures="$architectures" --include="$(
    IFS=,
    echo "${packages[*]}"
)" --aptopt='Acquire::Check-Valid-Until "false"' "$SUITE" "$partial" "$(archive_uri)" >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    rm -rf --one-file-system "$partial"
    echo "-- could not make the $NAME root; log: $log" >&2
    exit 1
fi
echo "$wanted" >"$partial/.tarvu-ready"
rm -rf --one-file-system "$ROOT"
mv "$partial" "$ROOT"
echo "$ROOT"
