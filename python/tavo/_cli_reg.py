"""`tavo reg`: a device's registers by address or, through its register
map, by name.

    read ADDR [COUNT]                 "0xADDR 0xVALUE" lines, printed as read
    read NAME                         CONTROL, CH[3], CH (every element), CONTROL.ENABLE
    write ADDR VALUE [MASK]
    write NAME [VALUE] [FIELD=VALUE ...]
    write NAME.FIELD VALUE
    dump                              every register reading leaves unchanged

An address goes to the device as it is: no map is read for it, so
addresses work with or without one, cost no start-up, and a read prints the
plain lines scripts parse. A name is looked up in the map given with
`--map FILE`, else the one beside the plugin (RegisterMap.for_plugin), and
is accessed through tavo.Registers, which keeps the map's access rules.

Exit status of the named forms, decided once the map is read and before the
device is opened: 2 (usage) for what the command line gets wrong, an
unknown register, field or enum name, an index past an array, a word that
is neither a value nor FIELD=VALUE, a value that does not fit. 1 for an
operation refused, by the map (writing a read-only register or field,
reading a write-only one, a field write that a read-clears register cannot
merge) or by the device (the message names the register), and for a map
that is missing or wrong.
"""

from __future__ import annotations

import argparse

import tavo

from ._cli_args import (SUCCESS, U32_MAX, Command, CommandError, UsageError, add_json_flag, add_plugin_and_device,
                        integer, register_count, stdout, u32)

TYPE_CHECKING = False  # as in tavo/__init__: typing costs start-up
if TYPE_CHECKING:
    from ._regmap import Field, Register, RegisterMap
    from ._registers import RegisterValue


def register_target(text: str) -> int | str:
    """An address, range-checked as it is parsed, or a register's name,
    which the map checks once it is read (argparse `type`)."""
    if text and (text[0].isdigit() or text[0] in "-+"):
        return u32(text)
    return text


def check_reg_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """The checks of `reg` that span arguments, made before any plugin is
    looked for; the address forms get their VALUE and MASK here."""
    if args.action == "read":
        if isinstance(args.target, str):
            if args.count is not None:
                parser.error(f"reg read: COUNT goes with an address; {args.target} names its registers itself")
        else:
            args.count = 1 if args.count is None else args.count
            if args.target + 4 * (args.count - 1) > U32_MAX:
                parser.error(f"reg read: {args.count} registers from 0x{args.target:X} go past 0x{U32_MAX:X}")
    elif args.action == "write" and isinstance(args.target, int):
        if len(args.values) > 2:
            parser.error(f"reg write: an address takes VALUE [MASK], not {' '.join(args.values)}")
        numbers = []
        for metavar, text in zip(("VALUE", "MASK"), args.values):
            try:
                numbers.append(u32(text))
            except argparse.ArgumentTypeError as e:
                parser.error(f"argument {metavar}: {e}")
        args.value, args.mask = numbers[0], numbers[1] if len(numbers) > 1 else U32_MAX


# -- printing -----------------------------------------------------------------

class _Printer:
    """Prints each register as soon as it is read, as a line or as an
    element of one JSON array. close() ends the array, after a failure too,
    so that what was printed is valid JSON of the registers read."""

    def __init__(self, as_json: bool) -> None:
        self.out, self.json, self._separator = stdout(), as_json, "[\n  "

    def add(self, text: str) -> None:
        if self.json:
            self.out.write(self._separator + text)
            self._separator = ",\n  "
        else:
            self.out.write(text + "\n")

    def close(self) -> None:
        if self.json:
            self.out.write("[]\n" if self._separator == "[\n  " else "\n]\n")


def _add_value(printer: _Printer, name: str, address: int, register: Register, value: RegisterValue,
               field: Field | None = None) -> None:
    """A named register's entry: "0xADDR 0xVALUE NAME FIELD=value ...", the
    address form's columns first, with the one `field` or every readable
    one; in JSON {addr, value, name, fields}."""
    fields = {field.name: value[field.name]} if field is not None else value._asdict()
    if printer.json:
        import json  # here: the text form needs none
        printer.add(json.dumps({"addr": address, "value": int(value), "name": name, "fields": fields}))
    else:
        decoded = "".join(f" {key}={field_value}" for key, field_value in fields.items())
        printer.add(f"0x{address:04X} 0x{int(value):0{register.width // 4}X} {name}{decoded}")


# -- the map and the names in it ---------------------------------------------------

def _load_map(args: argparse.Namespace) -> RegisterMap:
    """The map of `--map FILE`, else the one beside the plugin: read only
    when a name is used."""
    from ._regmap import RegisterMap  # here: addresses need no map
    if args.map is not None:
        try:
            return RegisterMap.load(args.map)
        except OSError as e:
            raise CommandError(f"cannot read register map {args.map}: {e.strerror or e}") from None
    try:
        return RegisterMap.for_plugin(args.plugin)
    except tavo.TavoError:  # the plugin is not found (a FileNotFoundError too): said as it is
        raise
    except FileNotFoundError as e:
        raise CommandError(f"{e}; name one with --map FILE") from None


def _resolve(regmap: RegisterMap, name: str) -> tuple[str, int, Register, Field | None]:
    try:
        return regmap.resolve(name)
    except LookupError as e:
        raise UsageError(e.args[0]) from None


def _access(device, regmap: RegisterMap, register: Register, name: str, address: int):
    from ._registers import RegisterAccess
    return RegisterAccess(device, regmap, register, name, address)


def _write_arguments(words: list[str], name: str, register: Register,
                     field: Field | None) -> tuple[int | None, dict[str, int | str]]:
    """(whole value or None, fields) of the words after a register's name:
    `[VALUE] [FIELD=VALUE ...]`, or after NAME.FIELD its one VALUE. Field
    values are numbers or enum names. Every name and value is checked here,
    so a mistake is a usage error and the write refusals are the map's."""
    value, fields = None, {}
    if field is not None:
        if len(words) != 1:
            raise UsageError(f"reg write: {name}.{field.name} takes one VALUE, a number or an enum name")
        fields[field.name] = _field_value(words[0])
    else:
        for position, word in enumerate(words):
            field_name, equals, text = word.partition("=")
            if not equals:
                if position > 0:
                    raise UsageError(f"reg write: {word!r} is not FIELD=VALUE (a whole VALUE comes first)")
                try:
                    value = integer(word)
                except argparse.ArgumentTypeError as e:
                    raise UsageError(f"reg write: {name}: {e}") from None
                if not 0 <= value <= register.mask:
                    raise UsageError(f"reg write: {word} does not fit {name} ({register.width} bits)")
                continue
            if field_name in fields:
                raise UsageError(f"reg write: field {field_name} is given twice")
            fields[field_name] = _field_value(text)
    for field_name, field_value in fields.items():
        known = register.fields.get(field_name)
        if known is None:
            raise UsageError(f"register {name} has no field {field_name}; fields: "
                             f"{', '.join(register.fields) or 'none'}")
        try:
            known.encode(field_value)
        except (ValueError, TypeError) as e:
            raise UsageError(f"reg write: {name}: {e}") from None
    return value, fields


def _field_value(text: str) -> int | str:
    try:
        return integer(text)
    except argparse.ArgumentTypeError:
        return text  # an enum name: the field says whether it has it


# -- the actions ----------------------------------------------------------------

def run_reg_read(args: argparse.Namespace) -> int:
    """Prints each register as it is read (a long read holds nothing), and
    stops at the first the device refuses; the JSON array is closed then
    too, holding those read."""
    if isinstance(args.target, str):
        return _read_names(args)
    device = tavo.open_device(args.plugin, args.device)
    printer = _Printer(args.json)
    try:
        for index in range(args.count):
            addr = args.target + 4 * index
            value = device.get_register_sync(addr)
            if value is None:
                raise CommandError(f"reading register 0x{addr:04X} of {args.device} failed "
                                   "(get_register_sync gave no value)")
            printer.add(f'{{"addr": {addr}, "value": {value}}}' if args.json else f"0x{addr:04X} 0x{value:08X}")
    finally:
        printer.close()
    return SUCCESS


def _read_names(args: argparse.Namespace) -> int:
    regmap = _load_map(args)
    register = regmap.registers.get(args.target)
    if register is not None and register.count is not None:  # an array's name: every element
        elements, field = [(name, address, register) for name, address in register.elements()], None
    else:
        name, address, register, field = _resolve(regmap, args.target)
        if field is not None and field.access == "wo":
            raise CommandError(f"reg read: {name}.{field.name} is write-only")
        elements = [(name, address, register)]
    device = tavo.open_device(args.plugin, args.device)
    printer = _Printer(args.json)
    try:
        for name, address, register in elements:
            try:
                value = _access(device, regmap, register, name, address).read()
            except ValueError as e:  # a write-only register
                raise CommandError(f"reg read: {e}") from None
            _add_value(printer, name, address, register, value, field)
    finally:
        printer.close()
    return SUCCESS


def run_reg_dump(args: argparse.Namespace) -> int:
    from ._registers import Registers
    regmap = _load_map(args)
    regs = Registers(tavo.open_device(args.plugin, args.device), regmap)
    printer = _Printer(args.json)
    try:
        for access in regs.dumpable():
            _add_value(printer, access.name, access.address, access.register, access.read())
    finally:
        printer.close()
    return SUCCESS


def run_reg_write(args: argparse.Namespace) -> int:
    if isinstance(args.target, int):
        device = tavo.open_device(args.plugin, args.device)
        try:
            tavo.check(device.set_register_sync(args.target, args.value, args.mask), "set_register_sync")
        except tavo.DeviceError as e:
            raise CommandError(f"{args.device} refused the write of 0x{args.value:08X} (mask 0x{args.mask:08X}) "
                               f"to 0x{args.target:04X}: {e}") from None
        return SUCCESS
    regmap = _load_map(args)
    name, address, register, field = _resolve(regmap, args.target)
    value, fields = _write_arguments(args.values, name, register, field)
    access = _access(tavo.open_device(args.plugin, args.device), regmap, register, name, address)
    try:
        access.write(value, **fields)  # a device's refusal: DeviceError, naming the register
    except ValueError as e:  # what the map refuses: a read-only register or field, a read-clears merge
        raise CommandError(f"reg write: {e}") from None
    return SUCCESS


# -- the parser ------------------------------------------------------------------

_TARGET_HELP = ("a register's address (0..0xFFFFFFFF, 0x20 or 32) or its name in the register map "
                "(CONTROL, CH[3], CONTROL.ENABLE)")


def _add_map_option(parser: argparse.ArgumentParser, top: bool = False) -> None:
    """`--map FILE`, before or after the action (as add_json_flag)."""
    parser.add_argument("--map", metavar="FILE", default=None if top else argparse.SUPPRESS,
                        help="the register map for names (default: the plugin's, beside it as "
                             "<plugin file stem>.regmap.toml); read only when a name is used")


def _reg_arguments(parser: argparse.ArgumentParser) -> None:
    add_plugin_and_device(parser)
    add_json_flag(parser)
    _add_map_option(parser, top=True)
    parser.set_defaults(check=check_reg_arguments)
    actions = parser.add_subparsers(dest="action", required=True, metavar="ACTION")
    read = actions.add_parser(
        "read", help="read registers: by address, '0xADDR 0xVALUE' lines; by name, with their fields",
        description="Reads COUNT registers from ADDR on, 4 apart, with get_register_sync, printing each "
                    "'0xADDR 0xVALUE' line as it is read; or reads the register NAME (every element of an "
                    "array NAME) and prints '0xADDR 0xVALUE NAME FIELD=value ...' (only the field, for "
                    "NAME.FIELD). Stops with exit status 1 at the first register the device gives no value "
                    "for.")
    read.add_argument("target", type=register_target, metavar="ADDR|NAME", help=_TARGET_HELP)
    read.add_argument("count", type=register_count, metavar="COUNT", nargs="?", default=None,
                      help="after an address: how many registers (default 1); the last must be at most "
                           "0xFFFFFFFF")
    read.set_defaults(run=run_reg_read)
    write = actions.add_parser(
        "write", help="write a register by address (VALUE [MASK]) or by name (VALUE and/or FIELD=VALUE)",
        description="By address: writes VALUE under MASK (default 0xFFFFFFFF) with set_register_sync; what "
                    "the mask means is the device's choice, the simulator writes (old & ~MASK) | (VALUE & MASK). "
                    "By name: a whole VALUE, FIELD=VALUE words (numbers or enum names; the other fields keep "
                    "their values), or both; NAME.FIELD VALUE writes one field. Exit status 1 if the map or "
                    "the device refuses the write.")
    write.add_argument("target", type=register_target, metavar="ADDR|NAME", help=_TARGET_HELP)
    write.add_argument("values", metavar="VALUE", nargs="+",
                       help="after an address: VALUE [MASK]; after a name: [VALUE] [FIELD=VALUE ...]")
    write.set_defaults(run=run_reg_write)
    dump = actions.add_parser(
        "dump", help="every register that reading leaves unchanged, by name, with its fields",
        description="Reads every register and array element of the map that a read leaves unchanged (all "
                    "but write-only and read-clears ones), in address order, printing each as 'reg read NAME' "
                    "does.")
    dump.set_defaults(run=run_reg_dump)
    for action in (read, write, dump):
        _add_map_option(action)
        if action is not write:  # a write prints nothing
            add_json_flag(action)


REG_COMMAND = Command(
    "reg", _reg_arguments, None, help="read or write registers, by address or by name",
    description="Reads or writes registers of DEVICE, by address or by their names in the register map. Each "
                "run makes a fresh device, so a value written by one run is seen by the next only if the device "
                "(not the run) keeps it; the simulator makes a new device each time. Mistakes in names, fields "
                "and values exit with status 2; a read or write the map or the device refuses with 1.")
