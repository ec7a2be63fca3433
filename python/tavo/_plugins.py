"""Finding Device Manager plugins by short name, and opening devices.

The search path is the directories of the environment variable
TAVO_PLUGIN_PATH (in order), then this installation's own plugin directory,
which CMake records in `_paths.py` when it builds or installs the package.

A name is looked up as a shell looks up a command: one without a "/" is a
short name, searched for only in those directories, never in the working
directory (a file `./sim` in a shared folder must not stand in for the
plugin `sim`); one with a "/" is a path (`./sim`, `/opt/x/libtavo_sim.so`).

Paths are plain strings inside, and `pathlib.Path` objects only where the
public functions return them: `tavo reg` and the like start without
importing pathlib (and the URL and address parsers it imports).
"""

from __future__ import annotations

import errno
import os
import stat

import pytavo_device

from ._elf import NotLoadable, check_loadable
from ._errors import DeviceNotFound, DeviceRefused, PluginLoadError, PluginNotFound

TYPE_CHECKING = False  # see tavo/__init__
if TYPE_CHECKING:
    import pathlib

__all__ = ["PLUGIN_PATH_VARIABLE", "plugin_dirs", "unreadable_plugin_dirs", "find_plugin", "list_plugins",
           "open_device"]

PLUGIN_PATH_VARIABLE = "TAVO_PLUGIN_PATH"

# File names tried for a short name, in this order, in each directory.
_PATTERNS = ("libtavo_{}.so", "lib{}.so", "{}.so")
_PREFIXES = ("libtavo_", "lib", "")
# A directory that is simply not there is no problem worth reporting.
_ABSENT = (errno.ENOENT, errno.ENOTDIR)


def _path(text: str) -> pathlib.Path:
    import pathlib
    return pathlib.Path(text)


def _dirs() -> list[str]:
    try:
        from ._paths import PLUGIN_DIR
        own = [os.fspath(PLUGIN_DIR)]
    except ImportError:  # the package run from its source tree, never built
        own = []
    found: list[str] = []
    for directory in [entry for entry in os.environ.get(PLUGIN_PATH_VARIABLE, "").split(os.pathsep) if entry] + own:
        directory = os.path.normpath(directory)
        if directory not in found:
            found.append(directory)
    return found


def plugin_dirs() -> list[pathlib.Path]:
    """The directories searched for plugins, in search order: those named by
    TAVO_PLUGIN_PATH (os.pathsep-separated, empty entries ignored), then this
    installation's own plugin directory. Each directory appears once."""
    return [_path(directory) for directory in _dirs()]


def _listing(directory: str) -> list[str]:
    """The names in `directory`; none if it is absent. Raises OSError if it
    is there but cannot be read."""
    try:
        return sorted(os.listdir(directory))
    except OSError as e:
        if e.errno in _ABSENT:
            return []
        raise


def unreadable_plugin_dirs() -> list[tuple[pathlib.Path, str]]:
    """The directories of `plugin_dirs()` that exist but cannot be read, each
    with the reason. The search skips them (and absent ones)."""
    skipped = []
    for directory in _dirs():
        try:
            _listing(directory)
        except OSError as e:
            skipped.append((_path(directory), e.strerror or str(e)))
    return skipped


def _is_file(path: str) -> bool:
    """Whether `path` is a regular file (through links). Raises OSError
    when that cannot be told (a directory on its way cannot be searched)."""
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError as e:
        if e.errno in _ABSENT:
            return False
        raise


def _lookup(name: str, dirs: list[str]) -> str | None:
    for directory in dirs:
        try:
            for pattern in _PATTERNS:
                candidate = os.path.join(directory, pattern.format(name))
                if _is_file(candidate):
                    return candidate
        except OSError:  # the directory cannot be searched: skipped, as in listings
            continue
    return None


def _find(name: str | os.PathLike[str]) -> str:
    """find_plugin's file, as a string."""
    if isinstance(name, str) and os.sep not in name and (os.altsep is None or os.altsep not in name):
        if not name:
            raise PluginNotFound("empty plugin name")
        dirs = _dirs()
        found = _lookup(name, dirs)
        if found is not None:
            return found
        searched = ", ".join(dirs) if dirs else f"no directories (set {PLUGIN_PATH_VARIABLE})"
        available = ", ".join(short for short, _ in _plugins(dirs)) or "none"
        raise PluginNotFound(f"plugin {name!r} not found; searched: {searched}; plugins found there: {available}")
    path = os.fspath(name)
    try:
        if _is_file(path):
            return path
    except OSError as e:
        raise PluginNotFound(f"plugin file {path}: {e.strerror or e}") from None
    raise PluginNotFound(f"plugin file not found: {path}")


def find_plugin(name: str | os.PathLike[str]) -> pathlib.Path:
    """The plugin file for `name`.

    A string without a "/" is a short name such as "sim", looked up as
    libtavo_<name>.so, lib<name>.so and <name>.so in each directory of
    `plugin_dirs()` in turn, and nowhere else. A string with a "/" (such as
    "./sim") and a path object are paths, returned as they are if the file
    exists.

    Raises PluginNotFound (a FileNotFoundError), naming the directories
    searched and the plugins found there, when nothing is found."""
    return _path(_find(name))


def _short_name(file_name: str) -> str | None:
    if not file_name.endswith(".so"):
        return None
    stem = file_name[:-len(".so")]
    for prefix in _PREFIXES:
        if stem.startswith(prefix) and len(stem) > len(prefix):
            return stem[len(prefix):]
    return None


def _plugins(dirs: list[str]) -> list[tuple[str, str]]:
    names: list[str] = []
    for directory in dirs:
        try:
            entries = _listing(directory)
        except OSError:
            continue
        for entry in entries:
            name = _short_name(entry)
            if name is not None and name not in names:
                try:
                    if _is_file(os.path.join(directory, entry)):
                        names.append(name)
                except OSError:  # listed but not searchable: _lookup skips it too
                    break
    return [(name, found) for name in names if (found := _lookup(name, dirs)) is not None]


def list_plugins() -> list[tuple[str, pathlib.Path]]:
    """The plugins `find_plugin` can find by short name: (short name, file)
    for each name, in search order. A name found in several places is listed
    once, with the file `find_plugin` would return. Directories that cannot
    be read are skipped (see `unreadable_plugin_dirs`)."""
    return [(name, _path(found)) for name, found in _plugins(_dirs())]


def load_manager(plugin: str | os.PathLike[str]) -> tuple[str, pytavo_device.DeviceManager]:
    """Finds `plugin` (see `find_plugin`) and loads it: (its file, its
    manager). Raises PluginNotFound or PluginLoadError (a RuntimeError) as
    `open_device` does. Used by `open_device` and the `tavo devices`
    command."""
    path = _find(plugin)
    try:
        check_loadable(path)
    except NotLoadable as e:
        raise PluginLoadError(f"{path}: not a complete ELF shared object for this machine: {e}") from None
    except OSError as e:
        raise PluginLoadError(f"cannot read plugin {path}: {e.strerror or e}") from None
    try:
        manager = pytavo_device.get_device_manager(path)
    except RuntimeError as e:
        raise PluginLoadError(str(e)) from e
    if manager is None:
        raise PluginLoadError(f"plugin {path} made no device manager")
    return path, manager


def open_device(plugin: str | os.PathLike[str], device: str) -> pytavo_device.Device:
    """Finds `plugin` (see `find_plugin`), loads it and creates `device`, a
    device string in the plugin's own format (for the simulator
    "sim0:chunks=100").

    Raises PluginNotFound (a FileNotFoundError) for a plugin that is not
    found; PluginLoadError for one that does not load and DeviceRefused for
    a device string the plugin refuses (both RuntimeErrors, with the loader's
    or the plugin's text); and DeviceNotFound (a LookupError), quoting the
    plugin's device list, when the plugin makes no device. All are
    TavoErrors."""
    path, manager = load_manager(plugin)
    try:
        created = manager.create_device(device)
    except RuntimeError as e:
        raise DeviceRefused(str(e)) from e
    if created is None:
        listing = manager.list_devices().rstrip("\n") or "(none)"
        raise DeviceNotFound(f"no device {device!r} from plugin {path}; it lists:\n{listing}")
    return created
