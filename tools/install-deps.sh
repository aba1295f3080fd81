#!/usr/bin/env bash
# Installs what building and testing tarvu needs, and nothing that is already
# there. Quiet when everything is present. Works on Debian 12 and 13.
#   tools/install-deps.sh          what `make test` needs
#   tools/install-deps.sh --all    also the debug interpreter, clang and its
#                                  sanitizer/fuzzer runtimes for `make check-all`
set -euo pipefail

PYTHON=${PYTHON:-python3}
APT_PACKAGES=(g++ make libgtest-dev libgmock-dev python3-dev)
PIP_MODULES=(pytest:pytest hypothesis:hypothesis mypy:mypy scikit_build_core:scikit-build-core)
if [[ "${1:-}" == "--all" ]]; then
    APT_PACKAGES+=(python3-dbg python3-pytest python3-hypothesis python3-venv clang libclang-rt-dev valgrind gdb binutils patchelf)
    PIP_MODULES+=(auditwheel:auditwheel)
fi

missing_apt=()
for package in "${APT_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing_apt+=("$package")
    fi
done
if ((${#missing_apt[@]})); then
    echo "installing Debian packages: ${missing_apt[*]}"
    SUDO=""
    if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; fi
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing_apt[@]}" >/dev/null
fi

if ! command -v cmake >/dev/null 2>&1; then
    PIP_MODULES+=(cmake:cmake)
fi
missing_pip=()
for entry in "${PIP_MODULES[@]}"; do
    module=${entry%%:*}
    package=${entry##*:}
    if [[ "$module" == cmake ]] || ! "$PYTHON" -c "import $module" >/dev/null 2>&1; then
        missing_pip+=("$package")
    fi
done
if ((${#missing_pip[@]})); then
    echo "installing Python packages: ${missing_pip[*]}"
    "$PYTHON" -m pip install -q --disable-pip-version-check "${missing_pip[@]}"
fi
