"""What a register map holds and how it is checked: the Field and
Register records, and the checks that turn a parsed TOML document into them,
refusing the first mistake with its file and key path. The keys are
documented in docs/python-guide.md ("Register maps"); RegisterMap (in
_regmap) reads the file and looks names up.
"""

from __future__ import annotations

import re

from ._errors import TavoError

TYPE_CHECKING = False  # as in tavo/__init__
if TYPE_CHECKING:
    from typing import NoReturn

__all__ = ["Field", "Register", "RegisterMapError", "check_map"]

_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
_BITS = re.compile(r"([0-9]+)(?::([0-9]+))?\Z")
_WIDTHS = (8, 16, 32)
_ADDRESS_UNITS = (1, 2, 4)  # bytes per address step
_REGISTER_ACCESS = ("rw", "ro", "wo")
_FIELD_ACCESS = ("rw", "ro", "wo", "w1c")
_SIDE_EFFECTS = ("read-clears", "write-pulse", "volatile")
_ADDRESS_SPACE = 2**32  # register addresses are unsigned 32-bit on every device

_MAP_KEYS = ("description", "width", "address_unit", "masked_writes", "registers")
_REGISTER_KEYS = ("address", "access", "reset", "description", "side_effects", "count", "stride", "fields")
_FIELD_KEYS = ("bits", "access", "reset", "description", "enum", "signed")


class _Record:
    """A record of named values (its `__slots__`), given by position or by
    name, compared by value, never changed: what a frozen dataclass gives,
    without importing `dataclasses` (and `inspect`) and compiling methods
    per class, which cost a named `tavo reg` a fifth of its start-up."""

    __slots__ = ()

    def __init__(self, *values: object, **named: object) -> None:
        names = self.__slots__
        if len(values) > len(names):
            raise TypeError(f"{type(self).__name__} takes {len(names)} values, not {len(values)}")
        given = dict(zip(names, values))
        for name, value in named.items():
            if name not in names or name in given:
                raise TypeError(f"{type(self).__name__}: unexpected or repeated value {name!r}")
            given[name] = value
        if len(given) != len(names):
            missing = ", ".join(name for name in names if name not in given)
            raise TypeError(f"{type(self).__name__}: missing {missing}")
        for name in names:
            object.__setattr__(self, name, given[name])

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"{type(self).__name__} cannot be changed")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"{type(self).__name__} cannot be changed")

    def _values(self) -> tuple:
        return tuple(getattr(self, name) for name in self.__slots__)

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return self._values() == other._values()

    __hash__ = None  # (as the dataclass's: its dicts cannot be hashed)

    def __reduce__(self):
        return type(self), self._values()  # copies and pickles

    def __repr__(self) -> str:
        values = ", ".join(f"{name}={getattr(self, name)!r}" for name in self.__slots__)
        return f"{type(self).__name__}({values})"


class RegisterMapError(TavoError, ValueError):
    """A register map that cannot be used. `source` is the file, `key` the
    dotted key path of the mistake ("registers.CONTROL.fields.MODE.bits"),
    empty when the whole file is wrong, and `problem` what is wrong."""

    def __init__(self, source: str, key: str, problem: str) -> None:
        self.source, self.key, self.problem = source, key, problem
        super().__init__(f"{source}: {key}: {problem}" if key else f"{source}: {problem}")


class Field(_Record):
    """Bits `lsb` .. `lsb + width - 1` of a register. `enum` maps names to
    values (signed values for a signed field)."""

    __slots__ = ("name", "lsb", "width", "access", "reset", "description", "enum", "signed")

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


class Register(_Record):
    """One register, or an array of `count` registers `stride` address units
    apart (`count` None for a single one)."""

    __slots__ = ("name", "address", "access", "reset", "description", "side_effects", "count", "stride", "width",
                 "fields")

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


def check_map(document: dict, source: str) -> tuple[int, int, str, bool, dict[str, Register]]:
    """(width, address unit, description, masked_writes, registers) of the
    parsed TOML `document`, every key checked; raises RegisterMapError
    naming `source` and the key path of the first mistake."""
    return _Checker(source).check(document)


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

    def check(self, document: dict) -> tuple[int, int, str, bool, dict[str, Register]]:
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
        return width, unit, description, masked, registers

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
