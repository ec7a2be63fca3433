"""The everyday layer over `pytavo_device`: plugins found by name, status
results as exceptions, registers by the names of a register map, and read
streams that are pulled rather than handled in a callback.

    import tavo

    device = tavo.open_device("sim", "sim0:chunks=100")
    with tavo.StreamReader(device, 0, chunk_size=65536) as reader:
        for chunk in reader:
            ...

Built only on the module's public interface; `pytavo_device` itself is
unchanged and still there for the callback interface. Its six classes are
re-exported here (the same objects), so that one import serves both layers.

The reader and the register maps (and what they import) are loaded when they
are first used, so that a program that needs neither starts without them.
"""

from pytavo_device import DataStream, DataView, Device, DeviceManager, ManagedBuffer, ReturnCode

from ._errors import (DeviceError, DeviceNotFound, DeviceRefused, Overflow, PluginLoadError, PluginNotFound,
                      StreamError, StreamRefused, TavoError, check)
from ._plugins import (PLUGIN_PATH_VARIABLE, find_plugin, list_plugins, open_device, plugin_dirs,
                       unreadable_plugin_dirs)

# The name type checkers know, set here rather than imported from `typing`,
# which would cost the command a fifth of its start-up.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from ._reader import StreamReader, StreamStats
    from ._regmap import RegisterMap, RegisterMapError
    from ._registers import Registers, RegisterValue

try:
    from ._paths import VERSION as __version__
except ImportError:  # the package run from its source tree, never built
    __version__ = "unknown"

__all__ = [
    "PLUGIN_PATH_VARIABLE",
    "DataStream",
    "DataView",
    "Device",
    "DeviceError",
    "DeviceManager",
    "DeviceNotFound",
    "DeviceRefused",
    "ManagedBuffer",
    "Overflow",
    "PluginLoadError",
    "PluginNotFound",
    "RegisterMap",
    "RegisterMapError",
    "RegisterValue",
    "Registers",
    "ReturnCode",
    "StreamError",
    "StreamReader",
    "StreamRefused",
    "StreamStats",
    "TavoError",
    "check",
    "find_plugin",
    "list_plugins",
    "open_device",
    "plugin_dirs",
    "unreadable_plugin_dirs",
]



# Names whose modules are loaded on first use: (module, name).
_LAZY = {
    "StreamReader": "_reader",
    "StreamStats": "_reader",
    "RegisterMap": "_regmap",
    "RegisterMapError": "_regmap",
    "Registers": "_registers",
    "RegisterValue": "_registers",
}


def __getattr__(name: str) -> object:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import importlib
    value = getattr(importlib.import_module(f".{module}", __name__), name)
    globals()[name] = value  # found directly from now on
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
