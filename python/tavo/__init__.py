"""The everyday layer over `pytavo_device`: plugins found by name, status
results as exceptions, registers by the names of a register map, and read
streams that are pulled rather than handled in a callback.

    import tavo

    device = tavo.open_device("sim", "sim0:chunks=100")
    with tavo.StreamReader(device, 0, chunk_size=65536) as reader:
        for chunk in reader:
            ...

Built only on the module's public interface; `pytavo_device` itself is
unchanged and still there for the callback interface.
"""

from ._errors import DeviceError, Overflow, StreamError, TavoError, check
from ._plugins import PLUGIN_PATH_VARIABLE, find_plugin, list_plugins, open_device, plugin_dirs
from ._reader import StreamReader, StreamStats
from ._regmap import RegisterMap, RegisterMapError
from ._registers import Registers, RegisterValue

__all__ = [
    "PLUGIN_PATH_VARIABLE",
    "DeviceError",
    "Overflow",
    "RegisterMap",
    "RegisterMapError",
    "RegisterValue",
    "Registers",
    "StreamError",
    "StreamReader",
    "StreamStats",
    "TavoError",
    "check",
    "find_plugin",
    "list_plugins",
    "open_device",
    "plugin_dirs",
]
