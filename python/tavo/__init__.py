"""The everyday layer over `pytavo_device`: plugins found by name, status
results as exceptions, and read streams that are pulled rather than handled
in a callback.

    import tavo

    device = tavo.open_device("sim", "sim0:chunks=100")
    with tavo.StreamReader(device, 0, chunk_size=65536) as reader:
        for chunk in reader:
            ...

Built only on the module's public interface; `pytavo_device` itself is
unchanged and still there for the callback interface. Its six classes are
re-exported here (the same objects), so that one import serves both layers.

The reader (and what it imports) is loaded when it is first used, so that a
program that never streams, such as `tavo reg`, starts without it.
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



def __getattr__(name: str) -> object:
    if name in ("StreamReader", "StreamStats"):
        from . import _reader
        value = getattr(_reader, name)
        globals()[name] = value  # found directly from now on
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
