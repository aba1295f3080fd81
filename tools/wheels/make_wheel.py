"""Packs a built tarvu module and the tarvu-stubs package into a wheel.

The wheel holds what `pip wheel .` puts in one (the module at the root, the
stubs beside it, and the metadata the build backend writes for it), under the
given tags.
With --check-tag, auditwheel must find the wheel consistent with that tag
and needing nothing grafted; the wheel is removed otherwise.
"""

from __future__ import annotations

import argparse
import base64
import contextlib
import hashlib
import io
import os
import pathlib
import subprocess
import sys
import tempfile
import time
import zipfile

from scikit_build_core.build import prepare_metadata_for_build_wheel

ROOT = pathlib.Path(__file__).resolve().parents[2]


def dist_info() -> tuple[str, dict[str, bytes]]:
    """The .dist-info directory's name and files (but WHEEL) as `pip wheel .` makes them."""
    with tempfile.TemporaryDirectory() as tmp:
        here = os.getcwd()
        os.chdir(ROOT)
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                name = prepare_metadata_for_build_wheel(tmp)
        finally:
            os.chdir(here)
        base = pathlib.Path(tmp, name)
        files = {
            f"{name}/{path.relative_to(base).as_posix()}": path.read_bytes()
            for path in sorted(base.rglob("*"))
            if path.is_file() and path.name not in ("WHEEL", "RECORD")
        }
    return name, files


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def date_time() -> tuple[int, int, int, int, int, int]:
    """The date of every file in the wheel: SOURCE_DATE_EPOCH's (UTC) when it
    is set, as the wheel builds set it from the last commit, else a fixed one;
    never the build's, so the same module gives the same wheel."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if epoch is None:
        return (2020, 1, 1, 0, 0, 0)
    # A zip file has no date before 1980.
    return time.gmtime(max(int(epoch), 315532800))[:6]


def build(module: pathlib.Path, python_tag: str, abi_tag: str, platform: str, out: pathlib.Path) -> pathlib.Path:
    info, metadata = dist_info()
    dist = info[: -len(".dist-info")]
    files = {module.name: module.read_bytes()}
    stubs = ROOT / "stubs"
    for path in sorted((stubs / "tarvu-stubs").rglob("*")):
        if path.is_file() and "__pycache__" not in path.parts:
            files[path.relative_to(stubs).as_posix()] = path.read_bytes()
    files.update(metadata)
    tags = "".join(f"Tag: {python_tag}-{abi_tag}-{p}\n" for p in platform.split("."))
    files[f"{info}/WHEEL"] = (
        f"Wheel-Version: 1.0\nGenerator: tarvu tools/wheels\nRoot-Is-Purelib: false\n{tags}"
    ).encode()
    record = [record_line(name, data) for name, data in files.items()]
    files[f"{info}/RECORD"] = ("\n".join(record + [f"{info}/RECORD,,"]) + "\n").encode()

    out.mkdir(parents=True, exist_ok=True)
    wheel = out / f"{dist}-{python_tag}-{abi_tag}-{platform}.whl"
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in files.items():
            entry = zipfile.ZipInfo(name, date_time=date_time())
            entry.external_attr = (0o755 if name == module.name else 0o644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, data)
    return wheel


# auditwheel takes the musl version a musllinux wheel may rely on from the
# running system's C library, which it looks for where a musl system keeps it
# (/lib/libc.musl-*.so.1). Here musl is Debian's, whose loader (the same file)
# lives at /lib/ld-musl-*.so.1: pointed there, auditwheel judges the wheel as
# it would on a system with this musl, instead of guessing the newest policy.
# auditwheel offers no public way to say which musl, so the function replaced
# is a private one: pyproject.toml pins the auditwheel it is known in, and a
# release without it fails the check here rather than judging by a guess.
AS_ON_MUSL = """
import glob, pathlib, sys
import auditwheel.libc
loader = sorted(glob.glob("/lib/ld-musl-*.so.1"))
if not loader:
    sys.exit("no musl loader in /lib: apt-get install musl")
if not callable(getattr(auditwheel.libc, "_find_musl_libc", None)):
    sys.exit("this auditwheel has no libc._find_musl_libc: install the version pyproject.toml pins")
auditwheel.libc._find_musl_libc = lambda: pathlib.Path(loader[0])
from auditwheel.main import main
sys.argv[0] = "auditwheel"
sys.exit(main())
"""


def check(wheel: pathlib.Path, tag: str) -> None:
    runner = ["-c", AS_ON_MUSL] if tag.startswith("musllinux") else ["-m", "auditwheel"]
    shown = subprocess.run([sys.executable, *runner, "show", str(wheel)], capture_output=True, text=True)
    text = " ".join(shown.stdout.split())
    wanted = f'is consistent with the following platform tag: "{tag}"'
    # On musl, a warning means auditwheel guessed the system's musl after all.
    guessed = tag.startswith("musllinux") and "WARNING" in shown.stderr
    if shown.returncode != 0 or wanted not in text or "will need to be grafted" in text or guessed:
        wheel.unlink()
        sys.exit(f"auditwheel does not accept {wheel.name} as {tag}:\n{shown.stdout}{shown.stderr}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--module", type=pathlib.Path, required=True)
    parser.add_argument("--python-tag", required=True, help="e.g. cp311")
    parser.add_argument("--abi-tag", required=True, help="e.g. cp311, or cp313t for a free-threaded build")
    parser.add_argument("--platform", required=True, help="e.g. manylinux_2_17_x86_64.manylinux2014_x86_64")
    parser.add_argument("--out", type=pathlib.Path, required=True)
    parser.add_argument("--check-tag", help="the tag auditwheel must accept, e.g. manylinux_2_17_x86_64")
    args = parser.parse_args()
    wheel = build(args.module, args.python_tag, args.abi_tag, args.platform, args.out)
    if args.check_tag:
        check(wheel, args.check_tag)
    print(wheel)


if __name__ == "__main__":
    main()
