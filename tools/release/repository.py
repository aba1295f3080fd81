#!/usr/bin/env python3
"""The project's public repository address, and what the metadata derives from it.

The address is written once, in pyproject.toml ([tool.scikit-build.metadata.urls]
repository). The build backend calls this module for two metadata fields:

- urls: the Source, Documentation, Issues and Changelog addresses;
- readme: README.md with every link into the tree (docs, images) made absolute
  at the release's tag, since an index page has no tree to resolve them in.
  The README itself keeps its relative links.

Run as a script it reads the address from pyproject.toml:

    python3 tools/release/repository.py          prints it
    python3 tools/release/repository.py --check  fails while it is a placeholder

Until the address is decided it is a placeholder, on a host under the
reserved top-level domain "invalid" (example.invalid).

It runs inside the build backend on every supported interpreter (3.8 on), so
it uses nothing newer than 3.8 has.
"""

from __future__ import annotations

import posixpath
import re
import sys
from pathlib import Path
from typing import Any, Mapping
from urllib.parse import urlsplit

# What an index renders as a picture: fetched as the file itself, not its page.
IMAGE_SUFFIXES = (".png", ".jpg", ".jpeg", ".gif", ".svg", ".webp")
# The target of an inline Markdown link or image: "](target)".
LINK = re.compile(r"\]\((?P<target>[^()\s]+)\)")
# A target that names its scheme (https:, mailto:) is absolute already.
SCHEME = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*:")


def checked(address: str) -> str:
    """The address, if it is an https address of a repository (host and path)."""
    parts = urlsplit(address)
    if parts.scheme != "https" or not parts.hostname or parts.path in ("", "/") or address.endswith("/"):
        raise ValueError(f"the repository address must be https://HOST/PATH without a trailing slash: {address!r}")
    return address


def is_placeholder(address: str) -> bool:
    host = urlsplit(address).hostname or ""
    return host == "invalid" or host.endswith(".invalid")


def tag(version: str) -> str:
    """The tag a release of this version is made from."""
    return f"v{version}"


def urls(address: str, version: str) -> dict[str, str]:
    at_tag = f"{address}/blob/{tag(version)}"
    return {
        "Source": address,
        "Documentation": f"{address}/tree/{tag(version)}/docs",
        "Issues": f"{address}/issues",
        "Changelog": f"{at_tag}/CHANGELOG.md",
    }


def absolute_links(text: str, address: str, version: str) -> str:
    """`text` with each link into the tree made an address at the release's tag."""

    def rewrite(match: re.Match[str]) -> str:
        target = match["target"]
        if SCHEME.match(target) or target.startswith("#"):
            return match[0]
        path = posixpath.normpath("/" + target)[1:]
        kind = "raw" if path.split("#")[0].lower().endswith(IMAGE_SUFFIXES) else "blob"
        return f"]({address}/{kind}/{tag(version)}/{path})"

    return LINK.sub(rewrite, text)


def dynamic_metadata(field: str, settings: Mapping[str, Any], project: Mapping[str, Any]) -> Any:
    """The build backend's hook: the value of `field` for the package's metadata."""
    if field == "urls":
        return urls(checked(settings["repository"]), project["version"])
    if field == "readme":
        text = Path("README.md").read_text(encoding="utf-8")
        address = project["urls"]["Source"]
        return {"content-type": "text/markdown", "text": absolute_links(text, address, project["version"])}
    raise ValueError(f"no metadata field {field!r} here: only urls and readme")


def configured_address(pyproject: Path) -> str:
    try:
        import tomllib
    except ImportError:  # before 3.11
        from pip._vendor import tomli as tomllib
    with pyproject.open("rb") as file:
        config = tomllib.load(file)
    return checked(config["tool"]["scikit-build"]["metadata"]["urls"]["repository"])


def main(argv: list[str]) -> int:
    if argv not in ([], ["--check"]):
        print(f"usage: {sys.argv[0]} [--check]", file=sys.stderr)
        return 2
    address = configured_address(Path(__file__).resolve().parents[2] / "pyproject.toml")
    if argv and is_placeholder(address):
        print(f"the repository address is still a placeholder: {address} (pyproject.toml)", file=sys.stderr)
        return 1
    print(address)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
