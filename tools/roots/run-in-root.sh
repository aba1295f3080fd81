#!/usr/bin/env bash
# Runs a command inside a Debian root made by debian-root.sh, in a private
# mount namespace (the mounts vanish with it), with this machine's pip
# configuration: its config files, PIP_* variables and certificate bundle are
# copied in, and local directories they name are mounted read-only at the same
# paths, so pip in the root finds packages exactly as pip here does.
#
#   tools/roots/run-in-root.sh [--bind DIR]... ROOT COMMAND...
#
# --bind DIR mounts the machine's DIR read-write at the same path in the root,
# so a command given paths in it (a work tree, its build directories) finds
# them there; the command then also keeps the current directory when it lies
# in DIR, and the TARVU_*, PYTHON* and JOBS variables.
set -euo pipefail
binds=()
while [[ ${1:-} == --bind ]]; do
    binds+=("$(cd "$2" && pwd -P)")
    shift 2
done
ROOT=$1
shift

source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
copy_pip_configuration "$ROOT"
for file in /etc/resolv.conf "${PIP_CERT:-}" /etc/ssl/certs/ca-certificates.crt; do
    if [[ -n $file && -f $file ]]; then
        mkdir -p "$ROOT$(dirname "$file")"
        cp -L "$file" "$ROOT$file"
    fi
done

pip_env=()
while IFS= read -r line; do pip_env+=("$line"); done < <(env | grep -E '^PIP_' || true)

# Local directories named by the configuration: find-links directories, and
# for a file:// index the directory holding it (its pages link to files
# beside it).
local_dirs=()
while IFS= read -r dir; do
    [[ -d $dir ]] && local_dirs+=("$dir")
done < <({ "${PYTHON:-python3}" -m pip config list 2>/dev/null; printf '%s\n' "${pip_env[@]}"; } |
    grep -oE "(file://)?/[^ '\"]+" | sed -E 's|^file://(.*)/[^/]+/?$|\1|' | sort -u)

mounts='mount -t proc proc "$ROOT/proc"; mount --rbind /dev "$ROOT/dev";'
workdir=/
here=$(pwd -P)
for dir in "${binds[@]}"; do
    mounts+=" mkdir -p \"\$ROOT$dir\"; mount --bind \"$dir\" \"\$ROOT$dir\";"
    [[ $here == "$dir" || $here == "$dir"/* ]] && workdir=$here
done
if ((${#binds[@]})); then
    while IFS= read -r line; do pip_env+=("$line"); done < <(env | grep -E '^(TARVU_|PYTHON[A-Z_]+=|JOBS=)' || true)
fi
for dir in "${local_dirs[@]}"; do
    mounts+=" mkdir -p \"\$ROOT$dir\"; mount --bind -o ro \"$dir\" \"\$ROOT$dir\";"
done
export ROOT WORKDIR=$workdir
exec unshare --mount --propagation private bash -c "set -e; $mounts"' exec chroot "$ROOT" /usr/bin/env -i -C "$WORKDIR" HOME=/root PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 "$@"' \
    run-in-root "${pip_env[@]}" "$@"
