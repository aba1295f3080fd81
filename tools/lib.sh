# Helpers the tools share, each written here once. Sourced:
#   source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"   (from a room of tools/)
# it sets TOOLS (this directory) and REPO (the work tree), both physical paths.
# Run, it calls one function, which is how the Python tools read the same
# answers: bash tools/lib.sh python_versions
# shellcheck shell=bash disable=SC2034  # the names are read by the scripts that source this file
TOOLS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
REPO=$(dirname "$TOOLS")
# Where the tools keep what they make once (roots, interpreters, zig's cache).
CACHE_HOME=${XDG_CACHE_HOME:-$HOME/.cache}/tarvu
# The oldest supported version that Debian's released suites lack and its
# development suite carries; it and the newer ones run in a root of that suite.
DEVELOPMENT_FROM=3.14
# apt-get, quiet, waiting for another apt process's lock rather than failing.
APT=(apt-get -o DPkg::Lock::Timeout=900 -qq)

# The supported CPython versions (tools/python-versions), oldest first, one a
# line; with FROM, only those from FROM on, and with TO, up to TO.
python_versions() {  # python_versions [FROM [TO]]
    local version from=${1:-3.0} to=${2:-3.999}
    while read -r version; do
        [[ $version =~ ^3\.[0-9]+$ ]] || continue
        if ((${version#3.} >= ${from#3.} && ${version#3.} <= ${to#3.})); then echo "$version"; fi
    done <"$TOOLS/python-versions"
}

# What interpreters/find-python.sh prints for an interpreter in a root is the
# command that runs it (which also runs whatever else must see that system),
# then its path; for any other interpreter, the path alone. Sets the array
# prefix to the former (empty for a plain path) and interpreter to the path.
split_interpreter() {  # split_interpreter COMMAND
    read -ra prefix <<<"$1"
    interpreter=${prefix[-1]}
    unset 'prefix[-1]'
}

# Runs a command as root: directly when we are, else through sudo.
as_root() {
    if ((EUID)); then sudo "$@"; else "$@"; fi
}

deb_installed() {  # deb_installed PACKAGE
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# Installs those of the named Debian packages that are missing; does nothing
# (and needs no network) when all are there. On failure shows apt's last lines.
# The lock timeout does not cover the package lists, so an update that finds
# them locked by another apt process is tried again, for up to 15 minutes.
apt_install() {  # apt_install PACKAGE...
    local package missing=() log status=0 tries=0
    for package; do
        deb_installed "$package" || missing+=("$package")
    done
    ((${#missing[@]})) || return 0
    echo "installing Debian packages: ${missing[*]}" >&2
    log=$(mktemp)
    until as_root "${APT[@]}" update >"$log" 2>&1; do
        grep -q 'Could not get lock' "$log" && ((++tries < 180)) || break
        sleep 5
    done
    as_root env DEBIAN_FRONTEND=noninteractive "${APT[@]}" install -y --no-install-recommends "${missing[@]}" \
        >>"$log" 2>&1 || { tail -n 15 "$log" >&2; status=1; }
    rm -f "$log"
    return $status
}

# The archive this machine's apt configuration uses for its main (not its
# security) suites, and the key that signs it: "URI KEY". Reads deb822
# .sources files first, then the one-line sources.list. Fails if none.
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
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -f "$file" ]] || continue
        # One-line form: deb [options] URI suite components
        uri=$(sed -E -n 's/^deb[ \t]+(\[[^]]*\][ \t]+)?([^ \t]+)[ \t]+([^ \t]+).*/\2 \3/p' "$file" |
            awk '$2 !~ /-security/ { print $1; exit }')
        if [[ -n "$uri" ]]; then
            echo "$uri /usr/share/keyrings/debian-archive-keyring.gpg"
            return
        fi
    done
    echo "no Debian archive found in the machine's apt sources" >&2
    return 1
}

# The URI of archive_entry alone.
archive_uri() {
    local uri key
    read -r uri key < <(archive_entry) || return 1
    echo "$uri"
}

# Copies this machine's pip configuration into the root file system ROOT, so
# that pip there reaches packages exactly as pip here does: the system, XDG,
# user and PIP_CONFIG_FILE files, and the files they name (certificate bundle,
# constraints) at the same paths. PIP_* variables are the caller's to pass on.
copy_pip_configuration() {
    local root=$1 conf target named
    for conf in /etc/pip.conf /etc/xdg/pip "${XDG_CONFIG_HOME:-$HOME/.config}"/pip "$HOME"/.pip ${PIP_CONFIG_FILE:+"$PIP_CONFIG_FILE"}; do
        [[ -e $conf ]] || continue
        target=$root${conf/#$HOME//root}
        mkdir -p "$(dirname "$target")"
        rm -rf "$target"
        cp -rL "$conf" "$target"
    done
    "${PYTHON:-python3}" -m pip config list 2>/dev/null | sed -nE "s/^[^=]*\.(cert|constraint)='(.*)'$/\2/p" | sort -u |
        while IFS= read -r named; do
            [[ -f $named ]] || continue
            mkdir -p "$root$(dirname "$named")"
            cp -L "$named" "$root$named"
        done
}

# The newest pyenv CPython of version X.Y (e.g. 3.12), as "X.Y.Z PATH"; fails
# if there is none.
newest_pyenv_python() {
    local versions=${PYENV_ROOT:-$HOME/.pyenv}/versions best
    best=$(ls -1 "$versions" 2>/dev/null | grep -E "^${1//./\\.}\.[0-9]+$" | sort -V | tail -n 1 || true)
    [[ -n $best && -x $versions/$best/bin/python3 ]] || return 1
    echo "$best $versions/$best/bin/python3"
}

# The interpreter the tools run with (PYTHON, else python3) as an absolute
# path, not resolved: a venv's interpreter must stay the venv's.
tool_python() {
    local found
    found=$(command -v "${PYTHON:-python3}") || return 1
    echo "$(cd "$(dirname "$found")" && pwd)/$(basename "$found")"
}

# Sets zig to the zig of TOOL_PYTHON's ziglang package and exports its cache
# directory, or fails naming the tools/install-deps.sh option (FLAG) that
# installs it.
find_zig() {  # find_zig FLAG
    export ZIG_GLOBAL_CACHE_DIR=$CACHE_HOME/zig
    zig=$("$TOOL_PYTHON" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))') || {
        echo "zig is missing: run tools/install-deps.sh $1" >&2
        return 1
    }
}

# Writes c++, ar and ranlib into DIR: zig's (find_zig first), the compiler
# with TARGET baked in, since CMake wants one program per tool. With
# --bundle-as-shared the compiler links a shared library where it is asked for
# a Mach-O bundle: zig's linker makes no bundles (it would link an executable),
# and dlopen loads a dylib just the same.
zig_wrappers() {  # zig_wrappers DIR TARGET [--bundle-as-shared]
    local dir=$1 target=$2 tool
    mkdir -p "$dir"
    if [[ ${3:-} == --bundle-as-shared ]]; then
        printf '#!/bin/bash\nargs=()\nfor a; do [[ $a == -bundle ]] && a=-shared; args+=("$a"); done\nexec "%s" c++ -target %s "${args[@]}"\n' \
            "$zig" "$target" >"$dir/c++"
    else
        printf '#!/bin/sh\nexec "%s" c++ -target %s "$@"\n' "$zig" "$target" >"$dir/c++"
    fi
    for tool in ar ranlib; do
        printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" >"$dir/$tool"
    done
    chmod +x "$dir/c++" "$dir/ar" "$dir/ranlib"
}

# Dates what the builds make (seconds since 1970): SOURCE_DATE_EPOCH if set,
# else the last commit's (outside a git tree, 2020-01-01), exported for the
# tools that read it (the linker of the Windows modules, the sdist and wheel
# writers), so that two builds of one commit agree.
date_builds() {
    SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$REPO" log -1 --format=%ct 2>/dev/null || echo 1577836800)}
    export SOURCE_DATE_EPOCH
}

# Runs one step of a job, adding its output to LOG; if it fails, says which
# and shows the log's last lines.
step() {  # step LOG WHAT COMMAND...
    local log=$1 what=$2
    shift 2
    echo "== $what: $*" >>"$log"
    "$@" >>"$log" 2>&1 || {
        echo "-- $what failed; last lines of $log:" >&2
        tail -n 25 "$log" | sed 's/^/   /' >&2
        return 1
    }
}

# Configures and builds the module of a wheel in BUILD with the compiler and
# archiver in DIR (zig_wrappers) and further CMake options, logging to LOG.
zig_build() {  # zig_build DIR BUILD LOG CMAKE-OPTION...
    local dir=$1 build=$2 log=$3
    shift 3
    step "$log" configure cmake -S "$REPO" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARVU_BUILD_TESTS=OFF \
        -DTARVU_PORTABLE=ON -DCMAKE_CXX_COMPILER="$dir/c++" -DCMAKE_AR="$dir/ar" -DCMAKE_RANLIB="$dir/ranlib" "$@" &&
        step "$log" build nice -n 10 cmake --build "$build" -j"${JOBS:-2}" --target tarvu
}

# pytest's closing counts in LOG, e.g. "154 passed, 3 skipped" (empty if none).
pytest_summary() {
    grep -E '^[=]* ?[0-9]+ (passed|failed|error)' "$1" | tail -n 1 | sed -E 's/^=+ //; s/ in [0-9.]+s.*$//; s/ =+$//'
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    set -euo pipefail
    "$@"
fi
