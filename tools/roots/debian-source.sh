#!/usr/bin/env bash
# Downloads the upstream (orig) tarballs of Debian source packages into DEST
# and prints their paths, one per package and in the order given.
#
#   tools/roots/debian-source.sh SUITE DEST PACKAGE...
#
# The archive address is read from the machine's own apt configuration: a
# temporary deb-src entry for SUITE is added, the sources downloaded, and the
# entry removed again (with a second update, so the machine's indexes are as
# they were). The index can list versions whose files are no longer served:
# the newest that downloads is taken. Progress goes to stderr.
set -euo pipefail
SUITE=$1
DEST=$2
shift 2

log() { echo "debian-source: $*" >&2; }

source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"

# One entry per suite and process: two scripts fetching at once keep apart.
ENTRY=/etc/apt/sources.list.d/tarvu-$SUITE-src-$$.sources
remove_entry() {
    if [[ -f "$ENTRY" ]]; then
        as_root rm -f "$ENTRY"
        log "removing the temporary entry and restoring the apt indexes"
        as_root "${APT[@]}" update >/dev/null 2>&1 || true
    fi
}
trap remove_entry EXIT

read -r ARCHIVE KEY < <(archive_entry) || {
    log "no Debian archive found in the apt configuration"
    exit 1
}
log "adding a temporary deb-src entry for $SUITE"
printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' "$ARCHIVE" "$SUITE" "$KEY" |
    as_root tee "$ENTRY" >/dev/null
as_root "${APT[@]}" update >/dev/null 2>&1 || true

mkdir -p "$DEST"
cd "$DEST"
tarballs=()
for package in "$@"; do
    mapfile -t versions < <(apt-cache showsrc "$package" 2>/dev/null | awk '/^Version:/ { print $2 }' | sort -uVr)
    if ((${#versions[@]} == 0)); then
        log "no $package source package in $SUITE"
        exit 1
    fi
    tarball=""
    for version in "${versions[@]}"; do
        log "downloading $package $version"
        if apt-get -qq source --download-only "$package=$version" >/dev/null 2>&1; then
            tarball=$(ls "$DEST"/"${package}"_*.orig.tar.* 2>/dev/null | head -n1)
            [[ -n "$tarball" ]] && break
        fi
        rm -f "$DEST"/"${package}"_*
    done
    if [[ -z "$tarball" ]]; then
        log "no version of $package could be downloaded"
        exit 1
    fi
    tarballs+=("$tarball")
done
remove_entry
printf '%s\n' "${tarballs[@]}"
