"""Register maps: a device type's registers and their bit fields by name,
read from a TOML file (`<plugin file stem>.regmap.toml` beside the plugin)
and checked whole when loaded, so that a typo or an overlap is refused with
the file and the key that carry it, never met later as a wrong write.

The schema is in docs/python-guide.md ("Register maps"), its checks in
_regmap_schema. A map is a value: loaded once, never changed, shared
freely between threads.
"""

from __future__ import annotations

import os
import pathlib
import re
import tomllib
from collections.abc import Iterator

from ._plugins import find_plugin
from ._regmap_schema import Field, Register, RegisterMapError, check_map

__all__ = ["REGMAP_SUFFIX", "Field", "Register", "RegisterMap", "RegisterMapError", "map_path_for"]

REGMAP_SUFFIX = ".regmap.toml"

_ELEMENT = re.compile(r"([A-Za-z_][A-Za-z0-9_]*)(?:\[([0-9]+)\])?(?:\.([A-Za-z_][A-Za-z0-9_]*))?\Z")


class RegisterMap:
    """The registers of one device type, from a TOML register map.

    `width` (8, 16 or 32 bits), `address_unit` (bytes per address step),
    `description`, `masked_writes` (whether the device merges a masked write
    `(old & ~mask) | (value & mask)` itself, so a field write needs no read)
    and `registers` (name to Register, in the file's order). `source` names
    the file."""

    def __init__(self, source: str, width: int, address_unit: int, description: str, masked_writes: bool,
                 registers: dict[str, Register]) -> None:
        self.source = source
        self.width = width
        self.address_unit = address_unit
        self.description = description
        self.masked_writes = masked_writes
        self.registers = registers

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> RegisterMap:
        """Reads and checks the map in `path`. Raises OSError if it cannot be
        read and RegisterMapError for anything wrong in it."""
        with open(path, "rb") as file:
            data = file.read()
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as error:
            raise RegisterMapError(os.fspath(path), "", f"not UTF-8 text ({error.reason} at byte {error.start})")
        return cls.loads(text, os.fspath(path))

    @classmethod
    def loads(cls, text: str, source: str = "<string>") -> RegisterMap:
        """The map in the TOML `text`; `source` names it in error messages."""
        try:
            document = tomllib.loads(text)
        except tomllib.TOMLDecodeError as error:  # duplicate keys (names) are refused here
            # tomllib gives the line and column, not always the key: quote the line.
            problem = f"not valid TOML: {error}"
            where = re.search(r"at line (\d+),", str(error))
            lines = text.splitlines()
            if where and 0 < int(where.group(1)) <= len(lines):
                problem += f": {lines[int(where.group(1)) - 1].strip()}"
            raise RegisterMapError(source, "", problem) from None
        return cls(source, *check_map(document, source))

    @classmethod
    def for_plugin(cls, plugin: str | os.PathLike[str]) -> RegisterMap:
        """The map beside the plugin `tavo.find_plugin(plugin)` finds: the
        plugin file's stem plus ".regmap.toml" (libtavo_sim.regmap.toml for
        libtavo_sim.so). Raises FileNotFoundError if there is none."""
        return cls.load(map_path_for(find_plugin(plugin)))

    def __getitem__(self, name: str) -> Register:
        return self.registers[name]

    def __contains__(self, name: object) -> bool:
        return name in self.registers

    def __iter__(self) -> Iterator[Register]:
        return iter(self.registers.values())

    def __len__(self) -> int:
        return len(self.registers)

    def __repr__(self) -> str:
        return f"<RegisterMap {self.source}: {len(self.registers)} registers>"

    def elements(self) -> list[tuple[str, int, Register]]:
        """(name, address, register) of every register and array element, in
        address order."""
        found = [(name, address, register) for register in self.registers.values()
                 for name, address in register.elements()]
        return sorted(found, key=lambda entry: entry[1])

    def at(self, address: int) -> tuple[str, Register] | None:
        """(name, register) of the register at `address` exactly, or None."""
        for name, start, register in self.elements():
            if start == address:
                return name, register
        return None

    def resolve(self, path: str) -> tuple[str, int, Register, Field | None]:
        """Looks up "NAME", "NAME[i]", "NAME.FIELD" or "NAME[i].FIELD":
        (register name, its address, the register, the field or None).
        Raises LookupError (KeyError or IndexError) naming what is missing."""
        match = _ELEMENT.fullmatch(path)
        if match is None:
            raise KeyError(f"{path!r} is not a register name (NAME, NAME[i], NAME.FIELD or NAME[i].FIELD)")
        name, index, field_name = match.group(1), match.group(2), match.group(3)
        register = self.registers.get(name)
        if register is None:
            raise KeyError(f"no register {name} in {self.source}")
        position = None
        if index is not None:
            # int() refuses a text of over 4300 digits (ValueError): an index
            # longer than any address (10 digits) is past every array anyway.
            digits = index.lstrip("0") or "0"
            if len(digits) > 10 and register.count is not None:
                raise IndexError(f"register {name}[{index}]: the array has {register.count} elements")
            position = int(digits) if len(digits) <= 10 else 0  # a register that is no array refuses any index
        element, address = register.element(position)
        if field_name is None:
            return element, address, register, None
        field = register.fields.get(field_name)
        if field is None:
            known = ", ".join(register.fields) or "none"
            raise KeyError(f"register {name} has no field {field_name}; fields: {known}")
        return element, address, register, field


def map_path_for(plugin_file: str | os.PathLike[str]) -> pathlib.Path:
    """Where the register map of the plugin in `plugin_file` lives. Raises
    FileNotFoundError, naming that path, if there is no file there."""
    plugin_path = pathlib.Path(plugin_file)
    path = plugin_path.with_name(plugin_path.stem + REGMAP_SUFFIX)
    if not path.is_file():
        raise FileNotFoundError(f"no register map for plugin {plugin_path}: {path} does not exist")
    return path
