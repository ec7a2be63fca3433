"""The `tavo` command: the package's public API on the command line.

    tavo plugins [--json]
    tavo devices PLUGIN [--json]
    tavo info PLUGIN DEVICE [--json]
    tavo reg PLUGIN DEVICE read ADDR [COUNT] [--json]
    tavo reg PLUGIN DEVICE write ADDR VALUE [MASK]
    tavo record PLUGIN DEVICE -o FILE (--bytes N | --seconds S) [options]

PLUGIN is a short name found on the plugin path (`sim`) or a file; DEVICE is
the plugin's own device string (`sim0:rate=100`). Exit status: 0 done, 1 a
plugin, device, stream or file failure, 2 bad usage; every failure is one
line "tavo: error: ..." on stderr. The command adds nothing to what the
package offers: each subcommand is a few calls of it and some printing.
"""

from __future__ import annotations

import argparse
import json
import sys

import tavo

from ._cli_args import (FAILURE, INTERRUPTED, SUCCESS, U32_MAX, USAGE, CommandError, Parser,
                        add_plugin_and_device, positive, u32)
from ._cli_record import add_record_command
from ._plugins import load_manager


# -- output ------------------------------------------------------------------

def _print_json(value: object) -> None:
    print(json.dumps(value, indent=2))


def _indented(text: str) -> str:
    return "".join(f"  {line}\n" for line in text.splitlines())


def _one_line(text: str) -> str:
    """Folds a message that spans lines (a plugin's device list) into one."""
    lines = [" ".join(line.split()) for line in str(text).splitlines()]
    return "; ".join(line for line in lines if line) or "failed"


# -- subcommands -------------------------------------------------------------

def run_plugins(args: argparse.Namespace) -> int:
    found, dirs = tavo.list_plugins(), tavo.plugin_dirs()
    if args.json:
        _print_json({"plugins": [{"name": name, "path": str(path)} for name, path in found],
                     "directories": [str(d) for d in dirs]})
        return SUCCESS
    width = max((len(name) for name, _ in found), default=0)
    for name, path in found:
        print(f"{name:<{width}}  {path}")
    if not found:
        print("no plugins found")
    print(f"searched ({tavo.PLUGIN_PATH_VARIABLE}, then this installation's own):")
    print(_indented("\n".join(map(str, dirs))) if dirs else "  (no directories)\n", end="")
    return SUCCESS


def run_devices(args: argparse.Namespace) -> int:
    _, manager = load_manager(args.plugin)
    info, location = manager.info(), str(manager.location())
    devices, options = manager.list_devices(), manager.get_device_options()
    if args.json:
        # The list and the options are in the plugin's own format: the list
        # is given one entry per line, the options as the plugin wrote them.
        _print_json({"info": info, "location": location, "devices": devices.splitlines(), "options": options})
        return SUCCESS
    print(f"manager:  {info}\nlocation: {location}\ndevices:\n{_indented(devices)}options:\n{_indented(options)}",
          end="")
    return SUCCESS


def run_info(args: argparse.Namespace) -> int:
    device = tavo.open_device(args.plugin, args.device)
    info, status = device.get_info(), device.get_status()
    if args.json:
        _print_json({"device": args.device, "info": info, "status": status})
        return SUCCESS
    not_given = "(the device gives none)"
    print(f"info:   {not_given if info is None else info}\nstatus: {not_given if status is None else status}")
    return SUCCESS


def run_reg_read(args: argparse.Namespace) -> int:
    device = tavo.open_device(args.plugin, args.device)
    registers = []
    for index in range(args.count):
        addr = args.addr + 4 * index
        value = device.get_register_sync(addr)
        if value is None:
            raise CommandError(f"reading register 0x{addr:04X} of {args.device} failed "
                               "(get_register_sync gave no value)")
        registers.append((addr, value))
    if args.json:
        _print_json([{"addr": addr, "value": value} for addr, value in registers])
    else:
        for addr, value in registers:
            print(f"0x{addr:04X} 0x{value:08X}")
    return SUCCESS


def run_reg_write(args: argparse.Namespace) -> int:
    device = tavo.open_device(args.plugin, args.device)
    try:
        tavo.check(device.set_register_sync(args.addr, args.value, args.mask), "set_register_sync")
    except tavo.DeviceError as e:
        raise CommandError(f"{args.device} refused the write of 0x{args.value:08X} (mask 0x{args.mask:08X}) "
                           f"to 0x{args.addr:04X}: {e}") from None
    return SUCCESS


# -- the parser --------------------------------------------------------------

def _json_flag(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--json", action="store_true", help="print JSON, for scripts")


def make_parser() -> argparse.ArgumentParser:
    parser = Parser(prog="tavo", description="Find plugins, look at devices, access registers, record streams.",
                     epilog="Numbers are decimal or 0x hexadecimal. Exit status: 0 done, 1 plugin, device, "
                            "stream or file failure, 2 bad usage.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    plugins = commands.add_parser("plugins", help="the plugins found and the directories searched")
    _json_flag(plugins)
    plugins.set_defaults(run=run_plugins)

    devices = commands.add_parser("devices", help="a plugin's manager: info, location, devices, options")
    add_plugin_and_device(devices, device=False)
    _json_flag(devices)
    devices.set_defaults(run=run_devices)

    info = commands.add_parser("info", help="a device's info and status")
    add_plugin_and_device(info)
    _json_flag(info)
    info.set_defaults(run=run_info)

    reg = commands.add_parser("reg", help="read or write registers")
    add_plugin_and_device(reg)
    actions = reg.add_subparsers(dest="action", required=True, metavar="ACTION")
    read = actions.add_parser("read", help="read COUNT registers from ADDR on, 4 apart: '0xADDR 0xVALUE' lines")
    read.add_argument("addr", type=u32, metavar="ADDR")
    read.add_argument("count", type=positive, metavar="COUNT", nargs="?", default=1)
    _json_flag(read)
    read.set_defaults(run=run_reg_read)
    write = actions.add_parser("write", help="write a register: new = (old & ~MASK) | (VALUE & MASK)")
    write.add_argument("addr", type=u32, metavar="ADDR")
    write.add_argument("value", type=u32, metavar="VALUE")
    write.add_argument("mask", type=u32, metavar="MASK", nargs="?", default=U32_MAX,
                       help="default 0xFFFFFFFF: the whole register")
    write.set_defaults(run=run_reg_write)

    add_record_command(commands)
    return parser


def _check_ranges(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if getattr(args, "action", None) == "read" and args.addr + 4 * (args.count - 1) > U32_MAX:
        parser.error(f"reg read: {args.count} registers from 0x{args.addr:X} go past 0x{U32_MAX:X}")


def main(argv: list[str] | None = None) -> int:
    """Runs the command with `argv` (default: the process's arguments) and
    returns its exit status."""
    parser = make_parser()
    try:
        args = parser.parse_args(argv)
        _check_ranges(parser, args)
    except SystemExit as e:  # --help, or a usage error already reported
        return e.code if isinstance(e.code, int) else USAGE
    try:
        return args.run(args)
    # The failures a user or a plugin can cause: a plugin not found
    # (FileNotFoundError) or not loadable, a device string the plugin
    # refuses (RuntimeError, the plugin's text), a plugin that makes no
    # device (LookupError), a text that is not UTF-8, a refused operation, a
    # file that cannot be written. Anything else is a fault of this program
    # and keeps its traceback.
    except (CommandError, tavo.TavoError, OSError, RuntimeError, LookupError, UnicodeDecodeError) as e:
        sys.stdout.flush()
        print(f"tavo: error: {_one_line(e)}", file=sys.stderr)
        return FAILURE
    except KeyboardInterrupt:
        return INTERRUPTED
