"""Typed samples: dtype strings, and a stream's bytes cut into (frames,
channels) views that never split a frame, checked against the simulator's
counter pattern for chunk sizes that cut frames anywhere, with struct,
memoryview.cast, the array module and (when present) NumPy agreeing."""

import array
import asyncio
import struct
import sys
import unittest

import tavo
from tavo._samples import FrameReader, Framer, SampleFormat

from test_tavo import pattern, sim

NATIVE = "<" if sys.byteorder == "little" else ">"
SEED = 0xFFFFFFF0  # the counter wraps within the data


def flat(view):
    return [value for row in view.tolist() for value in row]


class SampleFormatTest(unittest.TestCase):
    def test_parse(self):
        cases = {"<i2": ("h", "<", "<i2"), ">f4": ("f", ">", ">f4"), "=u4": ("I", NATIVE, NATIVE + "u4"),
                 "H": ("H", NATIVE, NATIVE + "u2"), "<h": ("h", "<", "<i2"), ">d": ("d", ">", ">f8"),
                 "<q": ("q", "<", "<i8"), "i8": ("q", NATIVE, NATIVE + "i8"), "int16": ("h", NATIVE, NATIVE + "i2"),
                 "uint32": ("I", NATIVE, NATIVE + "u4"), "float64": ("d", NATIVE, NATIVE + "f8"),
                 "uint8": ("B", "|", "|u1"), "|i1": ("b", "|", "|i1"), "<B": ("B", "|", "|u1")}
        for text, (code, order, name) in cases.items():
            with self.subTest(dtype=text):
                fmt = SampleFormat.parse(text, 3)
                self.assertEqual((fmt.code, fmt.byteorder, fmt.name), (code, order, name))
                self.assertEqual(fmt.frame_size, struct.calcsize("<" + code) * 3)
                self.assertEqual(SampleFormat.parse(fmt.name), SampleFormat.parse(text))
        for text in ("int12", "<int16", "l", "<e", "f2", "", "<", "|i2", "i 2", "!h"):
            with self.subTest(dtype=text), self.assertRaisesRegex(ValueError, "sample type"):
                SampleFormat.parse(text)
        with self.assertRaises(ValueError):
            SampleFormat.parse("<i2", 0)


class FramingTest(unittest.TestCase):
    def test_counter_pattern_across_chunk_sizes(self):
        data = pattern(SEED, 6007)
        for dtype in ("<u2", "<u4", ">u2"):
            for channels in (1, 2, 3):
                fmt = SampleFormat.parse(dtype, channels)
                whole = len(data) - len(data) % fmt.frame_size
                expected = list(struct.unpack(f"{dtype[0]}{whole // fmt.itemsize}{fmt.code}", data[:whole]))
                if dtype == "<u4":  # the counter itself, sample by sample
                    self.assertEqual(expected, [(SEED + k) & 0xFFFFFFFF for k in range(whole // 4)])
                for size in (1, 5, 7, 64, 1001, 1200):
                    with self.subTest(dtype=dtype, channels=channels, chunk=size):
                        framer, values = Framer(fmt), []
                        for start in range(0, len(data), size):
                            view = framer.push(data[start:start + size])
                            if view is None:
                                continue
                            self.assertEqual((view.ndim, view.shape[1], view.format), (2, channels, fmt.code))
                            self.assertEqual(view.nbytes, view.shape[0] * fmt.frame_size)
                            row = flat(view)
                            self.assertEqual(view.cast("B").cast(fmt.code).tolist(), row)
                            self.assertEqual(array.array(fmt.code, bytes(view)).tolist(), row)
                            values += row
                        self.assertEqual(values, expected)
                        self.assertEqual(framer.pending, len(data) - whole)

    def test_whole_chunks_are_not_copied(self):
        fmt = SampleFormat.parse("=u4", 3)
        chunk = pattern(SEED, 1200)
        self.assertIs(Framer(fmt).push(chunk).obj, chunk)
        self.assertIsNot(Framer(SampleFormat.parse(">u4" if NATIVE == "<" else "<u4", 3)).push(chunk).obj, chunk)

    def test_gaps_and_errors_keep_their_place(self):
        # Iteration: a frame cut by a gap is given up in the Overflow's
        # `partial`; one cut by a device error goes on across it.
        items = [b"\x01\x00", tavo.Overflow(3), b"\x02\x00\x00\x00\x03\x00", tavo.StreamError("hiccup"),
                 b"\x00\x00\x04"]
        frames = FrameReader(Script(items), "<u4")
        with self.assertRaises(tavo.Overflow) as gap:
            next(frames)
        self.assertEqual(gap.exception.partial, b"\x01\x00")
        self.assertEqual(flat(next(frames)), [2])
        with self.assertRaises(tavo.StreamError):
            next(frames)
        self.assertEqual(flat(next(frames)), [3])  # begun before the error, completed after it
        with self.assertRaises(tavo.StreamError) as end:  # the stream ends 1 byte into a frame
            next(frames)
        self.assertEqual(end.exception.partial, b"\x04")
        # read_frames: a device error's bytes stay for the next call.
        frames = FrameReader(Script([tavo.StreamError("hiccup"), b"\x00"], partial=b"\x05\x00\x00"), "<u4")
        with self.assertRaises(tavo.StreamError) as error:
            frames.read_frames(2)
        self.assertEqual(error.exception.partial, b"")
        self.assertEqual(flat(frames.read_frames(1)), [5])

    def test_simulator_stream_read_as_samples(self):
        # Chunks of 1001 bytes cut the 12-byte frames anywhere (the reader
        # then asks for an aligned stream), and the stream ends 2 bytes into
        # a frame: iteration, async for and read_frames agree.
        expected = [[(SEED + 3 * j + c) & 0xFFFFFFFF for c in range(3)] for j in range(10010 // 12)]

        def typed():
            return tavo.StreamReader(sim("chunks=10"), SEED, chunk_size=1001, dtype="<u4", channels=3)

        async def rows_async(reader, rows):
            async for view in reader:
                rows += view.tolist()

        for how in ("iteration", "async for"):
            with self.subTest(how=how), typed() as reader:
                rows = []
                with self.assertRaises(tavo.StreamError) as end:
                    if how == "iteration":
                        for view in reader:
                            self.assertEqual((view.format, view.shape[1]), ("I", 3))
                            rows += view.tolist()
                    else:
                        asyncio.run(rows_async(reader, rows))
                self.assertEqual(rows, expected)
                self.assertEqual(end.exception.partial, pattern(SEED, 10010)[-2:])

        with tavo.StreamReader(sim("chunks=10"), SEED, chunk_size=1001, dtype="<u2", channels=3) as reader:
            counts = [reader.read_frames(1000).shape for _ in range(2)]
            self.assertEqual(counts, [(1000, 3), (668, 3)])
            with self.assertRaises(tavo.StreamError):
                reader.read_frames(1)
            self.assertEqual(reader.read_frames(1).shape, (0, 3))
            with self.assertRaisesRegex(TypeError, "reads frames"):  # bytes would miss a carried frame
                reader.read(4)
        with self.assertRaisesRegex(ValueError, "not a multiple of the frame size"):
            tavo.StreamReader(sim(), 0, dtype="<u4", channels=3, alignment=1000)
        with self.assertRaisesRegex(ValueError, "on_overflow='count' would shift the frames"):
            tavo.StreamReader(sim(), 0, dtype="<u2", on_overflow="count")
        with self.assertRaisesRegex(ValueError, "channels go with a dtype"):
            tavo.StreamReader(sim(), 0, channels=2)

    def test_numpy_takes_the_views_without_a_copy(self):
        try:
            import numpy
        except ImportError:
            self.skipTest("NumPy is not installed for this Python")
        view = Framer(SampleFormat.parse("<u2", 2)).push(pattern(SEED, 400))
        values = numpy.asarray(view)
        self.assertEqual((values.shape, values.dtype), ((100, 2), numpy.dtype("<u2")))
        self.assertEqual(values.tolist(), view.tolist())
        self.assertFalse(values.flags.owndata)


class Script:
    """A stand-in for a StreamReader that gives out `items` in turn: bytes
    as chunks (or reads), exceptions raised; a StreamError carries
    `partial` when read."""

    def __init__(self, items, partial=b""):
        self.items, self.partial = list(items), partial

    def __next__(self):
        if not self.items:
            raise StopIteration
        item = self.items.pop(0)
        if isinstance(item, Exception):
            raise item
        return memoryview(item)

    def read(self, n, timeout=None):
        item = self.items.pop(0) if self.items else b""
        if isinstance(item, Exception):
            item.partial = self.partial
            raise item
        return item


if __name__ == "__main__":
    unittest.main()
