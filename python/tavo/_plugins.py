"""Finding Device Manager plugins by short name, and opening devices.

The search path is the directories of the environment variable
TAVO_PLUGIN_PATH (in order), then this installation's own plugin directory,
which CMake records in `_paths.py` when it builds or installs the package."""

from __future__ import annotations

import os
import pathlib

import pytavo_device

__all__ = ["PLUGIN_PATH_VARIABLE", "plugin_dirs", "find_plugin", "list_plugins", "open_device"]

PLUGIN_PATH_VARIABLE = "TAVO_PLUGIN_PATH"

# File names tried for a short name, in this order, in each directory.
_PATTERNS = ("libtavo_{}.so", "lib{}.so", "{}.so")
_PREFIXES = ("libtavo_", "lib", "")


def _own_plugin_dir() -> pathlib.Path | None:
    try:
        from ._paths import PLUGIN_DIR
    except ImportError:  # the package run from its source tree, never built
        return None
    return PLUGIN_DIR


def plugin_dirs() -> list[pathlib.Path]:
    """The directories searched for plugins, in search order: those named by
    TAVO_PLUGIN_PATH (os.pathsep-separated, empty entries ignored), then this
    installation's own plugin directory. Each directory appears once."""
    found: list[pathlib.Path] = []
    entries = [entry for entry in os.environ.get(PLUGIN_PATH_VARIABLE, "").split(os.pathsep) if entry]
    own = _own_plugin_dir()
    for directory in [pathlib.Path(entry) for entry in entries] + ([own] if own is not None else []):
        if directory not in found:
            found.append(directory)
    return found


def _lookup(name: str, dirs: list[pathlib.Path]) -> pathlib.Path | None:
    for directory in dirs:
        for pattern in _PATTERNS:
            candidate = directory / pattern.format(name)
            if candidate.is_file():
                return candidate
    return None


def find_plugin(name: str | os.PathLike[str]) -> pathlib.Path:
    """The plugin file for `name`.

    A path to an existing file is returned as it is. Otherwise `name` is a
    short name such as "sim", looked up as libtavo_<name>.so, lib<name>.so and
    <name>.so in each directory of `plugin_dirs()` in turn.

    Raises FileNotFoundError, naming the directories searched, when nothing
    is found."""
    path = pathlib.Path(name)
    if path.is_file():
        return path
    dirs = plugin_dirs()
    text = os.fspath(name)
    # A name with a directory part is a path, not a short name.
    if text and os.sep not in text and (os.altsep is None or os.altsep not in text):
        found = _lookup(text, dirs)
        if found is not None:
            return found
        searched = ", ".join(str(d) for d in dirs) if dirs else f"no directories (set {PLUGIN_PATH_VARIABLE})"
        raise FileNotFoundError(f"plugin {text!r} not found; searched: {searched}")
    raise FileNotFoundError(f"plugin file not found: {text}")


def _short_name(file_name: str) -> str | None:
    if not file_name.endswith(".so"):
        return None
    stem = file_name[:-len(".so")]
    for prefix in _PREFIXES:
        if stem.startswith(prefix) and len(stem) > len(prefix):
            return stem[len(prefix):]
    return None


def list_plugins() -> list[tuple[str, pathlib.Path]]:
    """The plugins `find_plugin` can find by short name: (short name, file)
    for each name, in search order. A name found in several places is listed
    once, with the file `find_plugin` would return."""
    dirs = plugin_dirs()
    names: list[str] = []
    for directory in dirs:
        try:
            entries = sorted(directory.iterdir())
        except OSError:  # missing or unreadable: nothing to list there
            continue
        for entry in entries:
            name = _short_name(entry.name)
            if name is not None and name not in names and entry.is_file():
                names.append(name)
    result = []
    for name in names:
        found = _lookup(name, dirs)
        if found is not None:
            result.append((name, found))
    return result


def load_manager(plugin: str | os.PathLike[str]) -> tuple[pathlib.Path, pytavo_device.DeviceManager]:
    """Finds `plugin` (see `find_plugin`) and loads it: (its file, its
    manager). Raises as `open_device` does for a plugin not found or not
    loadable. Used by `open_device` and the `tavo devices` command."""
    path = find_plugin(plugin)
    manager = pytavo_device.get_device_manager(path)
    if manager is None:
        raise RuntimeError(f"plugin {path} made no device manager")
    return path, manager


def open_device(plugin: str | os.PathLike[str], device: str) -> pytavo_device.Device:
    """Finds `plugin` (see `find_plugin`), loads it and creates `device`, a
    device string in the plugin's own format (for the simulator
    "sim0:chunks=100").

    Raises FileNotFoundError for a plugin that is not found, RuntimeError
    for a plugin that does not load or refuses the device string (with the
    plugin's text), and LookupError, quoting the plugin's device list, when
    the plugin makes no device."""
    path, manager = load_manager(plugin)
    created = manager.create_device(device)
    if created is None:
        listing = manager.list_devices().rstrip("\n") or "(none)"
        raise LookupError(f"no device {device!r} from plugin {path}; it lists:\n{listing}")
    return created
