#!/usr/bin/env bash
# Prints, as its last line, the path of a free-threaded CPython 3.13
# interpreter. The first run builds it from the upstream tarball inside
# Debian's python3.13 source package (development suite) into
# ${XDG_CACHE_HOME:-~/.cache}/tarvu/; later runs reuse it. Progress goes to
# stderr; stdout carries only the path.
#
# The archive address is read from the machine's own apt configuration: a
# temporary deb-src entry for the development suite is added, the source
# package downloaded, and the entry removed again (with a second update, so
# the machine's indexes are as they were).
set -euo pipefail

CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/tarvu
PREFIX=$CACHE/python3.13t
INTERPRETER=$PREFIX/bin/python3.13t
SUITE=unstable
SOURCE_PACKAGE=python3.13

log() { echo "free-threaded-python: $*" >&2; }

usable() {
    [[ -x "$INTERPRETER" ]] &&
        "$INTERPRETER" -c 'import sysconfig, sys; sys.exit(0 if sysconfig.get_config_var("Py_GIL_DISABLED") else 1)' \
            >/dev/null 2>&1
}

if usable; then
    echo "$INTERPRETER"
    exit 0
fi

SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; fi
APT=(apt-get -o DPkg::Lock::Timeout=900 -qq)

# Headers the standard library needs so pip (ssl), compression and sqlite work.
BUILD_PACKAGES=(build-essential pkg-config dpkg-dev xz-utils libssl-dev zlib1g-dev libffi-dev libbz2-dev
    liblzma-dev libsqlite3-dev libreadline-dev libncurses-dev uuid-dev)
missing=()
for package in "${BUILD_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
if ((${#missing[@]})); then
    log "installing build packages: ${missing[*]}"
    $SUDO "${APT[@]}" update
    DEBIAN_FRONTEND=noninteractive $SUDO "${APT[@]}" install -y --no-install-recommends "${missing[@]}" >/dev/null
fi

# The archive this machine already uses for its main (non-security) suites,
# with the key that signs it.
archive_entry() {
    local file uri="" key=""
    for file in /etc/apt/sources.list.d/*.sources; do
        [[ -f "$file" ]] || continue
        # deb822 stanzas are separated by blank lines.
        read -r uri key < <(awk '
            BEGIN { RS = ""; FS = "\n" }
            {
                types = ""; uris = ""; suites = ""; key = ""
                for (i = 1; i <= NF; i++) {
                    if ($i ~ /^Types:/) types = $i
                    else if ($i ~ /^URIs:/) { uris = $i; sub(/^URIs:[ \t]*/, "", uris) }
                    else if ($i ~ /^Suites:/) suites = $i
                    else if ($i ~ /^Signed-By:/) { key = $i; sub(/^Signed-By:[ \t]*/, "", key) }
                }
                if (types ~ /deb/ && uris != "" && suites !~ /-security/) {
                    split(uris, u, /[ \t]+/); print u[1], key; exit
                }
            }' "$file") || true
        if [[ -n "$uri" ]]; then
            echo "$uri ${key:-/usr/share/keyrings/debian-archive-keyring.gpg}"
            return
        fi
    done
    if [[ -f /etc/apt/sources.list ]]; then
        # One-line form: deb [options] URI suite components
        uri=$(sed -E -n 's/^deb[ \t]+(\[[^]]*\][ \t]+)?([^ \t]+)[ \t]+([^ \t]+).*/\2 \3/p' /etc/apt/sources.list |
            awk '$2 !~ /-security/ { print $1; exit }')
        if [[ -n "$uri" ]]; then
            echo "$uri /usr/share/keyrings/debian-archive-keyring.gpg"
            return
        fi
    fi
    return 1
}

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tarvu-python3.13t.XXXXXX")
ENTRY=/etc/apt/sources.list.d/tarvu-python3.13t-src.sources
cleanup() {
    if [[ -f "$ENTRY" ]]; then
        $SUDO rm -f "$ENTRY"
        log "restoring the apt indexes"
        $SUDO "${APT[@]}" update >/dev/null 2>&1 || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

read -r ARCHIVE KEY < <(archive_entry) || {
    log "no Debian archive found in the apt configuration"
    exit 1
}
log "adding a temporary deb-src entry for $SUITE"
printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' "$ARCHIVE" "$SUITE" "$KEY" |
    $SUDO tee "$ENTRY" >/dev/null
$SUDO "${APT[@]}" update >/dev/null 2>&1 || true

# The index can list versions whose files are no longer served: take the
# newest that downloads.
cd "$WORK"
mapfile -t versions < <(apt-cache showsrc "$SOURCE_PACKAGE" 2>/dev/null | awk '/^Version:/ { print $2 }' | sort -uVr)
if ((${#versions[@]} == 0)); then
    log "no $SOURCE_PACKAGE source package in $SUITE"
    exit 1
fi
tarball=""
for version in "${versions[@]}"; do
    log "downloading $SOURCE_PACKAGE $version"
    if apt-get -qq source --download-only "$SOURCE_PACKAGE=$version" >/dev/null 2>&1; then
        tarball=$(ls "$WORK"/"${SOURCE_PACKAGE}"_*.orig.tar.* 2>/dev/null | head -n1)
        [[ -n "$tarball" ]] && break
    fi
    rm -f "$WORK"/"${SOURCE_PACKAGE}"_*
done
if [[ -z "$tarball" ]]; then
    log "no version of $SOURCE_PACKAGE could be downloaded"
    exit 1
fi
# The entry is needed only for the download.
cleanup_entry_now() {
    $SUDO rm -f "$ENTRY"
    log "removing the temporary entry and restoring the apt indexes"
    $SUDO "${APT[@]}" update >/dev/null 2>&1 || true
}
cleanup_entry_now

log "unpacking $(basename "$tarball")"
tar -xf "$tarball" -C "$WORK"
source_dir=$(find "$WORK" -maxdepth 1 -type d -name 'Python-3.13*' | head -n1)
if [[ -z "$source_dir" ]]; then
    log "the tarball holds no Python-3.13 tree"
    exit 1
fi

log "configuring (--disable-gil) into $PREFIX"
cd "$source_dir"
./configure --disable-gil --prefix="$PREFIX" --with-ensurepip=install >"$WORK/configure.log" 2>&1 || {
    tail -n 30 "$WORK/configure.log" >&2
    exit 1
}
log "building (a few minutes)"
nice -n 10 make -j2 >"$WORK/make.log" 2>&1 || {
    tail -n 40 "$WORK/make.log" >&2
    exit 1
}
log "installing"
rm -rf "$PREFIX"
make install >"$WORK/install.log" 2>&1 || {
    tail -n 40 "$WORK/install.log" >&2
    exit 1
}
if ! usable; then
    log "the built interpreter is not free-threaded"
    exit 1
fi
echo "$INTERPRETER"
