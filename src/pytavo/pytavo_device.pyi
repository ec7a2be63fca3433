"""Python binding for TAVO Device.

Access to register-based data-acquisition devices through Device Manager
plugins: shared libraries loaded by path with get_device_manager().

Threads: every call runs on the calling thread and holds the interpreter
lock for the whole device operation, except DeviceManager.create_device,
DataStream.stop and DataStream.__exit__, which release it while the plugin
works. Stream callbacks run on a worker thread of their stream, which takes
the lock for each call.

Instances: an object whose class's __init__ has not run (made by calling
__new__ directly, or a subclass calling a method before super().__init__())
raises TypeError from every method and property. Only ReturnCode can be
pickled or copied; the other classes raise TypeError under every protocol.
"""

import os
import pathlib
from collections.abc import Buffer, Callable
from typing import ClassVar, NoReturn, Self

_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]

class ReturnCode:
    """Result of a device operation. Only Success counts as success; a device
    may return other values, which keep their number and are named "???".

    Members:

      Success

      Failure
    """

    Success: ClassVar[ReturnCode]
    """0: the operation succeeded."""
    Failure: ClassVar[ReturnCode]
    """1: the operation failed."""
    __members__: ClassVar[dict[str, ReturnCode]]
    """The named members, by name, in definition order."""

    def __init__(self, value: int) -> None:
        """The code with this value (a signed 32-bit number; others raise
        TypeError). Values outside the members are kept as they are."""
    @property
    def value(self) -> int:
        """The code's number."""
    @property
    def name(self) -> str:
        """The member's name, or "???" for a value no member has."""
    def __int__(self) -> int:
        """The code's number."""
    def __index__(self) -> int:
        """The code's number, where an integer index is needed."""
    def __eq__(self, other: object) -> bool:
        """True only for a ReturnCode of the same value: ReturnCode.Success
        == 0 is False."""
    def __ne__(self, other: object) -> bool:
        """The negation of __eq__."""
    def __hash__(self) -> int:
        """The code's number."""
    def __getstate__(self) -> int:
        """The pickled state: the code's number."""
    def __setstate__(self, state: int) -> None:
        """Restores a pickled code."""
    def __reduce__(self) -> tuple[type[ReturnCode], tuple[int]]:
        """Pickles (and copies) the code as a call with its number, under
        every protocol."""
    def __repr__(self) -> str:
        """"<ReturnCode.Success: 0>"."""
    def __str__(self) -> str:
        """"ReturnCode.Success"."""

class DataStream:
    """A running read stream, returned by Device.start_read_stream and
    Device.start_aligned_read_stream. No constructor: DataStream() raises
    TypeError.

    The object owns the device's stream. As long as it is referenced, events
    the device produced reach the callback; dropping the last reference
    stops the stream (if it was not stopped) and discards the events still
    queued. It holds the device's keep_alive share, so it may outlive the
    Device and DeviceManager objects (the simulator's streams do).
    """

    def stop(self) -> None:
        """Ends the stream. Releases the interpreter lock while the device
        stops, so callbacks can still run meanwhile; any thread may call it,
        a second call does nothing (for devices that allow it, such as the
        simulator). A device that keeps its sink delivers every queued event
        afterwards, then calls the callback with (None, None). Device
        failures raise RuntimeError."""
    def __enter__(self) -> Self:
        """Returns the stream itself."""
    def __exit__(self, exc_type: type | None, exc_value: object | None, traceback: object | None, /) -> None:
        """Calls stop(), with the interpreter lock released, and lets any
        exception of the block propagate. A first argument that is neither a
        type nor None raises TypeError."""
    def __reduce__(self) -> NoReturn:
        """Raises TypeError: a DataStream cannot be pickled or copied."""

class ManagedBuffer:
    """One chunk of a plain read stream, handed to the callback. It owns the
    chunk's bytes (no copy was made) and frees them when the last reference
    and the last buffer export are gone, on whichever thread that happens.
    It may be kept, stored and used after the callback and after its stream,
    device and manager are gone. No constructor: ManagedBuffer() raises
    TypeError.

    Use it through the buffer protocol: memoryview(buffer), bytes(buffer),
    numpy.frombuffer(buffer, ...). Its view is one-dimensional, writable,
    format "B".
    """

    def __buffer__(self, flags: int, /) -> memoryview:
        """A writable view of the chunk's bytes."""
    def __release_buffer__(self, buffer: memoryview, /) -> None:
        """Ends one export."""
    def __reduce__(self) -> NoReturn:
        """Raises TypeError: a ManagedBuffer cannot be pickled or copied."""

class DataView:
    """One piece of an aligned read stream, handed to the callback. It views
    bytes that belong to the stream and is valid only during the callback
    that received it: once the callback returns, new exports (and bytes() of
    it) see zero bytes. A memoryview taken during the callback and kept keeps
    the piece's memory allocated until released, but its content after the
    callback is not defined. Copy what you need before returning. No constructor:
    DataView() raises TypeError.

    The view is one-dimensional, writable, format "B".
    """

    def __buffer__(self, flags: int, /) -> memoryview:
        """A view of the piece's bytes; empty after the callback returned."""
    def __release_buffer__(self, buffer: memoryview, /) -> None:
        """Ends one export."""
    def __reduce__(self) -> NoReturn:
        """Raises TypeError: a DataView cannot be pickled or copied."""

class Device:
    """A register-based device: made by DeviceManager.create_device from a
    plugin, or implemented in Python by subclassing Device.

    Each method calls the device's operation of the same name on the calling
    thread, holding the interpreter lock for the whole call. Operands are
    checked before the device is reached: addresses and values are unsigned
    32-bit integers, the trigger value a signed 32-bit one; anything else
    raises TypeError. A device that throws raises RuntimeError with its text
    (MemoryError for an allocation failure).

    Implementing a device in Python: subclass Device, call
    super().__init__(), and define the pure operations (set_register,
    send_registers, get_register, read_registers, trigger, write, read) as
    ordinary methods with the plugin's parameters; the others are optional.
    Native callers, and calls made as Device.method(obj, ...), reach them
    through the module, taking the interpreter lock themselves, so any thread
    may call in. A pure operation that is not defined raises RuntimeError
    'Tried to call pure virtual function "Device::<name>"'. The overrides of
    write and read receive (addr: int, length: int, data: memoryview):
    read-only for write, writable for read. It shows the module's own copy of
    the caller's bytes (for read, copied back into the caller's buffer when
    the override returns or raises) and is released when the call returns;
    a view derived from it and kept reaches only that copy. Status results must be
    ReturnCode objects, register values unsigned 32-bit integers, counts
    non-negative integers; anything else raises RuntimeError in the caller.
    Python devices start no streams.
    """

    def __init__(self) -> None:
        """Creates the native half of a Python-implemented device. A subclass
        that overrides __init__ must call it (else TypeError)."""
    def __repr__(self) -> str:
        """"<pytavo_device.Device at 0x...>", with the native address."""
    def set_register_sync(self, addr: int, value: int, mask: int, /) -> ReturnCode:
        """Stages one write and sends it. The default is set_register then
        send_registers, returning the latter's result (a Failure of
        set_register alone is not reported)."""
    def set_register(self, addr: int, value: int, mask: int, /) -> ReturnCode:
        """Stages a register write; `mask` means what the device defines (the
        simulator writes (old & ~mask) | (value & mask)). Nothing reaches the
        device until send_registers. The stage may be shared by all threads
        using the device: serialise your own set/send sequences."""
    def send_registers(self) -> ReturnCode:
        """Sends the staged writes. Failure when the device refuses the batch
        (the simulator refuses read-only and unmapped registers, applying
        nothing)."""
    def get_register_sync(self, addr: int, /) -> int | None:
        """Reads the registers and returns one of them; None if reading
        failed. The default is read_registers, then get_register on
        Success."""
    def get_register(self, addr: int, /) -> int:
        """One register as of the last read_registers."""
    def read_registers(self) -> ReturnCode:
        """Reads the device's registers into the snapshot that get_register
        returns values from."""
    def trigger(self, addr: int, value: int, /) -> ReturnCode:
        """Triggers the device; both operands mean what the device defines
        (`value` is signed 32-bit)."""
    def write(self, addr: int, data: Buffer, /) -> int:
        """Sends the bytes of `data` (a one-dimensional, contiguous buffer of
        format "B": bytes, bytearray, memoryview, array('B'), uint8 arrays)
        to the device at `addr`. The device reads the caller's memory
        directly, during the call only. Returns the device's count (the
        simulator: bytes written). Other buffers raise RuntimeError
        ("ndim != 1", "Unsupported buffer format!", "strides[0] != 1")."""
    def read(self, addr: int, data: Buffer, /) -> int:
        """Fills `data` (writable, one-dimensional, contiguous, format "B")
        from the device at `addr`, in place. Returns the device's count (the
        simulator: bytes read). A read-only buffer raises RuntimeError
        ("buffer is readonly"), as do the buffers write refuses."""
    def start_read_stream(
        self,
        addr: int,
        callback: Callable[[ManagedBuffer | None, str | None], object],
        chunk_size: int = 0,
        max_queue_elements: int = 4096,
    ) -> DataStream | None:
        """Starts a read stream; None if the device started none (Python
        devices never do). `addr` is the device's (the simulator's seed),
        `chunk_size` 0 asks for the device's default.

        The callback runs on the stream's worker thread, one call at a time,
        in the device's order, taking the interpreter lock for each call:
        (ManagedBuffer, None) for a chunk, (None, text) for an error report,
        (None, None) once at the end, after which it is never called again.
        A chunk the device hands out as a view arrives as (None, "Unsupported
        data type: DataView"). Exceptions raised by the callback are logged
        ("Error in callback: ...") and the stream goes on.

        Up to `max_queue_elements` events wait for the callback (the low 32
        bits are used; fewer than 64 raise RuntimeError). Each event pushed
        beyond that is dropped and replaced by one (None, "Queue Overflow,
        dropping event") notice; nothing is lost without one. The end of the
        stream is never dropped.
        """
    def start_aligned_read_stream(
        self,
        addr: int,
        alignment: int,
        callback: Callable[[DataView | None, str | None], object],
        chunk_size: int = 0,
        max_queue_elements: int = 4096,
    ) -> DataStream | None:
        """Like start_read_stream, but the callback receives the data re-cut
        into pieces whose length is a multiple of `alignment`, except the
        last piece before the end, as (DataView, None). A DataView is valid
        only during its call. `alignment` 0 raises ValueError, one too large
        to buffer MemoryError or ValueError."""
    def get_status(self) -> str | None:
        """The device's status text, or None. Invalid UTF-8 raises
        UnicodeDecodeError."""
    def get_info(self) -> str | None:
        """The device's information text, or None. Invalid UTF-8 raises
        UnicodeDecodeError."""
    def __reduce__(self) -> NoReturn:
        """Raises TypeError: a Device cannot be pickled or copied."""

class DeviceManager:
    """A loaded Device Manager plugin, returned by get_device_manager. No
    constructor: DeviceManager() raises TypeError. The plugin stays loaded
    while this object, or anything made from it that needs the plugin's
    code, exists. Devices are independent of it once created."""

    def info(self) -> str:
        """A description of the manager."""
    def location(self) -> pathlib.Path:
        """Where the manager lives, typically its library file."""
    def list_devices(self) -> str:
        """The devices the manager can create, in the plugin's format (the
        simulator: one "<id>\\t<description>" line each)."""
    def get_device_options(self) -> str:
        """The names and options create_device accepts, in the plugin's
        format."""
    def create_device(self, name: str | bytes | bytearray, /) -> Device | None:
        """Creates the named device; None if the plugin made none. Releases
        the interpreter lock while the plugin works, so other threads run
        meanwhile. The plugin's refusals raise RuntimeError with its text."""
    def __reduce__(self) -> NoReturn:
        """Raises TypeError: a DeviceManager cannot be pickled or copied."""

def get_device_manager(path: _Path, /) -> DeviceManager | None:
    """Loads the plugin library at `path` and returns a new manager from it
    (None if the plugin's factory made none). Every call loads and creates
    anew; nothing is cached. Runs on the calling thread with the interpreter
    lock held. Raises RuntimeError: "Device Manager not found: <path>",
    "Not a regular file: <path>", "Device Manager does not have
    create_manager function: <path>", "Failed to create manager: <path>
    <reason>", or the dynamic loader's message."""
