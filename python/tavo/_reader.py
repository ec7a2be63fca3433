"""StreamReader: a device's read stream, pulled with `read`, `readinto`,
iteration or `async for` instead of handled in a callback.

How it works: the reader's compiled half, `tavo._native.Reader`, gives the
device a sink of its own. The device's threads store each chunk there and
return; the thread that reads takes the chunks straight out, with no worker
thread in between and no Python on the device's threads. `read`, `readinto`
and iteration are that half's own methods (no Python frame of ours around
them, so an interrupt can only land while they wait, when nothing is taken);
this module checks the arguments, turns counts into `StreamStats`, and
waits for `async for` on the event loop.

Memory: `max_buffered_bytes` bounds every byte the reader holds, what the
device stored and what was taken out but not yet returned; `max_queue_elements`
bounds the chunks stored and not yet taken out. Past either bound the device's
chunks are dropped and counted at once, one gap (one `Overflow`) per run of
consecutive drops.
"""

from __future__ import annotations

import operator
from collections.abc import AsyncIterator
from dataclasses import dataclass
from typing import Literal

import pytavo_device

from . import _native
from ._errors import Overflow, StreamError, StreamRefused

__all__ = ["StreamReader", "StreamStats"]

DEFAULT_MAX_BUFFERED_BYTES = 64 * 2**20
QUEUE_ELEMENTS = (64, 2**31 - 1)  # the range of max_queue_elements

_native._set_error_types(StreamError, Overflow)


@dataclass(frozen=True)
class StreamStats:
    """What a StreamReader's stream has delivered to it so far."""

    chunks: int = 0  # data chunks stored for the reader (for an aligned stream: pieces)
    bytes: int = 0  # their bytes
    dropped: int = 0  # events dropped (the bounds were full), a remote device's included
    errors: int = 0  # error reports of the device


def _integer(name: str, value, low: int, high: int) -> int:
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer in {low}..{high}, not {type(value).__name__}") from None
    if not low <= number <= high:
        raise ValueError(f"{name} must be an integer in {low}..{high}, not {number}")
    return number


class StreamReader(_native.Reader):
    """Reads the stream of `device` (a `pytavo_device.Device`) at `addr`.

    A plain stream when `alignment` is None, an aligned one otherwise (every
    piece a multiple of `alignment` bytes, except the last before the end, an
    error or a gap). `chunk_size` goes to the device as it is. At most
    `max_buffered_bytes` are held (one chunk larger than that goes through
    alone; a single `read` that needs more at once lets chunks in past it
    while it waits, until its bytes are there), and at most `max_queue_elements` chunks wait to be
    taken. Past that the device's chunks are dropped: each run of drops
    raises one `Overflow` at its place with `on_overflow="raise"`, or is only
    counted in `stats` with `"count"`. A device error raises `StreamError` at
    its place. Either way reading may go on after the exception.

    With `dtype` (and `channels`), the reader gives typed samples instead
    of bytes: iteration yields memoryviews of that format and shape
    (frames, channels), `read_frames(n)` exactly `n` frames, and a frame
    never straddles two views (see tavo._samples).

    The stream starts here; use the reader as a context manager, or call
    `close`, to stop it and free what it holds. The reader keeps its device
    alive.
    """

    def __new__(cls, *args, dtype=None, **options):
        if dtype is not None and cls is StreamReader:
            from ._typed_reader import TypedStreamReader
            cls = TypedStreamReader
        return super().__new__(cls)

    def __init__(self, device: pytavo_device.Device, addr: int, *, chunk_size: int = 0,
                 alignment: int | None = None, max_queue_elements: int = 4096,
                 max_buffered_bytes: int = DEFAULT_MAX_BUFFERED_BYTES,
                 on_overflow: Literal["raise", "count"] = "raise", dtype=None, channels: int = 1) -> None:
        if dtype is not None:
            raise TypeError(f"{type(self).__name__} gives bytes: samples of a dtype come from StreamReader itself")
        if channels != 1:
            raise ValueError("channels go with a dtype: StreamReader(..., dtype='<i2', channels=4)")
        addr = _integer("addr", addr, 0, 2**32 - 1)
        chunk_size = _integer("chunk_size", chunk_size, 0, 2**64 - 1)
        if alignment is not None:
            alignment = _integer("alignment", alignment, 1, 2**63 - 1)
        max_queue_elements = _integer("max_queue_elements", max_queue_elements, *QUEUE_ELEMENTS)
        max_buffered_bytes = _integer("max_buffered_bytes", max_buffered_bytes, 1, 2**63 - 1)
        if on_overflow not in ("raise", "count"):
            raise ValueError(f"on_overflow must be 'raise' or 'count', not {on_overflow!r}")
        self._async_loops: dict = {}  # event loop -> futures of its tasks waiting here
        if not self._start(device, addr, chunk_size, alignment or 0, max_queue_elements, max_buffered_bytes,
                           on_overflow == "raise"):
            raise StreamRefused("the device started no stream")

    def __enter__(self) -> StreamReader:
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    @property
    def stats(self) -> StreamStats:
        """Chunks, bytes, dropped events and errors delivered so far."""
        return StreamStats(*self._counts())

    # -- asyncio -------------------------------------------------------------

    def aiter(self) -> AsyncIterator[memoryview]:
        """`async for chunk in reader.aiter()`: the chunks as iteration gives
        them, awaited without blocking the event loop: the loop watches the
        reader's file descriptor while a task waits, and the device's threads
        only write to it. No thread per read."""
        return _AsyncChunks(self)

    def __aiter__(self) -> AsyncIterator[memoryview]:
        return _AsyncChunks(self)

    def _take_nowait(self):
        """The function `async for` takes each chunk with: a chunk, or None
        when nothing is there yet; StopIteration at the end."""
        return self._next_nowait

    async def _readable(self) -> None:
        """Returns once there may be something to take, or the reader was
        closed. One reader callback per loop, whatever the number of tasks."""
        import asyncio  # imported already by whatever runs this task's loop

        if not self._arm_async():  # something is there already
            return
        try:
            loop = asyncio.get_running_loop()
            waiters = self._async_loops.get(loop)
            if waiters is None:
                waiters = self._async_loops[loop] = set()
                loop.add_reader(self._wake_fd(), self._wake_tasks, loop)
            future = loop.create_future()
            waiters.add(future)
            try:
                await future
            finally:
                waiters.discard(future)
                if not waiters:
                    del self._async_loops[loop]
                    loop.remove_reader(self._wake_fd())
        finally:
            self._disarm_async()

    def _wake_tasks(self, loop) -> None:
        self._clear_wake()
        for future in self._async_loops.get(loop, ()):
            if not future.done():
                future.set_result(None)


class _AsyncChunks:
    def __init__(self, reader: StreamReader) -> None:
        self._reader = reader
        self._take = reader._take_nowait()

    def __aiter__(self) -> _AsyncChunks:
        return self

    async def __anext__(self) -> memoryview:
        reader, take = self._reader, self._take
        while True:
            try:
                chunk = take()
            except StopIteration:
                raise StopAsyncIteration from None
            if chunk is not None:
                return chunk
            await reader._readable()
