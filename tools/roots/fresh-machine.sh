#!/usr/bin/env bash
# Runs the README's two commands as a new user would: in a minimal Debian root
# holding only python3 (Debian's own), g++, cmake, make and git, on a fresh
# clone of this repository's current commit. Both must exit 0.
#
#   tools/roots/fresh-machine.sh [--keep] [SUITE]      SUITE: bookworm (default), trixie
#
# Needs root (debootstrap, chroot, mounts) and the network the machine's apt
# and pip configurations reach. The pristine root is made once and cached in
# ${XDG_CACHE_HOME:-$HOME/.cache}/tarvu/fresh-machine/; every run works on a
# copy of it and removes the copy afterwards (--keep leaves it for a look).
# The archive address comes from the machine's apt sources, and the copy gets
# the machine's apt options and pip configuration, so it reaches what the
# machine does.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
SUITE=bookworm
KEEP=0
for arg in "$@"; do
    case $arg in
        --keep) KEEP=1 ;;
        -h | --help) sed -n '2,13p' "$0"; exit 0 ;;
        -*) echo "unknown option: $arg" >&2; exit 2 ;;
        *) SUITE=$arg ;;
    esac
done
ARCH=$(dpkg --print-architecture)
CACHE=$CACHE_HOME/fresh-machine
PRISTINE=$CACHE/$SUITE-$ARCH
# ca-certificates too: every installed Debian system has it, and pip needs it.
PACKAGES=python3,g++,cmake,make,git,ca-certificates

die() { echo "fresh-machine: $*" >&2; exit 1; }
[[ $(id -u) -eq 0 ]] || die "needs root (debootstrap, chroot and mounts)"
for tool in debootstrap chroot unshare git; do
    command -v "$tool" >/dev/null || die "$tool is missing (apt-get install debootstrap util-linux git)"
done

# One run at a time makes or copies the pristine root; a root being made is
# never at the pristine path, so no run copies or removes a half-made one.
mkdir -p "$CACHE"
exec 9>"$PRISTINE.lock"
flock 9
if [[ $(cat "$PRISTINE/.complete" 2>/dev/null) != "$PACKAGES" ]]; then
    echo "-- making a minimal $SUITE root in $PRISTINE (once)"
    partial=$(mktemp -d "$PRISTINE.partial.XXXXXX")
    log=$partial.log
    if ! debootstrap --variant=minbase --include="$PACKAGES" "$SUITE" "$partial" "$(archive_uri)" >"$log" 2>&1; then
        tail -n 20 "$log" >&2
        rm -rf --one-file-system "$partial"
        die "debootstrap failed; log: $log"
    fi
    rm -rf "$partial"/var/cache/apt/archives/*.deb
    echo "$PACKAGES" >"$partial/.complete"
    rm -rf --one-file-system "$PRISTINE"
    mv "$partial" "$PRISTINE"
    mv "$log" "$CACHE/debootstrap-$SUITE.log"
fi

WORK=$(mktemp -d "$CACHE/run-$SUITE.XXXXXX")
cleanup() {
    if ((KEEP)); then
        echo "-- kept $WORK"
    else
        rm -rf --one-file-system "$WORK"
    fi
}
trap cleanup EXIT
MACHINE=$WORK/root
cp -a "$PRISTINE" "$MACHINE"
flock -u 9
exec 9>&-

# The machine's apt options and pip configuration and name resolution, as
# copies. The root keeps the sources debootstrap wrote: the same archive, for
# the root's own suite.
cp -a /etc/apt/apt.conf.d/. "$MACHINE"/etc/apt/apt.conf.d/
cp -L /etc/resolv.conf "$MACHINE"/etc/resolv.conf
copy_pip_configuration "$MACHINE"
pip_env=()
while IFS= read -r line; do pip_env+=("$line"); done < <(env | grep -E '^PIP_' || true)

# The repository as a new user gets it: a clone of the current commit.
git clone -q --no-hardlinks "$REPO" "$MACHINE/root/tarvu"
git -C "$MACHINE/root/tarvu" checkout -q "$(git -C "$REPO" rev-parse HEAD)"
if [[ -n $(git -C "$REPO" status --porcelain --untracked-files=no) ]]; then
    echo "-- note: uncommitted changes in $REPO are not part of the clone"
fi

# The commands run as root in their own mount namespace, so the mounts
# vanish with it whatever happens.
cat >"$MACHINE/root/readme-commands.sh" <<'EOF'
set -e
cd /root/tarvu
for command in "make example" "make test"; do
    echo "-- $command"
    start=$(date +%s)
    status=0
    $command || status=$?
    echo "-- $command: exit $status, $(($(date +%s) - start)) s"
    [ "$status" -eq 0 ] || exit "$status"
done
EOF
echo "-- $SUITE root with $(chroot "$MACHINE" python3 --version); running the README's commands"
unshare --mount --propagation private bash -euc '
    machine=$1
    shift
    mount -t proc proc "$machine/proc"
    mount --rbind /dev "$machine/dev"
    mount -t tmpfs tmpfs "$machine/tmp"
    exec chroot "$machine" env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@" sh /root/readme-commands.sh
' fresh-machine "$MACHINE" "${pip_env[@]}"
echo "-- PASS: make example and make test on a fresh $SUITE root"
