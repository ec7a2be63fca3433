"""The package's exceptions, and `check`, which turns a device's status
result into one."""

from __future__ import annotations

import pytavo_device

__all__ = ["TavoError", "DeviceError", "StreamError", "Overflow", "check"]


class TavoError(Exception):
    """Base class of the exceptions this package raises itself."""


class DeviceError(TavoError):
    """A device operation returned a status other than `ReturnCode.Success`.

    `operation` names the call (None when the caller gave no name) and `code`
    is the `ReturnCode` the device returned."""

    def __init__(self, operation: str | None, code: pytavo_device.ReturnCode) -> None:
        self.operation = operation
        self.code = code
        # A device may return a number outside the members; its name is then "???".
        what = f"{operation} failed" if operation else "device operation failed"
        super().__init__(f"{what}: {code.name} ({int(code)})")


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


def check(result: pytavo_device.ReturnCode, operation: str | None = None) -> None:
    """Returns None when `result` is `ReturnCode.Success`; raises `DeviceError`
    for any other status. A `ReturnCode` is always true as a boolean, so
    `if device.send_registers():` cannot tell a refusal from success; this can.

    Raises `TypeError` when `result` is not a `ReturnCode` (for example the
    None that `get_register_sync` returns on failure)."""
    if not isinstance(result, pytavo_device.ReturnCode):
        raise TypeError(f"check() expects a ReturnCode, not {type(result).__name__}")
    if result != pytavo_device.ReturnCode.Success:
        raise DeviceError(operation, result)
