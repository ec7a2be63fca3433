"""The package's exceptions, and `check`, which turns a device's status
result into one.

Every exception the package raises for a plugin, a device or a stream
derives from `TavoError`, so that `except tavo.TavoError` catches them all;
those that replaced a built-in type derive from it too (`PluginNotFound` is
still a `FileNotFoundError`), so code written against the built-in types
keeps working."""

from __future__ import annotations

import pytavo_device

__all__ = ["TavoError", "PluginNotFound", "PluginLoadError", "DeviceRefused", "DeviceNotFound", "DeviceError",
           "StreamRefused", "StreamError", "Overflow", "check"]


class TavoError(Exception):
    """Base class of the exceptions this package raises itself."""


class PluginNotFound(TavoError, FileNotFoundError):
    """No plugin file for the name or path given; the text says where it
    was looked for."""


class PluginLoadError(TavoError, RuntimeError):
    """The plugin file was found but gave no device manager: it is not a
    complete shared object for this machine, the loader refused it, or its
    factory made no manager."""


class DeviceRefused(TavoError, RuntimeError):
    """The plugin refused the device string (the text is the plugin's)."""


class DeviceNotFound(TavoError, LookupError):
    """The plugin accepted the device string but made no device; the text
    quotes the plugin's device list."""


class StreamRefused(TavoError, RuntimeError):
    """The device did not start the stream asked for."""


class DeviceError(TavoError):
    """A device operation returned a status other than `ReturnCode.Success`.

    `operation` names the call (None when the caller gave no name), `code`
    is the `ReturnCode` the device returned, and `addr` and `value` are the
    operands the caller gave to `check` (None when it gave none)."""

    def __init__(self, operation: str | None, code: pytavo_device.ReturnCode, addr: int | None = None,
                 value: int | None = None) -> None:
        self.operation = operation
        self.code = code
        self.addr = addr
        self.value = value
        what = operation or "device operation"
        if addr is not None:
            what += f" at 0x{addr:04X}"
        if value is not None:
            what += f" with value 0x{value:08X}"
        # A device may return a number outside the members; its name is then "???".
        super().__init__(f"{what} failed: {code.name} ({int(code)})")


class StreamError(TavoError):
    """An error the device reported at this place in its stream.

    `partial` holds the bytes that the `read` (or `readinto`) which raised it
    had already taken from the stream before this place; they are not given
    out again. It is empty for iteration and when nothing was taken."""

    def __init__(self, text: str) -> None:
        super().__init__(text)
        self.text = text
        self.partial = b""


class Overflow(StreamError):
    """The stream dropped `dropped` events at this place: its queue was full
    because the reader fell behind."""

    def __init__(self, dropped: int) -> None:
        super().__init__(f"{dropped} stream event(s) dropped: the reader fell behind and the stream's queue was full")
        self.dropped = dropped


def check(result: pytavo_device.ReturnCode, operation: str | None = None, *, addr: int | None = None,
          value: int | None = None) -> None:
    """Returns None when `result` is `ReturnCode.Success`; raises `DeviceError`
    for any other status, naming `operation` and, when given, the register
    address `addr` and the `value` written. A `ReturnCode` is always true as
    a boolean, so `if device.send_registers():` cannot tell a refusal from
    success; this can.

    Raises `TypeError` when `result` is not a `ReturnCode` (for example the
    None that `get_register_sync` returns on failure)."""
    if not isinstance(result, pytavo_device.ReturnCode):
        raise TypeError(f"check() expects a ReturnCode, not {type(result).__name__}")
    if result != pytavo_device.ReturnCode.Success:
        raise DeviceError(operation, result, addr, value)
