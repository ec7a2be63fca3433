"""Typed samples: a stream's bytes as frames of `channels` samples of one
type, given out as memoryviews of shape (frames, channels) that NumPy takes
without a copy (`numpy.asarray(view)`).

A frame never straddles two views: bytes of a frame cut by the end of a
chunk are carried into the next view. The view of a chunk that starts on a
frame boundary and has the machine's byte order is the chunk itself, with
no copy; a carried frame costs a copy of the chunk it joins, and a byte
order other than the machine's costs a copy (swapped) of every view.
"""

from __future__ import annotations

import array
import struct
import sys
from collections.abc import Iterator
from dataclasses import dataclass

from ._errors import Overflow, StreamError

__all__ = ["SampleFormat", "Framer", "FrameReader"]

_CODES = "bBhHiIqQfd"  # the struct codes of the sample types; each is also an array typecode
_NUMPY_CODES = {"i1": "b", "u1": "B", "i2": "h", "u2": "H", "i4": "i", "u4": "I", "i8": "q", "u8": "Q",
                "f4": "f", "f8": "d"}
_NUMPY_NAMES = {"int8": "b", "uint8": "B", "int16": "h", "uint16": "H", "int32": "i", "uint32": "I",
                "int64": "q", "uint64": "Q", "float32": "f", "float64": "d"}
_NATIVE = "<" if sys.byteorder == "little" else ">"


@dataclass(frozen=True)
class SampleFormat:
    """One sample type and the channels of a frame. `code` is the struct
    (and memoryview) format character, `byteorder` "<" or ">" as the data
    is stored ("|" for one-byte types), `itemsize` the bytes of a sample,
    `frame_size` the bytes of a frame."""

    code: str
    byteorder: str
    channels: int = 1

    def __post_init__(self) -> None:
        if self.code not in _CODES:
            raise ValueError(f"sample code {self.code!r} is not one of {' '.join(_CODES)}")
        if self.byteorder not in ("<", ">", "|") or (self.byteorder == "|") != (self.itemsize == 1):
            raise ValueError(f"byte order {self.byteorder!r} does not suit {self.code!r}")
        if isinstance(self.channels, bool) or not isinstance(self.channels, int) or self.channels < 1:
            raise ValueError(f"channels must be an int of 1 or more, not {self.channels!r}")

    @classmethod
    def parse(cls, dtype: str | SampleFormat, channels: int = 1) -> SampleFormat:
        """The format for `dtype`: a struct code (b B h H i I q Q f d)
        with "<", ">" or "=" before it, or a NumPy name ("int16", "<f4",
        "u2", a numpy.dtype). No byte order, or "=", is the machine's.
        Raises ValueError for anything else."""
        if isinstance(dtype, SampleFormat):
            return cls(dtype.code, dtype.byteorder, channels)
        text = getattr(dtype, "str", dtype)  # a numpy.dtype spells itself "<i2"
        if not isinstance(text, str):
            raise TypeError(f"dtype must be a str, not {type(dtype).__name__}")
        order, rest = (text[0], text[1:]) if text[:1] in ("<", ">", "=", "|") else ("=", text)
        code = rest if len(rest) == 1 and rest in _CODES else _NUMPY_CODES.get(rest)
        if code is None and order == "=" and rest == text:
            code = _NUMPY_NAMES.get(rest)
        if code is None:
            raise ValueError(f"unknown sample type {dtype!r}: expected a struct code (b B h H i I q Q f d, "
                             "optionally after <, > or =) or a NumPy name such as 'int16' or '<f4'")
        if struct.calcsize("<" + code) == 1:
            order = "|"
        elif order == "|":
            raise ValueError(f"sample type {dtype!r}: '|' (no byte order) is for one-byte types only")
        elif order == "=":
            order = _NATIVE
        return cls(code, order, channels)

    @property
    def itemsize(self) -> int:
        return struct.calcsize("<" + self.code)

    @property
    def frame_size(self) -> int:
        return self.itemsize * self.channels

    @property
    def swapped(self) -> bool:
        """True when the data's byte order is not the machine's: every view
        is then a swapped copy."""
        return self.byteorder not in ("|", _NATIVE)

    @property
    def name(self) -> str:
        """The NumPy spelling: "<i2", ">f4", "|u1"."""
        kind = "f" if self.code in "fd" else ("u" if self.code.isupper() else "i")
        return f"{self.byteorder}{kind}{self.itemsize}"

    @property
    def is_float(self) -> bool:
        return self.code in "fd"

    @property
    def is_signed(self) -> bool:
        return self.code in "fd" or self.code.islower()

    def frames(self, data) -> memoryview:
        """`data` (whole frames, any C-contiguous buffer) as a memoryview of
        format `code` and shape (frames, channels): `data` itself when the
        byte order is the machine's, a swapped copy otherwise. Raises
        ValueError when `data` is not a whole number of frames."""
        view = _bytes(data)
        count, extra = divmod(view.nbytes, self.frame_size)
        if extra:
            raise ValueError(f"{view.nbytes} bytes are not whole frames of {self.frame_size} bytes")
        if not count:  # cast refuses a shape with a 0 in it; a slice of one frame does not
            return memoryview(bytes(self.frame_size)).cast(self.code, (1, self.channels))[:0]
        if self.swapped:
            values = array.array(self.code)
            values.frombytes(view)
            values.byteswap()
            view = memoryview(values).cast("B")
        return view.cast(self.code, (count, self.channels))


def _bytes(data) -> memoryview:
    view = data if isinstance(data, memoryview) else memoryview(data)
    if view.format != "B" or view.ndim != 1:
        view = view.cast("B")  # raises TypeError for a buffer that is not C-contiguous
    return view


class Framer:
    """Cuts a sequence of byte chunks (cut anywhere) into views of whole
    frames, carrying the bytes of a cut frame into the next view.

    Not thread-safe: one consumer pushes, in stream order."""

    def __init__(self, fmt: SampleFormat) -> None:
        self.format = fmt
        self._carry = bytearray()

    @property
    def pending(self) -> int:
        """Bytes of a frame begun and not yet completed."""
        return len(self._carry)

    def push(self, chunk) -> memoryview | None:
        """The whole frames that `chunk` completes, as `SampleFormat.frames`
        gives them, or None while it completes none."""
        view = _bytes(chunk)
        size = self.format.frame_size
        if not self._carry:  # on a frame boundary: the chunk itself, less a cut frame at its end
            whole = view.nbytes - view.nbytes % size
            if whole < view.nbytes:
                self._carry = bytearray(view[whole:])
            return self.format.frames(view[:whole]) if whole else None
        self._carry += view  # the carried frame joins the chunk: one copy
        return self.take_frames(None)

    def hold(self, data) -> None:
        """Appends `data` to the carried bytes, whatever their length."""
        self._carry += _bytes(data)

    def take_frames(self, limit: int | None) -> memoryview | None:
        """Up to `limit` (None: all) whole frames of the carried bytes, or
        None if there is no whole frame; the rest stays carried."""
        carry = self._carry
        whole = len(carry) - len(carry) % self.format.frame_size
        if limit is not None:
            whole = min(whole, limit * self.format.frame_size)
        if not whole:
            return None
        self._carry = bytearray(carry[whole:])  # the view below owns the old buffer from here
        del carry[whole:]
        return self.format.frames(carry)

    def take_partial(self) -> bytes:
        """The carried bytes, given up: the next push starts a new frame.
        For a gap in the stream, which a frame must not span."""
        partial, self._carry = bytes(self._carry), bytearray()
        return partial

    def next_frames(self, take, source) -> memoryview | None:
        """The next whole frames of the chunks `take(source)` gives (a
        reader's __next__, or its non-blocking take that gives None when
        nothing is there: then None). Where events were dropped (Overflow),
        a frame begun before the gap is not completed with bytes after it:
        its bytes go to the exception's `partial`. At the end of the stream,
        StopIteration, or StreamError if it ended inside a frame."""
        while True:
            try:
                chunk = take(source)
            except StopIteration:
                self.finish()
                raise
            except Overflow as gap:
                gap.partial = self.take_partial()
                raise
            if chunk is None:
                return None
            frames = self.push(chunk)
            if frames is not None:
                return frames

    def read_frames(self, read, n: int, timeout: float | None) -> memoryview:
        """Exactly `n` frames, with `read(count, timeout)` (a reader's read)
        taking what the carried bytes lack: see FrameReader.read_frames."""
        if n < 0:
            raise ValueError("read_frames() needs a frame count of 0 or more")
        size = self.format.frame_size
        pending = self.pending
        request = max(n * size - pending, 0)
        try:
            data = read(request, timeout)
        except Overflow as gap:  # the bytes before the gap, the cut frame among them
            gap.partial = self.take_partial() + gap.partial
            raise
        except StreamError as error:  # no gap: its bytes are the next call's
            self.hold(error.partial)
            error.partial = b""
            raise
        if not pending:  # on a frame boundary: the bytes read, as they are
            view = memoryview(data)
            whole = len(data) - len(data) % size
            self.hold(view[whole:])
            frames = self.format.frames(view[:whole])
        else:
            self.hold(data)
            frames = self.take_frames(n)
            if frames is None:
                frames = self.format.frames(b"")
        if len(data) < request and not frames.nbytes:  # the end, and nothing whole left
            self.finish()
        return frames

    def finish(self) -> None:
        """At the end of the stream: raises StreamError, with the bytes in
        its `partial`, if the stream ended inside a frame."""
        if self._carry:
            partial = self.take_partial()
            error = StreamError(f"the stream ended {len(partial)} byte(s) into a frame of {self.format.frame_size}")
            error.partial = partial
            raise error


class FrameReader:
    """Typed frames from a reader of bytes with StreamReader's `read(n,
    timeout)` and iteration (a StreamReader): `for frames in ...` and
    `read_frames(n)`, views of `format`. (`StreamReader(..., dtype=...)`
    does the same in one object.)

    Gaps and errors keep their place. Where events were dropped (Overflow),
    a frame begun before the gap is not completed with bytes after it: its
    bytes go to the exception's `partial`, and framing restarts after the
    gap. A device error does not interrupt the data, so framing goes on
    across it. A stream that ends inside a frame raises StreamError with
    that frame's bytes in `partial`."""

    def __init__(self, reader, dtype: str | SampleFormat, channels: int = 1) -> None:
        self.reader = reader
        self.format = SampleFormat.parse(dtype, channels)
        self._framer = Framer(self.format)

    def __iter__(self) -> Iterator[memoryview]:
        return self

    def __next__(self) -> memoryview:
        return self._framer.next_frames(next, self.reader)

    def read_frames(self, n: int, timeout: float | None = None) -> memoryview:
        """Exactly `n` frames, shape (n, channels); fewer only at the end of
        the stream, then none (shape (0, channels)), or StreamError if the
        stream ended inside a frame. Raises TimeoutError, taking nothing,
        when `timeout` seconds pass first; an exception from the stream as
        iteration does (a device error's bytes stay here for the next call)."""
        return self._framer.read_frames(self.reader.read, n, timeout)
