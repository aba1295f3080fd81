#!/usr/bin/env python3
"""Prints the requirements of dependency groups in pyproject.toml, one a line.

    tools/dependency-group.py GROUP...

The tools the project needs are declared once, in pyproject.toml's
[dependency-groups] table; scripts install them from this list rather than
repeating it. Groups may include others ({include-group = "..."}). Runs on any
supported interpreter: tomllib from 3.11, otherwise the TOML reader pip
carries.
"""

import sys
from pathlib import Path

try:
    import tomllib
except ImportError:  # before 3.11
    from pip._vendor import tomli as tomllib

PYPROJECT = Path(__file__).resolve().parents[1] / "pyproject.toml"


def requirements(groups, name, seen=()):
    if name not in groups:
        sys.exit("dependency-group.py: no group {!r} in {}".format(name, PYPROJECT))
    if name in seen:
        sys.exit("dependency-group.py: group {!r} includes itself".format(name))
    for entry in groups[name]:
        if isinstance(entry, str):
            yield entry
        else:
            yield from requirements(groups, entry["include-group"], seen + (name,))


def main(names):
    with PYPROJECT.open("rb") as f:
        groups = tomllib.load(f).get("dependency-groups", {})
    printed = []
    for name in names:
        for requirement in requirements(groups, name):
            if requirement not in printed:
                printed.append(requirement)
    print("\n".join(printed))


if __name__ == "__main__":
    main(sys.argv[1:])
