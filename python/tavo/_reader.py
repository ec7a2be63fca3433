"""StreamReader: a device's read stream, pulled with `read`, `readinto`,
iteration or `async for` instead of handled in a callback.

Who owns what: the reader owns the module's DataStream handle and the Inbox;
the stream's callback is the Inbox's `deliver` and holds no reference to the
reader, so dropping the reader (or leaving its `with` block) closes it.
Closing first closes the inbox, which lets a callback waiting for space
return, then stops the stream and drops the handle: the module releases the
interpreter lock while the device stops and joins the stream's worker, so
when `close` returns no thread of the stream is left.
"""

from __future__ import annotations

import threading
import time
import weakref
from collections.abc import AsyncIterator, Iterator
from typing import Literal

import pytavo_device

from ._errors import StreamError, StreamRefused
from ._inbox import END, Inbox, StreamStats

__all__ = ["StreamReader", "StreamStats"]

DEFAULT_MAX_BUFFERED_BYTES = 64 * 2**20


class StreamReader:
    """Reads the stream of `device` at `addr`.

    A plain stream when `alignment` is None, an aligned one otherwise (every
    piece a multiple of `alignment` bytes, except the last). `chunk_size` and
    `max_queue_elements` go to the stream as they are. At most
    `max_buffered_bytes` wait in Python (more only while one `read` needs
    more at once, and a single larger chunk goes through alone); beyond
    that the stream's own queue fills and drops events. Dropped events raise
    `Overflow` at their place with `on_overflow="raise"`, or are only counted
    in `stats` with `"count"`. A device error raises `StreamError` at its
    place. Either way reading may go on after the exception.

    The stream starts here; use the reader as a context manager, or call
    `close`, to stop it and free what it buffered.
    """

    def __init__(self, device: pytavo_device.Device, addr: int, *, chunk_size: int = 0,
                 alignment: int | None = None, max_queue_elements: int = 4096,
                 max_buffered_bytes: int = DEFAULT_MAX_BUFFERED_BYTES,
                 on_overflow: Literal["raise", "count"] = "raise") -> None:
        if on_overflow not in ("raise", "count"):
            raise ValueError(f"on_overflow must be 'raise' or 'count', not {on_overflow!r}")
        if max_buffered_bytes < 1:
            raise ValueError("max_buffered_bytes must be at least 1")
        if alignment is not None and alignment < 1:
            raise ValueError("alignment must be at least 1 (or None for a plain stream)")
        self._inbox = inbox = Inbox(max_buffered_bytes, alignment is not None, on_overflow == "raise")
        # Set before the stream starts, so that a reader that fails to start
        # (or is dropped unclosed) still lets its callback go.
        self._closer = weakref.finalize(self, inbox.close)
        self._close_lock = threading.Lock()
        self._stream: pytavo_device.DataStream | None = None
        if alignment is None:
            stream = device.start_read_stream(addr, inbox.deliver, chunk_size, max_queue_elements)
        else:
            stream = device.start_aligned_read_stream(addr, alignment, inbox.deliver, chunk_size,
                                                      max_queue_elements)
        if stream is None:
            self._closer()
            raise StreamRefused("the device started no stream")
        self._stream = stream

    # -- lifetime ----------------------------------------------------------

    def __enter__(self) -> StreamReader:
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def close(self) -> None:
        """Stops the stream and drops what was buffered; returns when nothing
        of the stream runs any more. Later reads raise ValueError."""
        self._closer()  # the callback stops waiting and discards from now on
        # Any thread may close (a deadline timer, say): a second close waits
        # for the first to finish, so every close returns with nothing running.
        with self._close_lock:
            stream, self._stream = self._stream, None
            if stream is not None:
                stream.stop()  # releases the interpreter lock while the device stops
                del stream  # joins the worker, again with the lock released

    @property
    def closed(self) -> bool:
        return self._inbox.closed

    @property
    def stats(self) -> StreamStats:
        """Chunks, bytes, dropped events and errors received so far."""
        return self._inbox.stats()

    # -- pulling bytes -----------------------------------------------------

    def readinto(self, buffer, timeout: float | None = None) -> int:
        """Fills `buffer` (any writable bytes-like object) from the stream and
        returns its length; fewer bytes only at the end of the stream, then 0.
        Raises TimeoutError if `timeout` seconds pass first, taking nothing."""
        target = memoryview(buffer)
        if target.readonly:
            raise TypeError("readinto() needs a writable buffer")
        if target.format != "B" or target.ndim != 1:
            target = target.cast("B")
        return self._fill(target, timeout)

    def read(self, n: int, timeout: float | None = None) -> bytes:
        """Exactly `n` bytes; fewer only at the end of the stream, then b"".
        Raises TimeoutError if `timeout` seconds pass first, taking nothing."""
        if n < 0:
            raise ValueError("read() needs a byte count of 0 or more")
        out = bytearray(n)
        count = self._fill(memoryview(out), timeout)
        if count < n:
            del out[count:]
        return bytes(out)

    def _fill(self, target: memoryview, timeout: float | None) -> int:
        inbox = self._inbox
        n = target.nbytes
        deadline = None if timeout is None else time.monotonic() + timeout
        with inbox.lock:
            if inbox.buffered < n and not inbox.markers:
                if not inbox.wait_bytes(n, deadline):
                    raise TimeoutError(f"{n} bytes did not arrive within {timeout} s")
            self._check_open()
            count = inbox.take_into(target)
            if count < n and inbox.items[0] is not END:
                try:
                    inbox.raise_marker()
                except StreamError as error:  # hand over what came before it
                    error.partial = bytes(target[:count])
                    raise
            return count

    def _check_open(self) -> None:
        if self._inbox.closed:
            raise ValueError("read from a closed StreamReader")

    # -- iteration -----------------------------------------------------------

    def __iter__(self) -> Iterator[memoryview]:
        return self

    def __next__(self) -> memoryview:
        """The next chunk as delivered: a memoryview of the ManagedBuffer for
        a plain stream (no copy), of a copy for an aligned stream."""
        inbox = self._inbox
        with inbox.lock:
            if not inbox.items:  # (close() empties them, so they imply an open reader)
                inbox.wait_item(None)
                self._check_open()
            item = inbox.take_chunk()
        if item is END:
            raise StopIteration
        return item

    def aiter(self) -> AsyncIterator[memoryview]:
        """`async for chunk in reader.aiter()`: the chunks as `__next__` gives
        them, awaited without blocking the event loop; the stream's callback
        wakes the waiting task through the loop, no thread per read."""
        return _AsyncChunks(self)

    def __aiter__(self) -> AsyncIterator[memoryview]:
        return _AsyncChunks(self)


class _AsyncChunks:
    def __init__(self, reader: StreamReader) -> None:
        self._reader = reader

    def __aiter__(self) -> _AsyncChunks:
        return self

    async def __anext__(self) -> memoryview:
        reader = self._reader
        import asyncio  # here, not at the top: only async readers pay for it

        inbox = reader._inbox
        loop = asyncio.get_running_loop()
        while True:
            with inbox.lock:
                reader._check_open()
                item = inbox.take_chunk()
                if item is None:
                    future = inbox.add_async_waiter(loop)
            if item is END:
                raise StopAsyncIteration
            if item is not None:
                return item
            try:
                await future
            finally:
                if future.cancelled() or not future.done():  # the task was cancelled
                    inbox.remove_async_waiter(future)
