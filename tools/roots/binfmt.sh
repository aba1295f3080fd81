#!/usr/bin/env bash
# Lets the kernel run ARCH (a Debian architecture name) programs under Debian's
# qemu-user-static, so a foreign root's programs and their subprocesses run
# emulated. Idempotent.
set -euo pipefail
case $1 in
    arm64) qemu=aarch64 ;;
    *) qemu=$1 ;;
esac
BINFMT=/proc/sys/fs/binfmt_misc
if [[ ! -e $BINFMT/register ]]; then
    mount -t binfmt_misc binfmt_misc "$BINFMT"
fi
if [[ ! -e $BINFMT/qemu-$qemu ]]; then
    conf=/usr/lib/binfmt.d/qemu-$qemu.conf
    [[ -f $conf ]] || { echo "no $conf: apt-get install qemu-user-static" >&2; exit 1; }
    cat "$conf" >"$BINFMT/register"
fi
