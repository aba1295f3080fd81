"""Checks a Windows build of tarvu before it is shipped or run.

    python check_wheel.py WHEEL_OR_MODULE --machine x86_64|aarch64 --python-dll python313.dll [--link-date EPOCH]

The module must be a DLL for that machine exporting PyInit_tarvu and nothing
else of its own, and must import from the interpreter's DLL of its version.
With --link-date, its header must carry that date (seconds since 1970), the
SOURCE_DATE_EPOCH it was linked under, rather than the time of the link. For a wheel,
`delvewheel show` must find nothing to bundle: every DLL the module needs is
the interpreter's or one that delvewheel knows every Windows system to have
(the C runtime's api-ms-win-crt-* and kernel32.dll).
"""

from __future__ import annotations

import argparse
import pathlib
import struct
import subprocess
import sys
import zipfile

from dll_exports import exported_names

MACHINES = {"x86_64": 0x8664, "aarch64": 0xAA64}
UNWINDER_PREFIXES = ("_Unwind_", "unw_", "_GCC_specific_handler")


def module_problems(image: bytes, machine: str, link_date: int | None) -> list[str]:
    problems = []
    (pe,) = struct.unpack_from("<I", image, 0x3C)
    (found,) = struct.unpack_from("<H", image, pe + 4)
    if found != MACHINES[machine]:
        problems.append(f"machine {found:#x}, not {machine}'s {MACHINES[machine]:#x}")
    # The COFF header's TimeDateStamp.
    (stamp,) = struct.unpack_from("<I", image, pe + 8)
    if link_date is not None and stamp != link_date:
        problems.append(f"linked with the date {stamp}, not {link_date}")
    exports = exported_names(image)
    # zig builds its static unwinder with its interface marked for export,
    # and its linker takes no option to drop those names again. They are
    # inert (nothing imports them); anything more would be the whole module
    # exported, as a MinGW link does when nothing is marked.
    ours = [name for name in exports if not name.startswith(UNWINDER_PREFIXES)]
    if ours != ["PyInit_tarvu"]:
        problems.append(f"exports {ours} besides the unwinder's, not PyInit_tarvu alone")
    return problems


def delvewheel_problems(wheel: pathlib.Path, python_dll: str) -> list[str]:
    shown = subprocess.run([sys.executable, "-m", "delvewheel", "show", str(wheel)], capture_output=True, text=True)
    if shown.returncode != 0:
        return [f"delvewheel show failed:\n{shown.stdout}{shown.stderr}"]
    # A heading line, then its DLLs indented below it.
    sections: dict[str, list[str]] = {}
    heading = ""
    for line in shown.stdout.splitlines():
        if line[:1].isspace():
            sections.setdefault(heading, []).extend(line.split())
        elif line.strip():
            heading = line.strip()
    bundled = sections.get("The following DLLs will be copied into the wheel.")
    present = {name.lower() for heading, names in sections.items() if "will not be copied" in heading for name in names}
    problems = []
    if bundled != ["None"]:
        problems.append(f"delvewheel would bundle {bundled}")
    if python_dll.lower() not in present:
        problems.append(f"the module does not import from {python_dll} (it needs {sorted(present)})")
    others = {name for name in present if name.startswith("python") and name != python_dll.lower()}
    if others:
        problems.append(f"the module imports from another interpreter's DLL too: {sorted(others)}")
    return problems


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("path", type=pathlib.Path)
    parser.add_argument("--machine", choices=MACHINES, required=True)
    parser.add_argument("--python-dll", required=True)
    parser.add_argument("--link-date", type=int)
    args = parser.parse_args()
    if args.path.suffix == ".whl":
        with zipfile.ZipFile(args.path) as wheel:
            (module,) = [name for name in wheel.namelist() if name.endswith(".pyd")]
            problems = module_problems(wheel.read(module), args.machine, args.link_date)
        problems += delvewheel_problems(args.path, args.python_dll)
    else:
        problems = module_problems(args.path.read_bytes(), args.machine, args.link_date)
    if problems:
        sys.exit(f"{args.path.name}: " + "; ".join(problems))


if __name__ == "__main__":
    main()
