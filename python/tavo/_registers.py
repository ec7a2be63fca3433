"""A device's registers by name, through its register map:

    regs = tavo.Registers(device, tavo.RegisterMap.for_plugin("sim"))
    regs.CONTROL.write(INJECT_ERRORS=1)     # one write; reads back only if it must
    regs.CONTROL.read().DATA_VIEW           # 0

Every access is one call of the device's own register operations
(`get_register_sync`, `set_register_sync`) on the calling thread; nothing
is cached, so two threads see what the device holds. A read-modify-write is
a read and a write, not atomic: threads that write fields of one register
concurrently serialise those writes themselves.
"""

from __future__ import annotations

import os

import pytavo_device

from ._errors import DeviceError, check
from ._regmap import Register, RegisterMap

__all__ = ["RegisterValue", "RegisterAccess", "RegisterArray", "Registers"]


class RegisterValue(int):
    """A register's value as read: an int, whose fields are its attributes
    (`value.MODE` gives the enum name when the field has one, otherwise the
    number) and items (`value["MODE"]`). Arithmetic gives plain ints."""

    # The map refuses field names that int attributes (or these) would hide.
    _register: Register
    _name: str

    def __new__(cls, value: int, register: Register, name: str) -> RegisterValue:
        obj = super().__new__(cls, value)
        obj._register = register
        obj._name = name
        return obj

    def __getattr__(self, name: str) -> int | str:
        if name.startswith("_"):  # unpickling and copying look for these before _register is set
            raise AttributeError(name)
        return self._field(name, AttributeError)

    def __getitem__(self, name: str) -> int | str:
        return self._field(name, KeyError)

    def _field(self, name: str, missing: type[LookupError] | type[AttributeError]) -> int | str:
        field = self._register.fields.get(name)
        if field is None:
            raise missing(f"register {self._name} has no field {name!r}")
        # A write-only field's bits, as read, are whatever the device returns
        # there (often 0): never the field's value, so none is given.
        if field.access == "wo":
            raise missing(f"{self._name}.{name} is write-only: a read does not give its value")
        return field.decode(self)

    def __dir__(self) -> list[str]:
        return sorted(set(super().__dir__()) | set(self._asdict()))

    def _asdict(self) -> dict[str, int | str]:
        """Every readable field's value, by name, in the map's order (all but
        write-only fields)."""
        return {name: field.decode(self) for name, field in self._register.fields.items() if field.access != "wo"}

    def __reduce__(self):
        return int, (int(self),)  # a copy or a pickle is the number; the map stays behind

    __str__ = int.__repr__  # str() and f"{value}" give the number, as for any int

    def __repr__(self) -> str:
        digits = self._register.width // 4
        fields = "".join(f" {name}={value}" for name, value in self._asdict().items())
        return f"<{self._name} 0x{int(self):0{digits}X}{fields}>"


class RegisterAccess:
    """One register of a device: `read()` and `write(...)`. `name` is the
    register's (or array element's) name, `address` its address and
    `register` its definition in the map."""

    def __init__(self, device: pytavo_device.Device, regmap: RegisterMap, register: Register, name: str,
                 address: int) -> None:
        self.device, self.regmap, self.register, self.name, self.address = device, regmap, register, name, address

    def __repr__(self) -> str:
        return f"<register {self.name} at 0x{self.address:04X}, {self.register.access}>"

    def _operation(self, verb: str) -> str:
        return f"{verb} {self.name} (0x{self.address:04X})"

    def read(self) -> RegisterValue:
        """The register's value, read from the device now. A read-clears
        register is read (and so cleared) only by this call, never behind
        the caller's back. Raises ValueError for a write-only register and
        DeviceError, naming the register, when the device gives no value."""
        if not self.register.readable:
            raise ValueError(f"{self.name} is write-only")
        return RegisterValue(self._read(), self.register, self.name)

    def _read(self) -> int:
        value = self.device.get_register_sync(self.address)
        if value is None:
            raise DeviceError(self._operation("read"), pytavo_device.ReturnCode.Failure)
        return value

    def write(self, value: int | None = None, /, **fields: int | str) -> None:
        """Writes a whole `value`, or the named fields (numbers or enum
        names), or fields over a whole value (`write(0, ENABLE=1)`), in one
        `set_register_sync`.

        Fields alone keep the register's other bits. A device that merges
        masked writes (the map's `masked_writes`) gets the fields' mask and
        nothing is read. Otherwise the register is read once and merged, except
        where a read back would do harm or means nothing: a write-only or
        write-pulse register, or one whose fields are all write-1-to-clear,
        takes its reset value for the bits not named; a write-1-to-clear
        field not named is written 0 (a 1 would clear it) and a write-only
        field not named its reset value. A read-clears register is never read
        here: name all its fields, or give a whole value.

        Raises ValueError for a read-only register or field, an unknown
        field or a value that does not fit, before the device is called;
        DeviceError, naming the register, when the device refuses."""
        register = self.register
        if not register.writable:
            raise ValueError(f"{self.name} is read-only")
        if value is None and not fields:
            raise TypeError("write() needs a value, fields, or both")
        bits = mask = 0
        for name, field_value in fields.items():
            field = register.fields.get(name)
            if field is None:
                known = ", ".join(register.fields) or "none"
                raise ValueError(f"{self.name} has no field {name}; fields: {known}")
            if field.access == "ro":
                raise ValueError(f"{self.name}.{name} is read-only")
            bits |= field.encode(field_value)
            mask |= field.mask
        if value is not None:
            value = int(value)
            if not 0 <= value <= register.mask:
                raise ValueError(f"{value:#x} does not fit {self.name} ({register.width} bits)")
            new, send_mask = (value & ~mask) | bits, register.mask
        elif self.regmap.masked_writes:
            new, send_mask = bits, mask
        else:
            new, send_mask = self._merge(mask) | bits, register.mask
        check(self.device.set_register_sync(self.address, new, send_mask), self._operation("write"))

    def _merge(self, named: int) -> int:
        """The bits a field write keeps, for a device that writes whole
        registers: read back where that is safe, from the reset value
        where not."""
        register = self.register
        w1c = register.field_mask("w1c")
        write_only = register.field_mask("wo")
        # Bits the write must carry over from what the register holds now.
        keep = register.mask & ~(named | w1c | write_only)
        from_reset = register.write_base & ~(named | w1c)
        all_w1c = bool(register.fields) and w1c == register.field_mask()
        if register.access == "wo" or "write-pulse" in register.side_effects or all_w1c or keep == 0:
            return from_reset
        if "read-clears" in register.side_effects:
            missing = [name for name, field in register.fields.items() if not field.mask & named]
            if not missing:  # every field named: the reserved bits take their reset value
                return from_reset
            raise ValueError(f"{self.name} clears when read, so a field write cannot read it back: "
                             f"give a whole value or every field (missing: {', '.join(missing)})")
        return (self._read() & keep) | (from_reset & write_only)


class RegisterArray:
    """An array register: `regs.CH[3]` is element 3, a RegisterAccess."""

    def __init__(self, device: pytavo_device.Device, regmap: RegisterMap, register: Register) -> None:
        self._device, self._regmap, self.register = device, regmap, register

    def __len__(self) -> int:
        return self.register.count or 0

    def __getitem__(self, index: int) -> RegisterAccess:
        if not isinstance(index, int) or isinstance(index, bool):
            raise TypeError(f"register {self.register.name} is indexed by an int")
        if index < 0:
            index += len(self)
        name, address = self.register.element(index)
        return RegisterAccess(self._device, self._regmap, self.register, name, address)

    def __iter__(self):
        return (self[i] for i in range(len(self)))

    def __repr__(self) -> str:
        return f"<register array {self.register.name}[{len(self)}] at 0x{self.register.address:04X}>"


class Registers:
    """The registers of `device` by the names of `regmap` (a RegisterMap,
    or the path of a map file): `regs.CONTROL`, `regs.CH[3]`, or by item,
    `regs["CH[3]"]`, for names that are not identifiers here."""

    def __init__(self, device: pytavo_device.Device, regmap: RegisterMap | str | os.PathLike[str]) -> None:
        self.device = device
        self.regmap = regmap if isinstance(regmap, RegisterMap) else RegisterMap.load(regmap)

    def __getattr__(self, name: str) -> RegisterAccess | RegisterArray:
        if name.startswith("_") or name in ("device", "regmap"):  # not set yet: copying, unpickling
            raise AttributeError(name)
        register = self.regmap.registers.get(name)
        if register is None:
            raise AttributeError(f"no register {name} in {self.regmap.source}")
        return self._access(register)

    def __getitem__(self, name: str) -> RegisterAccess | RegisterArray:
        """`regs["CONTROL"]`, `regs["CH[3]"]`, or `regs["CH"]` for the array."""
        if name in self.regmap.registers:
            return self._access(self.regmap.registers[name])
        element, address, register, field = self.regmap.resolve(name)
        if field is not None:
            raise KeyError(f"{name!r} names a field: read its register, {element}, and take .{field.name}")
        return RegisterAccess(self.device, self.regmap, register, element, address)

    def _access(self, register: Register) -> RegisterAccess | RegisterArray:
        if register.count is not None:
            return RegisterArray(self.device, self.regmap, register)
        return RegisterAccess(self.device, self.regmap, register, register.name, register.address)

    def __dir__(self) -> list[str]:
        return sorted(set(super().__dir__()) | set(self.regmap.registers))

    def dump(self) -> dict[str, RegisterValue]:
        """Reads every register (and array element) that can be read without
        a side effect, in address order: all but write-only and read-clears
        ones. Volatile registers are read; their values are of this moment."""
        return {access.name: access.read() for access in self.dumpable()}

    def dumpable(self) -> list[RegisterAccess]:
        """The registers and array elements dump() reads, in address order,
        to read one at a time (as `tavo reg ... dump` does, printing each)."""
        return [RegisterAccess(self.device, self.regmap, register, name, address)
                for name, address, register in self.regmap.elements()
                if register.readable and "read-clears" not in register.side_effects]
