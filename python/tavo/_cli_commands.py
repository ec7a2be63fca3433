"""The subcommands of `tavo` that look and touch: plugins, devices, info and
reg (its own module, _cli_reg). Each is a few calls of the package and some
printing."""

from __future__ import annotations

import argparse

import tavo

from ._cli_args import SUCCESS, Command, CommandError, add_json_flag, add_plugin_and_device, print_json, stdout
from ._cli_reg import REG_COMMAND
from ._plugins import load_manager

RECORDING_SUFFIXES = (".sigmf-meta", ".sigmf-data")  # `tavo info` of one such file describes a recording


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
    if args.device is None:
        return _recording_info(args.plugin, args.json)
    device = tavo.open_device(args.plugin, args.device)
    info, status = device.get_info(), device.get_status()
    if args.json:
        print_json({"device": args.device, "info": info, "status": status})
        return SUCCESS
    not_given = "(the device gives none)"
    print(f"info:   {not_given if info is None else info}\nstatus: {not_given if status is None else status}",
          file=stdout())
    return SUCCESS


def _recording_info(name: str, as_json: bool) -> int:
    """`tavo info FILE.sigmf-meta`: the recording's description, then a line
    per gap or device error, as its metadata notes them."""
    import os  # (loaded already; here with the rest of what only this form uses)
    from ._sigmf import describe_meta, read_meta, sigmf_paths
    data_path, meta_path = sigmf_paths(name)
    try:
        meta = read_meta(meta_path)
    except UnicodeDecodeError as e:
        raise CommandError(f"{meta_path}: not UTF-8 text ({e.reason} at byte {e.start})") from None
    except ValueError as e:  # not SigMF metadata: the message names the file
        raise CommandError(str(e)) from None
    except OSError as e:
        raise CommandError(f"cannot read {meta_path}: {e.strerror or e}") from None
    try:
        data_size, data_problem = os.stat(data_path).st_size, None
    except OSError as e:
        data_size, data_problem = None, e.strerror or str(e)
    if as_json:
        print_json({"meta": str(meta_path), "data": str(data_path), "data_bytes": data_size, "metadata": meta})
        return SUCCESS
    lines = describe_meta(meta, data_size)
    if data_problem is not None:
        lines.insert(1, f"data: cannot read {data_path}: {data_problem}")
    print("\n".join(lines), file=stdout())
    return SUCCESS


def _check_info_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    # One argument naming a recording's file is a recording; anything else
    # is PLUGIN DEVICE.
    recording = args.plugin.endswith(RECORDING_SUFFIXES)
    if args.device is None and not recording:
        parser.error("the following arguments are required: DEVICE (or give one FILE.sigmf-meta)")
    if args.device is not None and recording:
        parser.error(f"info: {args.plugin} is a recording, which takes no DEVICE")


def _plugins_arguments(parser: argparse.ArgumentParser) -> None:
    add_json_flag(parser)


def _devices_arguments(parser: argparse.ArgumentParser) -> None:
    add_plugin_and_device(parser, device=False, plugin_optional=True)
    add_json_flag(parser)


def _info_arguments(parser: argparse.ArgumentParser) -> None:
    add_plugin_and_device(parser, device_optional=True)
    add_json_flag(parser)
    parser.set_defaults(check=_check_info_arguments)


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
    Command("info", _info_arguments, run_info, help="a device's info and status, or a recording's description",
            usage="tavo info [-h] [--json] (PLUGIN DEVICE | FILE.sigmf-meta)",
            description="With PLUGIN DEVICE: the device's get_info and get_status. With one FILE.sigmf-meta "
                        "(or FILE.sigmf-data): the recording's sample type, channels, rate, start, data size, "
                        "recorder and hardware, then a line per gap (events dropped) or device error at its "
                        "sample; with --json its metadata as written."),
    REG_COMMAND,
]
