#!/usr/bin/env bash
# Installs those of the named Debian packages that are missing, quietly; does
# nothing (and needs no network) when all are there. Waits for another apt
# process's lock rather than failing.
#
#   tools/apt-install.sh PACKAGE...
set -euo pipefail
missing=()
for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
((${#missing[@]})) || exit 0
SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; fi
APT=(apt-get -o DPkg::Lock::Timeout=900 -qq)
echo "installing Debian packages: ${missing[*]}" >&2
$SUDO "${APT[@]}" update
DEBIAN_FRONTEND=noninteractive $SUDO "${APT[@]}" install -y --no-install-recommends "${missing[@]}" >/dev/null
