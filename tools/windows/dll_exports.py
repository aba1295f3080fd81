"""Writes a module-definition (.def) file listing the names a Windows DLL exports.

    python dll_exports.py python313.dll > python313.def

zig's dlltool makes the import library to link against from it, so the
interpreter's DLL is all that is needed: the embeddable CPython ships none.
"""

from __future__ import annotations

import pathlib
import struct
import sys


def exported_names(image: bytes) -> list[str]:
    """The export table's names, read from the PE headers of a DLL image."""
    if image[:2] != b"MZ":
        raise ValueError("not a PE image (no MZ header)")
    (pe,) = struct.unpack_from("<I", image, 0x3C)
    if image[pe : pe + 4] != b"PE\0\0":
        raise ValueError("not a PE image (no PE signature)")
    coff = pe + 4
    sections, optional_size = struct.unpack_from("<2xH12xH", image, coff)
    optional = coff + 20
    (magic,) = struct.unpack_from("<H", image, optional)
    # The data directories follow the fixed fields of PE32 (96 bytes) or PE32+ (112).
    directories = optional + {0x10B: 96, 0x20B: 112}[magic]
    export_rva, _ = struct.unpack_from("<II", image, directories)
    table = []
    for index in range(sections):
        header = optional + optional_size + 40 * index
        size, rva, raw_size, raw_offset = struct.unpack_from("<8xIIII", image, header)
        table.append((rva, max(size, raw_size), raw_offset))

    def offset(rva: int) -> int:
        for start, size, raw in table:
            if start <= rva < start + size:
                return rva - start + raw
        raise ValueError(f"address {rva:#x} lies in no section")

    if export_rva == 0:
        return []
    count, names_rva = struct.unpack_from("<24xI4xI", image, offset(export_rva))
    names = []
    for index in range(count):
        (name_rva,) = struct.unpack_from("<I", image, offset(names_rva) + 4 * index)
        start = offset(name_rva)
        names.append(image[start : image.index(b"\0", start)].decode("ascii"))
    return names


def main() -> None:
    dll = pathlib.Path(sys.argv[1])
    names = exported_names(dll.read_bytes())
    if not names:
        sys.exit(f"{dll} exports nothing")
    sys.stdout.write(f"LIBRARY {dll.name}\nEXPORTS\n" + "".join(f"    {name}\n" for name in names))


if __name__ == "__main__":
    main()
