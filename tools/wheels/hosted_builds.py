"""Checks that cibuildwheel, configured by pyproject.toml, would build on
hosted runners exactly the wheels the project means to have there: for every
version in tools/python-versions but 3.8, manylinux and musllinux on x86_64
and aarch64, macOS on x86_64 and arm64, Windows on x86_64.
Prints one line per platform; exits non-zero on any difference.
"""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
# The pinned cibuildwheel builds no 3.8 any more (3.8 reached its end of life
# in 2024); there a Mac or Windows user builds from source.
NOT_HOSTED = {"cp38"}
PLATFORMS = {
    "linux": ["manylinux_x86_64", "manylinux_aarch64", "musllinux_x86_64", "musllinux_aarch64"],
    "macos": ["macosx_x86_64", "macosx_arm64"],
    "windows": ["win_amd64"],
}


def python_tags() -> list[str]:
    versions = subprocess.run(["bash", str(ROOT / "tools" / "lib.sh"), "python_versions"],
                              capture_output=True, text=True, check=True).stdout.split()
    tags = ["cp" + version.replace(".", "") for version in versions]
    return [tag for tag in tags if tag not in NOT_HOSTED]


def identifiers(platform: str) -> set[str]:
    env = {name: value for name, value in os.environ.items() if not name.startswith("CIBW_")}
    shown = subprocess.run(
        [sys.executable, "-m", "cibuildwheel", "--platform", platform, "--print-build-identifiers", str(ROOT)],
        capture_output=True, text=True, env=env, check=False)
    if shown.returncode != 0:
        sys.exit(f"cibuildwheel --platform {platform} failed:\n{shown.stdout}{shown.stderr}")
    return set(shown.stdout.split())


def main() -> None:
    failed = False
    for platform, suffixes in PLATFORMS.items():
        wanted = {f"{tag}-{suffix}" for tag in python_tags() for suffix in suffixes}
        found = identifiers(platform)
        if found == wanted:
            print(f"{platform:8} PASS ({len(found)} builds)")
        else:
            failed = True
            print(f"{platform:8} FAIL missing: {sorted(wanted - found)} unwanted: {sorted(found - wanted)}")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
