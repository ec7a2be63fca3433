"""The subcommands of `tavo` that look and touch: plugins, devices, info and
reg. Each is a few calls of the package and some printing."""

from __future__ import annotations

import argparse

import tavo

from ._cli_args import (SUCCESS, U32_MAX, Command, CommandError, add_json_flag, add_plugin_and_device,
                        print_json, register_count, stdout, u32)
from ._plugins import load_manager


def _indented(text: str) -> str:
    return "".join(f"  {line}\n" for line in text.splitlines())


def _device_entries(listing: str) -> list[dict[str, str]]:
    """A manager's device list, one device per line, as objects: the name,
    then after the first tab the description (empty when there is none)."""
    entries = []
    for line in listing.splitlines():
        name, _, description = line.partition("\t")
        if name.strip():
            entries.append({"name": name.strip(), "description": description.strip()})
    return entries


def run_plugins(args: argparse.Namespace) -> int:
    found, dirs, skipped = tavo.list_plugins(), tavo.plugin_dirs(), dict(tavo.unreadable_plugin_dirs())
    if args.json:
        print_json({"plugins": [{"name": name, "path": str(path)} for name, path in found],
                    "directories": [str(d) for d in dirs],
                    "skipped": [{"path": str(d), "reason": reason} for d, reason in skipped.items()]})
        return SUCCESS
    out = stdout()
    width = max((len(name) for name, _ in found), default=0)
    for name, path in found:
        print(f"{name:<{width}}  {path}", file=out)
    if not found:
        print("no plugins found", file=out)
    print(f"searched ({tavo.PLUGIN_PATH_VARIABLE}, then this installation's own):", file=out)
    for d in dirs:
        print(f"  {d}" + (f"  (skipped, cannot be read: {skipped[d]})" if d in skipped else ""), file=out)
    if not dirs:
        print("  (no directories)", file=out)
    return SUCCESS


def _one_plugin(name: str, path) -> dict:
    """One plugin of `tavo devices` without a PLUGIN: its manager's info and
    devices, or why it could not be asked."""
    entry = {"name": name, "path": str(path)}
    try:
        _, manager = load_manager(path)
        entry.update(info=manager.info(), devices=_device_entries(manager.list_devices()))
    except (tavo.TavoError, RuntimeError, UnicodeError, MemoryError) as e:
        entry["error"] = " ".join(str(e).split()) or type(e).__name__
    return entry


def run_devices(args: argparse.Namespace) -> int:
    if args.plugin is None:
        plugins = [_one_plugin(name, path) for name, path in tavo.list_plugins()]
        if args.json:
            print_json({"plugins": plugins})
            return SUCCESS
        out = stdout()
        for plugin in plugins:
            if "error" in plugin:
                print(f"{plugin['name']}  {plugin['path']}  (not loaded: {plugin['error']})", file=out)
                continue
            print(f"{plugin['name']}  {plugin['path']}  {plugin['info']}", file=out)
            for device in plugin["devices"]:
                print(f"  {device['name']}\t{device['description']}".rstrip("\t"), file=out)
        if not plugins:
            print("no plugins found (see 'tavo plugins')", file=out)
        return SUCCESS
    _, manager = load_manager(args.plugin)
    info, location = manager.info(), str(manager.location())
    devices, options = manager.list_devices(), manager.get_device_options()
    if args.json:
        # The options are in the plugin's own format, given as it wrote them.
        print_json({"info": info, "location": location, "devices": _device_entries(devices), "options": options})
        return SUCCESS
    print(f"manager:  {info}\nlocation: {location}\ndevices:\n{_indented(devices)}options:\n{_indented(options)}",
          end="", file=stdout())
    return SUCCESS


def run_info(args: argparse.Namespace) -> int:
    device = tavo.open_device(args.plugin, args.device)
    info, status = device.get_info(), device.get_status()
    if args.json:
        print_json({"device": args.device, "info": info, "status": status})
        return SUCCESS
    not_given = "(the device gives none)"
    print(f"info:   {not_given if info is None else info}\nstatus: {not_given if status is None else status}",
          file=stdout())
    return SUCCESS


def run_reg_read(args: argparse.Namespace) -> int:
    """Prints each register as it is read (a long read holds nothing), and
    stops at the first the device refuses; the JSON array is closed then
    too, holding those read."""
    device = tavo.open_device(args.plugin, args.device)
    out = stdout()
    separator = "[\n  "
    for index in range(args.count):
        addr = args.addr + 4 * index
        value = device.get_register_sync(addr)
        if value is None:
            if args.json:
                out.write("[]\n" if index == 0 else "\n]\n")
            raise CommandError(f"reading register 0x{addr:04X} of {args.device} failed "
                               "(get_register_sync gave no value)")
        if args.json:
            out.write(f'{separator}{{"addr": {addr}, "value": {value}}}')
            separator = ",\n  "
        else:
            out.write(f"0x{addr:04X} 0x{value:08X}\n")
    if args.json:
        out.write("\n]\n")
    return SUCCESS


def run_reg_write(args: argparse.Namespace) -> int:
    device = tavo.open_device(args.plugin, args.device)
    try:
        tavo.check(device.set_register_sync(args.addr, args.value, args.mask), "set_register_sync")
    except tavo.DeviceError as e:
        raise CommandError(f"{args.device} refused the write of 0x{args.value:08X} (mask 0x{args.mask:08X}) "
                           f"to 0x{args.addr:04X}: {e}") from None
    return SUCCESS


def _plugins_arguments(parser: argparse.ArgumentParser) -> None:
    add_json_flag(parser)


def _devices_arguments(parser: argparse.ArgumentParser) -> None:
    add_plugin_and_device(parser, device=False, plugin_optional=True)
    add_json_flag(parser)


def _info_arguments(parser: argparse.ArgumentParser) -> None:
    add_plugin_and_device(parser)
    add_json_flag(parser)


def _reg_arguments(parser: argparse.ArgumentParser) -> None:
    add_plugin_and_device(parser)
    add_json_flag(parser)
    actions = parser.add_subparsers(dest="action", required=True, metavar="ACTION")
    read = actions.add_parser(
        "read", help="read COUNT registers from ADDR on, 4 apart: '0xADDR 0xVALUE' lines",
        description="Reads COUNT registers from ADDR on, 4 apart, with get_register_sync, printing each "
                    "'0xADDR 0xVALUE' line as it is read. Stops with exit status 1 at the first register "
                    "the device gives no value for.")
    read.add_argument("addr", type=u32, metavar="ADDR", help="the first register's address (0..0xFFFFFFFF)")
    read.add_argument("count", type=register_count, metavar="COUNT", nargs="?", default=1,
                      help="how many registers (default 1); the last must be at most 0xFFFFFFFF")
    add_json_flag(read)
    read.set_defaults(run=run_reg_read)
    write = actions.add_parser("write", help="write a register: new = (old & ~MASK) | (VALUE & MASK)",
                               description="Writes VALUE to the register at ADDR under MASK with "
                                           "set_register_sync; exit status 1 if the device refuses it. What the "
                                           "mask means is the device's choice; the simulator writes "
                                           "(old & ~MASK) | (VALUE & MASK).")
    write.add_argument("addr", type=u32, metavar="ADDR", help="the register's address (0..0xFFFFFFFF)")
    write.add_argument("value", type=u32, metavar="VALUE", help="the value (0..0xFFFFFFFF)")
    write.add_argument("mask", type=u32, metavar="MASK", nargs="?", default=U32_MAX,
                       help="default 0xFFFFFFFF: the whole register")
    write.set_defaults(run=run_reg_write)


LOOK_COMMANDS = [
    Command("plugins", _plugins_arguments, run_plugins, help="the plugins found and the directories searched",
            description="Lists the plugins found by short name and the directories searched, saying which of "
                        "them cannot be read."),
    Command("devices", _devices_arguments, run_devices,
            help="the devices of every plugin found, or one plugin's manager in full",
            description="Without PLUGIN: each plugin found, its manager's info and its devices (a plugin that "
                        "does not load gets one line saying why). With PLUGIN: its manager's info, location, "
                        "devices and options. With --json the devices are objects {name, description}: the "
                        "plugin's list read as one device per line, the name before the first tab."),
    Command("info", _info_arguments, run_info, help="a device's info and status"),
    Command("reg", _reg_arguments, None, help="read or write registers",
            description="Reads or writes registers of DEVICE. Each run makes a fresh device, so a value "
                        "written by one run is seen by the next only if the device (not the run) keeps it; "
                        "the simulator makes a new device each time."),
]
