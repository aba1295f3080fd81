#!/usr/bin/env bash
# Installs what building and testing tarvu needs, and nothing that is already
# there: Debian packages for what pip cannot provide (compiler, Python headers,
# venv support, GoogleTest), and the project's virtual environment with the
# tools pyproject.toml's [dependency-groups] declare. Quiet when everything
# is present; then it needs no network. Works on Debian 12 and 13.
#
#   tools/install-deps.sh --build  what `make build` and `make example` need
#   tools/install-deps.sh          what `make test` needs
#   tools/install-deps.sh --all    also clang and its
#                                  sanitizer/fuzzer runtimes for `make check-all`,
#                                  and debootstrap and qemu for the wheel checks
#   tools/install-deps.sh --wheels what `make wheels` and `make cross-check`
#                                  need: zig (its clang builds for an old
#                                  glibc, for musl, macOS and Windows),
#                                  auditwheel, delvewheel, llvm's objdump and
#                                  cibuildwheel
#   tools/install-deps.sh --windows also Wine, for `make check-windows`
#   tools/install-deps.sh --release what `make dist` and `make release-check`
#                                  need: --wheels's, twine, check-wheel-contents,
#                                  validate-pyproject, pypiserver, and Wine,
#                                  debootstrap and qemu for the rehearsal
#   tools/install-deps.sh --bench  what `make bench` needs: matplotlib for its chart
#   tools/install-deps.sh --workflows actionlint and zizmor, for `make lint-workflows`
#
# PYTHON (default python3) is the interpreter to build for: a name on PATH
# (pyenv shims included), a path, or a virtual environment's interpreter (its
# base is used). VENV (default .venv) is where the environment goes; it is made
# anew when PYTHON names a different interpreter than the one it was made from.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
PYTHON=${PYTHON:-python3}
VENV=${VENV:-$REPO/.venv}
LEVEL=test
case ${1:-} in
    --build) LEVEL=build ;;
    --all) LEVEL=all ;;
    --wheels) LEVEL=wheels ;;
    --windows) LEVEL=windows ;;
    --release) LEVEL=release ;;
    --bench) LEVEL=bench ;;
    --workflows) LEVEL=workflows ;;
    "") ;;
    *) echo "usage: $0 [--build | --all | --wheels | --windows | --release | --bench | --workflows]" >&2; exit 2 ;;
esac

die() { echo "install-deps: $*" >&2; exit 1; }

# The interpreter behind PYTHON, as "path version". A pyenv shim for a version
# that is not selected refuses to run, so such names are looked up among
# pyenv's versions; a venv's interpreter is replaced by its base.
resolve_python() {
    local found candidate
    found=$(command -v "$PYTHON" 2>/dev/null) || die "no interpreter '$PYTHON' (set PYTHON to a name on PATH or a path)"
    if ! "$found" -c '' >/dev/null 2>&1 && [[ $found == */shims/* ]]; then
        candidate=$(ls -1d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin/"$(basename "$found")" 2>/dev/null | sort -V | tail -n 1)
        [[ -n $candidate ]] || die "pyenv has no version providing $(basename "$found")"
        found=$candidate
    fi
    "$found" - <<'EOF' || die "cannot run $found"
import os, sys
if sys.version_info < (3, 8):
    sys.exit("tarvu needs CPython 3.8 or newer; %s is %s" % (sys.executable, sys.version.split()[0]))
exe = sys.executable
if sys.prefix != sys.base_prefix:  # a virtual environment: build for its base
    exe = os.path.join(sys.base_exec_prefix, "bin", "python%d.%d" % sys.version_info[:2])
print(os.path.realpath(exe), sys.version.split()[0])
EOF
}
resolved=$(resolve_python) || exit 1
read -r BASE VERSION <<<"$resolved"
MINOR=${VERSION%.*}

# --- Debian packages -------------------------------------------------------
apt_packages=(ca-certificates g++ make)
# Debian's own interpreters keep their headers and ensurepip in separate packages.
if [[ $BASE == /usr/bin/* ]]; then
    apt_packages+=("python$MINOR-dev" "python$MINOR-venv")
fi
if [[ $LEVEL == test || $LEVEL == all ]]; then
    # The debug interpreter with Debian's pytest and hypothesis runs the leak check.
    apt_packages+=(libgtest-dev libgmock-dev python3-dbg python3-pytest python3-hypothesis)
    # pyright (the test group) is a node program; any node on PATH will do.
    command -v node >/dev/null 2>&1 || apt_packages+=(nodejs)
fi
# The lint step (tools/lint.sh) needs clang-format and clang-tidy of version 14,
# the one the tree is formatted with: Debian's where the release has them
# (Debian 12), else PyPI's wheels in the venv (the "lint" group; Debian 13).
lint_from_pypi=0
if [[ $LEVEL != build && $LEVEL != bench && $LEVEL != workflows ]] && ! { deb_installed clang-format-14 && deb_installed clang-tidy-14; }; then
    if apt-cache show clang-format-14 clang-tidy-14 >/dev/null 2>&1; then
        apt_packages+=(clang-format-14 clang-tidy-14)
    else
        lint_from_pypi=1
    fi
fi
if [[ $LEVEL == wheels || $LEVEL == release || $LEVEL == all ]]; then
    # llvm-objdump reads the Mach-O modules of the macOS cross-check; musl's
    # loader tells auditwheel the musl version the musllinux wheels are judged by.
    apt_packages+=(llvm musl)
fi
if [[ $LEVEL == all ]]; then
    apt_packages+=(python3-dev clang libclang-rt-dev valgrind gdb binutils)
fi
if [[ $LEVEL == all || $LEVEL == release ]]; then
    apt_packages+=(debootstrap qemu-user-static binfmt-support)
fi
if [[ $LEVEL == all || $LEVEL == windows || $LEVEL == release ]]; then
    # Runs the Windows wheels' suite with Windows' embeddable CPython.
    apt_packages+=(wine64)
fi
if command -v dpkg-query >/dev/null 2>&1; then
    apt_install "${apt_packages[@]}" ||
        die "could not install the Debian packages above (apt-get needs root and the network); install them and re-run"
else
    echo "install-deps: not a Debian system; make sure these (or their equivalents) are installed: ${apt_packages[*]}" >&2
fi

# --- the project's virtual environment --------------------------------------
identity="$BASE $VERSION"
if [[ ! -x $VENV/bin/python || $(cat "$VENV/.tarvu-python" 2>/dev/null) != "$identity" ]]; then
    [[ -e $VENV ]] && echo "making $VENV anew for $BASE ($VERSION)" || echo "making $VENV for $BASE ($VERSION)"
    rm -rf "$VENV"
    if ! out=$("$BASE" -m venv "$VENV" 2>&1); then
        echo "$out" >&2
        rm -rf "$VENV"
        die "$BASE cannot make a virtual environment (on Debian: apt-get install python$MINOR-venv)"
    fi
    echo "$identity" >"$VENV/.tarvu-python"
fi

groups=()
cmake_version=$(cmake --version 2>/dev/null | sed -n 's/^cmake version \([0-9]*\.[0-9]*\).*/\1/p' || true)
if [[ ! -x $VENV/bin/cmake ]] && ! printf '3.18\n%s\n' "$cmake_version" | sort -V -C 2>/dev/null; then
    groups+=(cmake)
fi
case $LEVEL in
    test) groups+=(test) ;;
    all) groups+=(check) ;;
    wheels | windows) groups+=(wheels) ;;
    release) groups+=(release) ;;
    bench) groups+=(bench) ;;
    workflows) groups+=(workflows) ;;
esac
if ((lint_from_pypi)); then
    groups+=(lint)
fi
((${#groups[@]})) || exit 0

# The stamp lists what was installed, so a run with nothing new starts no pip.
stamp=$VENV/.tarvu-tools
wanted=()
while IFS= read -r requirement; do
    [[ -n $requirement ]] || continue
    grep -qxF -- "$requirement" "$stamp" 2>/dev/null || wanted+=("$requirement")
done < <("$VENV/bin/python" "$TOOLS/dependency-group.py" "${groups[@]}")
((${#wanted[@]})) || exit 0

echo "installing into $VENV: ${wanted[*]}"
log=$(mktemp)
if ! "$VENV/bin/python" -m pip install -q --disable-pip-version-check "${wanted[@]}" >"$log" 2>&1; then
    grep -v '^\s*$' "$log" | tail -n 15 >&2
    rm -f "$log"
    die "pip could not install ${wanted[*]} into $VENV (it needs the network, or a pip configuration naming a local index); what is already there stays usable"
fi
rm -f "$log"
printf '%s\n' "${wanted[@]}" >>"$stamp"
