"""The release workflow's gate (tools/release/tag_gate.py): a tag that names
another version, or a placeholder address in the project or in a built file,
stops the release."""

from __future__ import annotations

import importlib.util
import io
import tarfile
import zipfile
from pathlib import Path

import pytest

# The gate reads pyproject.toml with tomllib, or before 3.11 with the TOML
# parser pip vendors; an old pip (Debian 11's 20.3) has none to lend.
try:
    import tomllib  # noqa: F401
except ImportError:
    pytest.importorskip("pip._vendor.tomli", reason="no TOML parser: tomllib (3.11) or pip's vendored tomli")

GATE_PATH = Path(__file__).resolve().parents[2] / "tools" / "release" / "tag_gate.py"
spec = importlib.util.spec_from_file_location("tag_gate", GATE_PATH)
gate = importlib.util.module_from_spec(spec)
spec.loader.exec_module(gate)

REAL = "https://code.example.org/tarvu"
PLACEHOLDER = "https://example.invalid/tarvu"


@pytest.mark.parametrize("tag, project, problem", [
    ("v1.2.3", f'version = "1.2.3"\nurls = {{Source = "{REAL}"}}', None),
    # The placeholder may be mentioned where nothing is built from it.
    ("v1.2.3", f'# until decided: {PLACEHOLDER}\nversion = "1.2.3"\nurls = {{Source = "{REAL}"}}', None),
    ("v1.2.4", f'version = "1.2.3"\nurls = {{Source = "{REAL}"}}', "the tag says 1.2.4"),
    ("v1.2.3", f'version = "1.2.3"\nurls = {{Source = "{PLACEHOLDER}"}}', "placeholder"),
    ("v1.2.3", f'version = "1.2.3"\n[tool.x]\nhome = "HTTPS://Example.Invalid"', "placeholder"),
    ("1.2.3", 'version = "1.2.3"', "not of the form"),
    ("v1.2.3rc1", 'version = "1.2.3rc1"', "not of the form"),
])
def test_gate_before_the_build(tmp_path, monkeypatch, capsys, tag, project, problem):
    (tmp_path / "pyproject.toml").write_text("[project]\n" + project + "\n")
    monkeypatch.setattr(gate, "ROOT", tmp_path)
    status = gate.main([tag])
    assert status == (0 if problem is None else 1)
    assert (problem or "") in capsys.readouterr().err


def metadata(version, urls):
    lines = ["Metadata-Version: 2.1", "Name: tarvu", f"Version: {version}"]
    return "\n".join(lines + [f"Project-URL: Source, {url}" for url in urls]) + "\n"


def write_wheel(directory, text):
    with zipfile.ZipFile(directory / "tarvu-1.2.3-cp311-cp311-win_amd64.whl", "w") as wheel:
        wheel.writestr("tarvu-1.2.3.dist-info/METADATA", text)


def write_sdist(directory, text):
    data = text.encode()
    info = tarfile.TarInfo("tarvu-1.2.3/PKG-INFO")
    info.size = len(data)
    with tarfile.open(directory / "tarvu-1.2.3.tar.gz", "w:gz") as sdist:
        sdist.addfile(info, io.BytesIO(data))


@pytest.mark.parametrize("write", [write_wheel, write_sdist])
@pytest.mark.parametrize("version, urls, problem", [
    ("1.2.3", [REAL], None),
    ("1.2.2", [REAL], "version 1.2.2"),
    ("1.2.3", [], "no project URLs"),
    ("1.2.3", [REAL, PLACEHOLDER], "placeholder project URL"),
])
def test_gate_after_the_build(tmp_path, capsys, write, version, urls, problem):
    write(tmp_path, metadata(version, urls))
    status = gate.main(["v1.2.3", "--dist", str(tmp_path)])
    assert status == (0 if problem is None else 1)
    assert (problem or "") in capsys.readouterr().err
