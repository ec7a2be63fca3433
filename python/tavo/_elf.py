"""The check a plugin file passes before the module is asked to load it.

The dynamic loader maps a library's segments from the file as its program
headers describe them; a segment that reaches past the end of a truncated
file is mapped anyway, and the first touch of the missing page kills the
process with SIGBUS inside the loader, where nothing can catch it. So the
file is read first: an ELF shared object of this interpreter's class, byte
order and machine, whose program header table and every segment's bytes lie
inside the file. A file that changes after this check is not covered.

Fields are read with int.from_bytes: `struct` is one more import that every
`tavo` command would pay for at start-up.
"""

from __future__ import annotations

import functools
import os
import sys

_MAGIC = b"\x7fELF"
_ET_DYN = 3
_PN_XNUM = 0xFFFF  # the real count is elsewhere: no plugin has that many headers
_CLASS_NAMES = {1: "32-bit", 2: "64-bit"}
_DATA_NAMES = {1: "little-endian", 2: "big-endian"}
# Per ELF class (1: 32-bit, 2: 64-bit): the size of the file header and of a
# program header, and (offset, size) of the fields read, in the file header
# (e_phoff, e_phentsize, e_phnum) and in a program header (p_offset, p_filesz).
_LAYOUTS = {
    1: {"header": 52, "phdr": 32, "e_phoff": (28, 4), "e_phentsize": (42, 2), "e_phnum": (44, 2),
        "p_offset": (4, 4), "p_filesz": (16, 4)},
    2: {"header": 64, "phdr": 56, "e_phoff": (32, 8), "e_phentsize": (54, 2), "e_phnum": (56, 2),
        "p_offset": (8, 8), "p_filesz": (32, 8)},
}
_E_TYPE, _E_MACHINE = (16, 2), (18, 2)


class NotLoadable(Exception):
    """The reason a file is not loadable here, one short clause."""


def _field(data: bytes, at: tuple[int, int], order: str, base: int = 0) -> int:
    start = base + at[0]
    return int.from_bytes(data[start:start + at[1]], order)


@functools.cache
def _this_machine() -> tuple[int, int, int | None]:
    """(class, data, machine) of the running interpreter's own ELF file;
    the machine is None when that file cannot be read."""
    for candidate in ("/proc/self/exe", sys.executable):
        try:
            with open(candidate, "rb") as f:
                ident = f.read(20)
        except OSError:
            continue
        if len(ident) == 20 and ident[:4] == _MAGIC and ident[5] in _DATA_NAMES:
            return ident[4], ident[5], _field(ident, _E_MACHINE, "little" if ident[5] == 1 else "big")
    return (2 if sys.maxsize > 2**32 else 1), (1 if sys.byteorder == "little" else 2), None


def check_loadable(path: str | os.PathLike[str]) -> None:
    """Raises NotLoadable, with the reason, unless `path` is a complete ELF
    shared object for this machine; OSError when it cannot be read."""
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        want_class, want_data, want_machine = _this_machine()
        header = f.read(_LAYOUTS[want_class]["header"])
        if len(header) < 16 or header[:4] != _MAGIC:
            raise NotLoadable("not an ELF file")
        if header[4] != want_class or header[5] != want_data:
            raise NotLoadable(f"{_CLASS_NAMES.get(header[4], '?')} {_DATA_NAMES.get(header[5], '?')}, this "
                              f"interpreter is {_CLASS_NAMES[want_class]} {_DATA_NAMES[want_data]}")
        layout, order = _LAYOUTS[want_class], "little" if want_data == 1 else "big"
        if len(header) < layout["header"]:
            raise NotLoadable(f"truncated in its ELF header ({size} bytes)")
        e_type, machine = _field(header, _E_TYPE, order), _field(header, _E_MACHINE, order)
        if e_type != _ET_DYN:
            raise NotLoadable(f"ELF type {e_type}, not a shared object")
        if want_machine is not None and machine != want_machine:
            raise NotLoadable(f"built for ELF machine {machine}, this interpreter runs on {want_machine}")
        phoff, phnum = _field(header, layout["e_phoff"], order), _field(header, layout["e_phnum"], order)
        phdr = _field(header, layout["e_phentsize"], order)
        if phdr != layout["phdr"] or phnum == 0 or phnum == _PN_XNUM:
            raise NotLoadable(f"unexpected program header table ({phnum} entries of {phdr} bytes)")
        if phoff + phnum * phdr > size:
            raise NotLoadable(f"truncated: its program headers end at byte {phoff + phnum * phdr}, "
                              f"the file has {size}")
        f.seek(phoff)
        table = f.read(phnum * phdr)
        if len(table) < phnum * phdr:  # the file shrank meanwhile
            raise NotLoadable(f"truncated: its program headers end past byte {phoff + len(table)}")
        for index in range(phnum):
            end = (_field(table, layout["p_offset"], order, index * phdr)
                   + _field(table, layout["p_filesz"], order, index * phdr))
            if end > size:
                raise NotLoadable(f"truncated: segment {index} ends at byte {end}, the file has {size}")
