"""The release workflow's first and last word on what it may publish.

    tag_gate.py TAG             before anything is built: TAG is vX.Y.Z, X.Y.Z
                                is pyproject.toml's version, and no string in
                                pyproject.toml names a placeholder address
    tag_gate.py TAG --dist DIR  after the build: every sdist and wheel in DIR
                                carries that version and project URLs, none of
                                them a placeholder

A placeholder is any address under the reserved .invalid domain (such as
example.invalid), which stands for the repository address until it is
decided; files that point there must not reach the index. Comments in
pyproject.toml are not read, so one may mention the placeholder. Exits
non-zero with one line per problem.
"""

from __future__ import annotations

import email.parser
import pathlib
import re
import sys
import tarfile
import zipfile

try:
    import tomllib
except ImportError:  # before 3.11
    from pip._vendor import tomli as tomllib

ROOT = pathlib.Path(__file__).resolve().parents[2]
TAG = re.compile(r"v(\d+\.\d+\.\d+)")
PLACEHOLDER = re.compile(r"\.invalid(?![\w-])", re.IGNORECASE)


def strings(value: object):
    """Every string in a parsed TOML document, keys included."""
    if isinstance(value, str):
        yield value
    elif isinstance(value, dict):
        for key, item in value.items():
            yield key
            yield from strings(item)
    elif isinstance(value, list):
        for item in value:
            yield from strings(item)


def check_project(version: str, pyproject: pathlib.Path) -> list[str]:
    document = tomllib.loads(pyproject.read_text(encoding="utf-8"))
    problems = []
    written = document.get("project", {}).get("version")
    if written != version:
        problems.append(f"the tag says {version}, {pyproject.name} says {written}")
    for text in sorted(set(filter(PLACEHOLDER.search, strings(document)))):
        problems.append(f"{pyproject.name} still names a placeholder address: {text}")
    return problems


def metadata(path: pathlib.Path) -> email.message.Message | None:
    if path.name.endswith(".whl"):
        with zipfile.ZipFile(path) as archive:
            name = next((n for n in archive.namelist() if n.endswith(".dist-info/METADATA")), None)
            text = archive.read(name).decode() if name else None
    else:
        with tarfile.open(path) as archive:
            member = next((m for m in archive.getmembers() if m.name.count("/") == 1 and m.name.endswith("/PKG-INFO")), None)
            stream = archive.extractfile(member) if member else None
            text = stream.read().decode() if stream else None
    return email.parser.Parser().parsestr(text, headersonly=True) if text else None


def check_dist(version: str, directory: pathlib.Path) -> list[str]:
    files = sorted(p for p in directory.iterdir() if p.name.endswith((".whl", ".tar.gz")))
    if not files:
        return [f"no sdist or wheel in {directory}"]
    problems = []
    for path in files:
        found = metadata(path)
        if found is None:
            problems.append(f"{path.name}: no metadata")
            continue
        if found["Version"] != version:
            problems.append(f"{path.name}: version {found['Version']}, the tag says {version}")
        urls = found.get_all("Project-URL") or []
        if not urls:
            problems.append(f"{path.name}: no project URLs")
        problems += [f"{path.name}: placeholder project URL: {url}" for url in urls if PLACEHOLDER.search(url)]
    return problems


def main(argv: list[str]) -> int:
    if len(argv) not in (1, 3) or (len(argv) == 3 and argv[1] != "--dist"):
        print("usage: tag_gate.py TAG [--dist DIR]", file=sys.stderr)
        return 2
    matched = TAG.fullmatch(argv[0])
    if not matched:
        print(f"tag {argv[0]!r} is not of the form vX.Y.Z", file=sys.stderr)
        return 1
    version = matched.group(1)
    if len(argv) == 3:
        problems = check_dist(version, pathlib.Path(argv[2]))
    else:
        problems = check_project(version, ROOT / "pyproject.toml")
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
