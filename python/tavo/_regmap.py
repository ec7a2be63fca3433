"""Register maps: a device type's registers and their bit fields by name,
read from a TOML file (`<plugin file stem>.regmap.toml` beside the plugin)
and checked whole when loaded, so that a typo or an overlap is refused with
the file and the key that carry it, never met later as a wrong write.

The schema is in docs/python-guide.md ("Register maps"). A map is a value:
loaded once, never changed, shared freely between threads.
"""

from __future__ import annotations

import os
import pathlib
import re
import tomllib
from collections.abc import Iterator
from dataclasses import dataclass
from typing import NoReturn

from ._errors import TavoError
from ._plugins import find_plugin

__all__ = ["REGMAP_SUFFIX", "Field", "Register", "RegisterMap", "RegisterMapError"]

REGMAP_SUFFIX = ".regmap.toml"

_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
_BITS = re.compile(r"([0-9]+)(?::([0-9]+))?\Z")
_ELEMENT = re.compile(r"([A-Za-z_][A-Za-z0-9_]*)(?:\[([0-9]+)\])?(?:\.([A-Za-z_][A-Za-z0-9_]*))?\Z")
_WIDTHS = (8, 16, 32)
_ADDRESS_UNITS = (1, 2, 4)  # bytes per address step
_REGISTER_ACCESS = ("rw", "ro", "wo")
_FIELD_ACCESS = ("rw", "ro", "wo", "w1c")
_SIDE_EFFECTS = ("read-clears", "write-pulse", "volatile")
_ADDRESS_SPACE = 2**32  # register addresses are unsigned 32-bit on every device

_MAP_KEYS = ("description", "width", "address_unit", "masked_writes", "registers")
_REGISTER_KEYS = ("address", "access", "reset", "description", "side_effects", "count", "stride", "fields")
_FIELD_KEYS = ("bits", "access", "reset", "description", "enum", "signed")


class RegisterMapError(TavoError, ValueError):
    """A register map that cannot be used. `source` is the file, `key` the
    dotted key path of the mistake ("registers.CONTROL.fields.MODE.bits"),
    empty when the whole file is wrong, and `problem` what is wrong."""

    def __init__(self, source: str, key: str, problem: str) -> None:
        self.source, self.key, self.problem = source, key, problem
        super().__init__(f"{source}: {key}: {problem}" if key else f"{source}: {problem}")


@dataclass(frozen=True)
class Field:
    """Bits `lsb` .. `lsb + width - 1` of a register. `enum` maps names to
    values (signed values for a signed field)."""

    name: str
    lsb: int
    width: int
    access: str
    reset: int | None
    description: str
    enum: dict[str, int]
    signed: bool

    @property
    def msb(self) -> int:
        return self.lsb + self.width - 1

    @property
    def bits(self) -> str:
        """The bits as the map writes them: "7:4", or "5" for one bit."""
        return str(self.lsb) if self.width == 1 else f"{self.msb}:{self.lsb}"

    @property
    def mask(self) -> int:
        """The field's bits in place in the register."""
        return ((1 << self.width) - 1) << self.lsb

    def value_range(self) -> tuple[int, int]:
        if self.signed:
            return -(1 << (self.width - 1)), (1 << (self.width - 1)) - 1
        return 0, (1 << self.width) - 1

    def decode(self, register_value: int) -> int | str:
        """The field's value out of a whole register value: its enum name
        when it has one, otherwise the number (negative for a signed field)."""
        raw = (register_value >> self.lsb) & ((1 << self.width) - 1)
        if self.signed and raw >> (self.width - 1):
            raw -= 1 << self.width
        for name, value in self.enum.items():
            if value == raw:
                return name
        return raw

    def encode(self, value: int | str) -> int:
        """`value` (a number or an enum name) shifted into place. Raises
        ValueError for a value that does not fit or an unknown name."""
        if isinstance(value, str):
            if value not in self.enum:
                choices = ", ".join(self.enum) or "none (the field has no enum)"
                raise ValueError(f"field {self.name} has no value {value!r}; names: {choices}")
            value = self.enum[value]
        elif not isinstance(value, int):
            raise TypeError(f"field {self.name} takes an int or an enum name, not {type(value).__name__}")
        low, high = self.value_range()
        if not low <= value <= high:
            raise ValueError(f"{value} does not fit field {self.name} (bits {self.bits}: {low}..{high})")
        return (value & ((1 << self.width) - 1)) << self.lsb


@dataclass(frozen=True)
class Register:
    """One register, or an array of `count` registers `stride` address units
    apart (`count` None for a single one)."""

    name: str
    address: int
    access: str
    reset: int | None
    description: str
    side_effects: frozenset[str]
    count: int | None
    stride: int
    width: int
    fields: dict[str, Field]

    @property
    def readable(self) -> bool:
        return self.access != "wo"

    @property
    def writable(self) -> bool:
        return self.access != "ro"

    @property
    def mask(self) -> int:
        """Every bit of the register's width."""
        return (1 << self.width) - 1

    def field_mask(self, *accesses: str) -> int:
        """The bits of the fields with one of `accesses` (every field if none)."""
        mask = 0
        for field in self.fields.values():
            if not accesses or field.access in accesses:
                mask |= field.mask
        return mask

    @property
    def write_base(self) -> int:
        """What a write that cannot read the register back assumes for the
        bits it does not set: the reset value, else the fields' resets (0
        where none is given)."""
        if self.reset is not None:
            return self.reset
        base = 0
        for field in self.fields.values():
            if field.reset is not None:
                base |= (field.reset & ((1 << field.width) - 1)) << field.lsb
        return base

    def elements(self) -> list[tuple[str, int]]:
        """(name, address) of each register: the one, or "NAME[i]" for each
        element of an array."""
        if self.count is None:
            return [(self.name, self.address)]
        return [(f"{self.name}[{i}]", self.address + i * self.stride) for i in range(self.count)]

    def element(self, index: int | None) -> tuple[str, int]:
        """(name, address) of element `index`, None for a single register.
        Raises IndexError or LookupError for an index that does not exist."""
        if self.count is None:
            if index is not None:
                raise LookupError(f"register {self.name} is not an array")
            return self.name, self.address
        if index is None:
            raise LookupError(f"register {self.name} is an array of {self.count}: name one as {self.name}[i]")
        if not 0 <= index < self.count:
            raise IndexError(f"register {self.name}[{index}]: the array has {self.count} elements")
        return f"{self.name}[{index}]", self.address + index * self.stride


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
        return _Checker(source).check(document)

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
        element, address = register.element(None if index is None else int(index))
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


class _Checker:
    """Turns a parsed TOML document into a RegisterMap, refusing the first
    mistake with its key path. Checks every key's type (a bool is no
    number), refuses unknown keys, and checks every fit and overlap."""

    def __init__(self, source: str) -> None:
        self.source = source

    def fail(self, key: str, problem: str) -> NoReturn:
        raise RegisterMapError(self.source, key, problem)

    def keys(self, table: dict, path: str, allowed: tuple[str, ...]) -> None:
        for key in table:
            if key not in allowed:
                where = f"{path}.{key}" if path else key
                self.fail(where, f"unknown key; expected one of: {', '.join(allowed)}")

    def get(self, table: dict, path: str, key: str, kind: type, default=None, required: bool = False):
        where = f"{path}.{key}" if path else key
        if key not in table:
            if required:
                self.fail(where, "missing")
            return default
        value = table[key]
        if kind is int and isinstance(value, bool) or not isinstance(value, kind):
            expected = {int: "an integer", str: "a string", bool: "true or false", dict: "a table"}[kind]
            self.fail(where, f"must be {expected}, not {value!r}")
        return value

    def name(self, name: str, path: str) -> None:
        if not _NAME.match(name):
            self.fail(path, f"{name!r} is not a name (letters, digits and _, not starting with a digit)")

    def choice(self, value: str, where: str, choices: tuple[str, ...]) -> str:
        if value not in choices:
            self.fail(where, f"{value!r} is not one of: {', '.join(choices)}")
        return value

    def check(self, document: dict) -> RegisterMap:
        self.keys(document, "", _MAP_KEYS)
        width = self.get(document, "", "width", int, 32)
        if width not in _WIDTHS:
            self.fail("width", f"{width} is not one of: 8, 16, 32")
        unit = self.get(document, "", "address_unit", int, 1)
        if unit not in _ADDRESS_UNITS or unit > width // 8:
            self.fail("address_unit", f"{unit} must be 1, 2 or 4 bytes, and no more than a register ({width // 8})")
        description = self.get(document, "", "description", str, "")
        masked = self.get(document, "", "masked_writes", bool, False)
        tables = self.get(document, "", "registers", dict, required=True)
        if not tables:
            self.fail("registers", "no registers")
        span = width // 8 // unit
        registers = {name: self.register(name, table, width, span) for name, table in tables.items()}
        self.no_overlaps(registers, span)
        return RegisterMap(self.source, width, unit, description, masked, registers)

    def register(self, name: str, table, width: int, span: int) -> Register:
        path = f"registers.{name}"
        self.name(name, path)
        if not isinstance(table, dict):
            self.fail(path, "must be a table")
        self.keys(table, path, _REGISTER_KEYS)
        address = self.get(table, path, "address", int, required=True)
        access = self.choice(self.get(table, path, "access", str, "rw"), f"{path}.access", _REGISTER_ACCESS)
        reset = self.get(table, path, "reset", int)
        if reset is not None and not 0 <= reset < 1 << width:
            self.fail(f"{path}.reset", f"{reset:#x} does not fit the register width of {width} bits")
        effects = self.side_effects(table, path)
        count = self.get(table, path, "count", int)
        stride = self.get(table, path, "stride", int)
        if count is None and stride is not None:
            self.fail(f"{path}.stride", "a stride needs a count (the number of registers in the array)")
        if count is not None and count < 1:
            self.fail(f"{path}.count", f"{count} must be at least 1")
        if stride is not None and stride < span:
            self.fail(f"{path}.stride", f"{stride} is less than a register's {span} address unit(s)")
        stride = span if stride is None else stride
        last = address + ((count or 1) - 1) * stride + span
        if address < 0 or last > _ADDRESS_SPACE:
            self.fail(f"{path}.address", f"{address:#x} puts the register outside the 32-bit address space")
        fields_table = self.get(table, path, "fields", dict, {})
        fields = {fname: self.field(f"{path}.fields.{fname}", fname, ftable, access, width)
                  for fname, ftable in fields_table.items()}
        self.fields_fit(path, fields, reset)
        return Register(name, address, access, reset, self.get(table, path, "description", str, ""), effects,
                        count, stride, width, fields)

    def side_effects(self, table: dict, path: str) -> frozenset[str]:
        value = table.get("side_effects", [])
        items = [value] if isinstance(value, str) else value
        if not isinstance(items, list) or not all(isinstance(item, str) for item in items):
            self.fail(f"{path}.side_effects", f"must be a list of: {', '.join(_SIDE_EFFECTS)}")
        for item in items:
            self.choice(item, f"{path}.side_effects", _SIDE_EFFECTS)
        return frozenset(items)

    def field(self, path: str, name: str, table, register_access: str, width: int) -> Field:
        self.name(name, path)
        # A value's fields are its attributes: a field called `real` would be
        # hidden behind the int attribute of that name, and read silently wrong.
        if name.startswith("_") or hasattr(int, name):
            self.fail(path, f"{name!r} is taken by an attribute of int values; name the field otherwise")
        if not isinstance(table, dict):
            self.fail(path, "must be a table")
        self.keys(table, path, _FIELD_KEYS)
        lsb, field_width = self.bits(table.get("bits"), f"{path}.bits", width)
        access = self.choice(self.get(table, path, "access", str, register_access), f"{path}.access", _FIELD_ACCESS)
        if register_access == "ro" and access != "ro":
            self.fail(f"{path}.access", f"{access!r} in a read-only register")
        if register_access == "wo" and access not in ("wo", "w1c"):
            self.fail(f"{path}.access", f"{access!r} in a write-only register")
        signed = self.get(table, path, "signed", bool, False)
        field = Field(name, lsb, field_width, access, None, self.get(table, path, "description", str, ""),
                      {}, signed)
        low, high = field.value_range()
        reset = self.get(table, path, "reset", int)
        if reset is not None and not low <= reset <= high:
            self.fail(f"{path}.reset", f"{reset} does not fit bits {field.bits} ({low}..{high})")
        enum = self.get(table, path, "enum", dict, {})
        seen: dict[int, str] = {}
        for label, value in enum.items():
            where = f"{path}.enum.{label}"
            self.name(label, where)
            if isinstance(value, bool) or not isinstance(value, int):
                self.fail(where, f"must be an integer, not {value!r}")
            if not low <= value <= high:
                self.fail(where, f"{value} does not fit bits {field.bits} ({low}..{high})")
            if value in seen:
                self.fail(where, f"{value} is already the value of {seen[value]}")
            seen[value] = label
        return Field(name, lsb, field_width, access, reset, field.description, dict(enum), signed)

    def bits(self, value, where: str, width: int) -> tuple[int, int]:
        if value is None:
            self.fail(where, "missing")
        if isinstance(value, bool) or not isinstance(value, (int, str)):
            self.fail(where, f"must be a bit number or \"high:low\", not {value!r}")
        if isinstance(value, int):
            high = low = value
        else:
            match = _BITS.match(value)
            if match is None:
                self.fail(where, f"{value!r} is not a bit number or \"high:low\"")
            high = int(match.group(1))
            low = high if match.group(2) is None else int(match.group(2))
        if low < 0 or high < low:
            self.fail(where, f"{value!r}: the high bit comes first and bits count from 0")
        if high >= width:
            self.fail(where, f"{value!r} lies past the register width of {width} bits")
        return low, high - low + 1

    def fields_fit(self, path: str, fields: dict[str, Field], reset: int | None) -> None:
        ordered = sorted(fields.values(), key=lambda field: field.lsb)
        for before, field in zip(ordered, ordered[1:]):
            if field.lsb <= before.msb:
                self.fail(f"{path}.fields.{field.name}.bits",
                          f"bits {field.bits} overlap field {before.name} (bits {before.bits})")
        for field in fields.values():
            if reset is not None and field.reset is not None:
                declared = (field.reset & ((1 << field.width) - 1)) << field.lsb
                if reset & field.mask != declared:
                    self.fail(f"{path}.fields.{field.name}.reset",
                              f"{field.reset} differs from bits {field.bits} of the register's reset {reset:#x}")

    def no_overlaps(self, registers: dict[str, Register], span: int) -> None:
        placed = sorted(((address, element, register.name) for register in registers.values()
                         for element, address in register.elements()))
        for (start, element, owner), (next_start, next_element, next_owner) in zip(placed, placed[1:]):
            if next_start < start + span:
                self.fail(f"registers.{next_owner}.address",
                          f"{next_element} at {next_start:#06x} overlaps {element} "
                          f"({start:#06x}..{start + span - 1:#06x})")
