"""StreamReader(..., dtype=, channels=): a stream read as typed samples.

The bytes come from the reader's compiled half as for any StreamReader; a
Framer (tavo._samples) cuts them into frames and gives memoryviews of the
sample format, shape (frames, channels), which NumPy takes without a copy.

Where frames would be cut by the device's chunks, the stream is an aligned
one with the frame size as alignment: the compiled half then completes a cut
frame by copying that one frame, and gives the rest of each chunk as it is,
where the Framer would copy the whole chunk it joins. Chunks of a size that
is a multiple of the frame size need neither.
"""

from __future__ import annotations

import functools

from . import _native
from ._reader import StreamReader, _integer
from ._samples import Framer, SampleFormat

__all__ = ["TypedStreamReader"]

_Bytes = _native.Reader  # the byte-level methods, under the frame-level ones of this class


def _frame_alignment(fmt: SampleFormat, chunk_size: int, alignment: int | None) -> int | None:
    size = fmt.frame_size
    if alignment is not None:
        alignment = _integer("alignment", alignment, 1, 2**63 - 1)
        if alignment % size:
            raise ValueError(f"alignment {alignment} is not a multiple of the frame size ({size} bytes: "
                             f"{fmt.channels} channel(s) of {fmt.name})")
        return alignment
    if size == 1 or (chunk_size and chunk_size % size == 0):
        return None  # chunks never cut a frame
    return size


class TypedStreamReader(StreamReader):
    """What `StreamReader(..., dtype=...)` makes: iteration (and `async
    for`) yields frame views, `read_frames(n)` reads exactly `n` frames.
    `read` and `readinto`, which give bytes, are refused: a frame that the
    reader carries would be missing from them."""

    def __init__(self, device, addr: int, *, dtype, channels: int = 1, chunk_size: int = 0,
                 alignment: int | None = None, **options) -> None:
        if options.get("on_overflow") == "count":
            # Framing restarts at each gap; a gap only counted would join the
            # frame cut before it to bytes after it, and shift every frame.
            raise ValueError("a StreamReader of typed samples raises Overflow at each gap, where framing "
                             "restarts: on_overflow='count' would shift the frames after a gap")
        self.format = SampleFormat.parse(dtype, channels)
        self._framer = Framer(self.format)
        chunk_size = _integer("chunk_size", chunk_size, 0, 2**64 - 1)
        super().__init__(device, addr, chunk_size=chunk_size,
                         alignment=_frame_alignment(self.format, chunk_size, alignment), **options)

    def __next__(self) -> memoryview:
        return self._framer.next_frames(_Bytes.__next__, self)

    def read_frames(self, n: int, timeout: float | None = None) -> memoryview:
        """Exactly `n` frames, shape (n, channels); fewer only at the end of
        the stream, then none (shape (0, channels)), or StreamError if the
        stream ended inside a frame. Raises TimeoutError, taking nothing,
        when `timeout` seconds pass first. An Overflow carries in `partial`
        the bytes before the gap (a frame cut by it among them); a device
        error's bytes stay here for the next call."""
        n = _integer("n", n, 0, 2**63 - 1)
        return self._framer.read_frames(functools.partial(_Bytes.read, self), n, timeout)

    def read(self, *args, **kwargs):
        raise TypeError("a StreamReader of typed samples reads frames: use read_frames() or iteration")

    readinto = read

    def _take_nowait(self):
        return functools.partial(self._framer.next_frames, _Bytes._next_nowait, self)
