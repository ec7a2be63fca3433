"""Register tool: reads, writes and dumps the registers of one device.

    python3.12 registers.py PLUGIN [--device sim0] read ADDR
    python3.12 registers.py PLUGIN [--device sim0] write ADDR VALUE [MASK]
    python3.12 registers.py PLUGIN [--device sim0] dump

ADDR is a number (decimal or 0x-prefixed hexadecimal) or a register name of
the simulator's map (docs/simulator.md); VALUE and MASK are unsigned 32-bit
numbers. A write stages (addr, value, mask) and sends it; a device that
refuses the batch (the simulator refuses read-only and unmapped registers)
makes the tool fail. Each run creates the device anew: with the simulator,
a write lasts for that run only (it is read back before the tool exits).
Bad input and device failures print a message and exit
with a non-zero status (2 for usage, 1 for the device).
"""

import argparse
import sys

import pytavo_device as tavo

# The simulator's register map: address -> (name, writable).
SIM_REGISTERS = {
    0x00: ("ID", False), 0x04: ("VERSION", False), 0x08: ("MEMORY_SIZE", False),
    0x0C: ("DEVICE_INDEX", False), 0x10: ("SCRATCH0", True), 0x14: ("SCRATCH1", True),
    0x18: ("SCRATCH2", True), 0x1C: ("SCRATCH3", True), 0x20: ("CONTROL", True), 0x24: ("RATE", True),
    0x28: ("CHUNKS", True), 0x2C: ("ERROR_EVERY", True), 0x30: ("STATUS", False),
    0x34: ("CHUNKS_PRODUCED", False), 0x40: ("TRIGGER_COUNT", False), 0x44: ("LAST_TRIGGER", False),
}
ADDRESS_OF = {name: addr for addr, (name, _) in SIM_REGISTERS.items()}
U32_MAX = 0xFFFFFFFF


class DeviceError(Exception):
    """A failure reported by the plugin or the device."""


def u32(text):
    """An unsigned 32-bit number in decimal or 0x-hexadecimal."""
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 <= value <= U32_MAX:
        raise argparse.ArgumentTypeError(f"{text} is out of range 0..0x{U32_MAX:X}")
    return value


def address(text):
    """A register name of the simulator's map, or a number."""
    name = text.upper()
    return ADDRESS_OF[name] if name in ADDRESS_OF else u32(text)


def describe(addr):
    name = SIM_REGISTERS.get(addr, ("",))[0]
    return f"0x{addr:04X} {name:<16}"


def read(device, addr):
    value = device.get_register_sync(addr)
    if value is None:
        raise DeviceError("reading the registers failed (read_registers returned Failure)")
    print(f"{describe(addr)} 0x{value:08X}  {value}")


def write(device, addr, value, mask):
    result = device.set_register_sync(addr, value, mask)
    if result != tavo.ReturnCode.Success:
        raise DeviceError(f"the device refused the write to 0x{addr:04X} (send_registers returned "
                          f"{result.name}); read-only or unmapped register?")
    read(device, addr)


def dump(device):
    # One snapshot for the whole dump, so the values belong to one moment.
    if device.read_registers() != tavo.ReturnCode.Success:
        raise DeviceError("reading the registers failed (read_registers returned Failure)")
    for addr, (_, writable) in SIM_REGISTERS.items():
        value = device.get_register(addr)
        print(f"{describe(addr)} 0x{value:08X}  {'rw' if writable else 'ro'}")


def parse(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("plugin", help="path of the Device Manager plugin library")
    parser.add_argument("--device", default="sim0", help="device name, with options (default: sim0)")
    commands = parser.add_subparsers(dest="command", required=True, metavar="{read,write,dump}")
    read_cmd = commands.add_parser("read", help="read one register")
    read_cmd.add_argument("addr", type=address, metavar="ADDR")
    write_cmd = commands.add_parser("write", help="write one register: new = (old & ~MASK) | (VALUE & MASK)")
    write_cmd.add_argument("addr", type=address, metavar="ADDR")
    write_cmd.add_argument("value", type=u32, metavar="VALUE")
    write_cmd.add_argument("mask", type=u32, metavar="MASK", nargs="?", default=U32_MAX)
    commands.add_parser("dump", help="read every register of the simulator's map")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse(argv)
    try:
        manager = tavo.get_device_manager(args.plugin)
        if manager is None:
            raise DeviceError(f"{args.plugin}: the plugin made no manager")
        device = manager.create_device(args.device)
        if device is None:
            raise DeviceError(f"{args.plugin}: no device {args.device!r}")
        if args.command == "read":
            read(device, args.addr)
        elif args.command == "write":
            write(device, args.addr, args.value, args.mask)
        else:
            dump(device)
    except (DeviceError, RuntimeError) as e:
        print(f"registers.py: error: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
