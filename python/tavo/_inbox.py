"""The buffer between a stream's worker thread and the thread (or event
loop) that reads the stream.

Threads: `deliver` is the stream callback. The module calls it on the
stream's worker thread, one event at a time, in stream order, taking the
interpreter lock for each call; it must return for the stream to go on, so
every wait in it ends when the inbox is closed. The reading side (`take_*`,
`wait_*`) runs on any thread. All state is guarded by `lock` (re-entrant
for the reader's finalizer, see `Inbox.__init__`); `data_ready` and
`space_ready` are the two conditions over it.

Memory: data sits here as memoryviews: of the ManagedBuffer itself for a
plain stream (no copy), of a bytes copy for an aligned stream (a DataView
dies with its callback). When `max_bytes` are buffered, `deliver` waits for
space, so the stream's own queue fills and reports the overflow instead.
"""

from __future__ import annotations

import collections
import threading
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING

from ._errors import Overflow, StreamError

if TYPE_CHECKING:  # asyncio is used only by async readers, which import it themselves
    import asyncio

# The module reports each event its full queue dropped as an error with this
# text. It is recognised here and nowhere else.
OVERFLOW_NOTICE = "Queue Overflow, dropping event"


class _End:
    """The end of the stream; it stays at the head once reached."""


END = _End()


class _Dropped:
    """A run of consecutive overflow notices: `count` events dropped here."""

    __slots__ = ("count",)

    def __init__(self) -> None:
        self.count = 1


@dataclass(frozen=True)
class StreamStats:
    """What a StreamReader has received from its stream so far."""

    chunks: int = 0  # data chunks delivered (for an aligned stream: pieces)
    bytes: int = 0  # data bytes delivered
    dropped: int = 0  # events the stream dropped (overflow notices)
    errors: int = 0  # error reports of the device


class Inbox:
    """The events of one stream, in order, between its callback and its
    readers. See the module's text for the threads and the memory bound."""

    def __init__(self, max_bytes: int, copy: bool, raise_overflow: bool) -> None:
        # Re-entrant for one caller: the reader's finalizer, `close`. A reader
        # left in a reference cycle is freed by the garbage collector, which
        # runs on whichever thread next checks for pending work, often the
        # stream's worker in the middle of `deliver`, with this lock held. A
        # plain Lock would block that worker on itself for good (and, the
        # collection never ending, stop every later one); with an RLock the
        # close goes through, and `deliver` finds the inbox closed, or adds to
        # it what nobody will read and is freed with it.
        self.lock = threading.RLock()
        self.data_ready = threading.Condition(self.lock)
        self.space_ready = threading.Condition(self.lock)
        # memoryview (data) | StreamError (error report) | _Dropped | END, in stream order
        self.items: collections.deque = collections.deque()
        self.buffered = 0  # bytes in the memoryviews of `items`
        self.markers = 0  # items that are not data
        self.max_bytes = max_bytes
        self.wanted = 0  # bytes a waiting read needs at once; may exceed max_bytes
        self.closed = False
        self.copy = copy
        self.raise_overflow = raise_overflow
        self.reader_waiting = 0  # threads in data_ready.wait
        self.writer_waiting = False  # deliver in space_ready.wait
        self.async_waiters: list[tuple[asyncio.AbstractEventLoop, asyncio.Future]] = []
        self.chunks = self.bytes = self.dropped = self.errors = 0

    # -- the stream callback (worker thread) -----------------------------

    def deliver(self, buffer, text) -> None:
        if buffer is not None:
            view = memoryview(buffer)
            size = view.nbytes
            with self.lock:
                if self.buffered and self.buffered + size > self.max_bytes:
                    self._wait_for_space(size)
                if self.closed:
                    return
                if self.copy:
                    view = memoryview(bytes(view))  # a DataView is valid only during this call
                self.items.append(view)
                self.buffered += size
                self.chunks += 1
                self.bytes += size
                if self.reader_waiting:
                    self.data_ready.notify_all()  # see _wake_readers
                if not self.async_waiters:
                    return
                wake = self._take_async_waiters()
        elif text is None:
            with self.lock:
                if self.closed:
                    return
                self.items.append(END)
                self.markers += 1
                wake = self._wake_readers()
        elif text == OVERFLOW_NOTICE:
            with self.lock:
                self.dropped += 1
                if self.closed or not self.raise_overflow:
                    return
                last = self.items[-1] if self.items else None
                if type(last) is _Dropped:  # one Overflow for a run of notices
                    last.count += 1
                    return
                self.items.append(_Dropped())
                self.markers += 1
                wake = self._wake_readers()
        else:
            with self.lock:
                self.errors += 1
                if self.closed:
                    return
                self.items.append(StreamError(text))
                self.markers += 1
                wake = self._wake_readers()
        _resolve_all(wake)

    def _wait_for_space(self, size: int) -> None:
        """Called by `deliver` with the lock held when `size` more bytes
        would pass the limit: waits until they fit, or a read needs more than
        is buffered (it cannot finish without this chunk), or the inbox is
        closed. `close()` and every take notify `space_ready`."""
        while (self.buffered and self.buffered + size > self.max_bytes
               and self.buffered >= self.wanted and not self.closed):
            self.writer_waiting = True
            self.space_ready.wait()
        self.writer_waiting = False

    def _wake_readers(self) -> list:
        """Called with the lock held after an append; returns the event-loop
        waiters to resolve once the lock is released. Every waiting thread is
        woken: they wait for different things (n bytes, any item), and the
        one a single notify picks may still be short while another could go
        on, and would sleep for good if this was the stream's last event."""
        if self.reader_waiting:
            self.data_ready.notify_all()
        return self._take_async_waiters() if self.async_waiters else []

    def _take_async_waiters(self) -> list:
        wake, self.async_waiters = self.async_waiters, []
        return wake

    # -- the reading side (any thread) -----------------------------------

    def close(self) -> None:
        """Drops everything buffered and lets a waiting `deliver` return;
        from now on `deliver` discards every event at once. Idempotent."""
        with self.lock:
            self.closed = True
            self.items.clear()
            self.buffered = self.markers = 0
            self.space_ready.notify_all()
            self.data_ready.notify_all()
            wake = self._take_async_waiters()
        _resolve_all(wake)

    def stats(self) -> StreamStats:
        with self.lock:
            return StreamStats(self.chunks, self.bytes, self.dropped, self.errors)

    def wait_bytes(self, n: int, deadline: float | None) -> bool:
        """Waits, with the lock held, until `n` bytes or a marker are
        buffered, or the inbox is closed. False when the deadline passed."""
        if self.buffered >= n or self.markers or self.closed:
            return True
        self.wanted = max(self.wanted, n)  # several threads may wait; the largest need counts
        if self.writer_waiting:
            self.space_ready.notify()  # it may go on now that a read needs more
        try:
            return self._wait(lambda: self.buffered >= n or self.markers or self.closed, deadline)
        finally:
            if not self.reader_waiting:
                self.wanted = 0

    def wait_item(self, deadline: float | None) -> bool:
        """Waits, with the lock held, until anything is buffered or the inbox
        is closed. False when the deadline passed."""
        if self.items or self.closed:
            return True
        return self._wait(lambda: self.items or self.closed, deadline)

    def _wait(self, ready, deadline: float | None) -> bool:
        self.reader_waiting += 1
        try:
            while not ready():
                if deadline is None:
                    self.data_ready.wait()
                else:
                    remaining = deadline - time.monotonic()
                    if remaining <= 0:
                        return False
                    self.data_ready.wait(remaining)
            return True
        finally:
            self.reader_waiting -= 1

    def take_into(self, target: memoryview) -> int:
        """Copies buffered data into `target` up to its length or the first
        marker, with the lock held; returns the byte count."""
        items = self.items
        wanted = target.nbytes
        pos = 0
        while pos < wanted and items:
            item = items[0]
            if type(item) is not memoryview:
                break
            size = item.nbytes
            take = wanted - pos
            if take >= size:
                target[pos:pos + size] = item
                items.popleft()
                pos += size
            else:
                target[pos:wanted] = item[:take]
                items[0] = item[take:]  # a view of the same chunk: no copy
                pos = wanted
        if pos:
            self.buffered -= pos
            if self.writer_waiting:
                self.space_ready.notify()
        return pos

    def take_chunk(self):
        """The next item, with the lock held: a memoryview, or the end (END
        stays at the head, so every later call sees it too), or None when
        nothing is buffered. An error or overflow is removed and raised."""
        if not self.items:
            return None
        item = self.items[0]
        if type(item) is memoryview:
            self.items.popleft()
            self.buffered -= item.nbytes
            if self.writer_waiting:
                self.space_ready.notify()
            return item
        if item is END:
            return END
        self.raise_marker()

    def raise_marker(self) -> None:
        """Removes the marker at the head and raises it (never END)."""
        item = self.items.popleft()
        self.markers -= 1
        if type(item) is _Dropped:
            raise Overflow(item.count)
        raise item

    def add_async_waiter(self, loop: asyncio.AbstractEventLoop) -> asyncio.Future:
        future = loop.create_future()
        self.async_waiters.append((loop, future))
        return future

    def remove_async_waiter(self, future: asyncio.Future) -> None:
        with self.lock:
            self.async_waiters = [(loop, f) for loop, f in self.async_waiters if f is not future]


def _resolve_all(waiters: list) -> None:
    """Wakes awaiting tasks through their loops; called without the lock,
    since waking a loop writes to its self-pipe."""
    for loop, future in waiters:
        try:
            loop.call_soon_threadsafe(_resolve, future)
        except RuntimeError:  # that loop is closed; nobody waits on it any more
            pass


def _resolve(future: asyncio.Future) -> None:
    if not future.done():
        future.set_result(None)

