"""Bulk write and read: accepted buffers, the checks in their order and
their messages, and the device's count passed through."""

import array
import ctypes
import unittest

import pytavo_device as tavo
import support

try:
    import numpy
except ImportError:  # NumPy is optional
    numpy = None


class Memory(tavo.Device):
    """A Python device whose write and read record what the native call gave."""

    def __init__(self, count=None):
        super().__init__()
        self.calls = []
        self.count = count

    def write(self, addr, length, data):
        self.calls.append(("write", addr, length, bytes(data)))
        return length if self.count is None else self.count

    def read(self, addr, length, data):
        self.calls.append(("read", addr, length))
        data[:] = bytes((addr + i) % 256 for i in range(length))
        return length if self.count is None else self.count


def native_write(device, addr, data):
    return tavo.Device.write(device, addr, data)


def native_read(device, addr, data):
    return tavo.Device.read(device, addr, data)


class AcceptedBuffersTest(unittest.TestCase):
    def test_write_accepts_byte_buffers(self):
        d = Memory()
        buffers = [b"abc", bytearray(b"abc"), memoryview(b"abc"), memoryview(bytearray(b"abc")),
                   array.array("B", b"abc"), memoryview(b"xabcx")[1:4]]
        for buf in buffers:
            with self.subTest(type(buf).__name__):
                self.assertEqual(native_write(d, 7, buf), 3)
                self.assertEqual(d.calls[-1], ("write", 7, 3, b"abc"))

    def test_read_fills_writable_buffers_in_place(self):
        d = Memory()
        for buf in (bytearray(4), array.array("B", bytes(4)),
                    memoryview(bytearray(6))[1:5]):
            with self.subTest(type(buf).__name__):
                self.assertEqual(native_read(d, 10, buf), 4)
                self.assertEqual(bytes(buf), bytes([10, 11, 12, 13]))

    def test_empty_buffers_reach_the_device(self):
        d = Memory()
        self.assertEqual(native_write(d, 0, bytearray()), 0)
        self.assertEqual(native_read(d, 0, bytearray()), 0)
        self.assertEqual([c[:3] for c in d.calls], [("write", 0, 0), ("read", 0, 0)])

    def test_count_passed_through_unchanged(self):
        for count in (0, 5, 2**64 - 1):
            d = Memory(count=count)
            self.assertEqual(native_write(d, 0, b"xy"), count)
            self.assertEqual(native_read(d, 0, bytearray(2)), count)

    @unittest.skipIf(numpy is None, "NumPy is not installed")
    def test_numpy_uint8(self):
        d = Memory()
        self.assertEqual(native_write(d, 0, numpy.arange(5, dtype=numpy.uint8)), 5)
        with self.assertRaisesRegex(RuntimeError, "^Unsupported buffer format!$"):
            native_write(d, 0, numpy.arange(5, dtype=numpy.int16))


class RefusedBuffersTest(unittest.TestCase):
    def check(self, call, buf, message):
        d = Memory()
        with self.assertRaises(RuntimeError) as caught:
            call(d, 0, buf)
        self.assertEqual(str(caught.exception), message)
        self.assertEqual(d.calls, [])  # the device is never reached

    def test_formats(self):
        for buf in (array.array("b", b"ab"), array.array("H", [1]), memoryview(bytearray(b"ab")).cast("c"),
                    (ctypes.c_byte * 2)(), (ctypes.c_uint16 * 2)(),
                    # ctypes describes its unsigned bytes with a byte-order prefix: "<B"
                    (ctypes.c_ubyte * 2)()):
            with self.subTest(repr(buf)):
                self.check(native_write, buf, "Unsupported buffer format!")
                self.check(native_read, buf, "Unsupported buffer format!")

    def test_dimensions_before_format(self):
        two_d = memoryview(bytearray(6)).cast("B", (2, 3))
        self.check(native_write, two_d, "ndim != 1")
        self.check(native_write, memoryview(bytearray(8)).cast("H", (2, 2)), "ndim != 1")
        self.check(native_read, memoryview(bytearray(6)).cast("B", (2, 3)), "ndim != 1")

    def test_strides(self):
        self.check(native_write, memoryview(bytearray(6))[::2], "strides[0] != 1")
        self.check(native_read, memoryview(bytearray(6))[::-1], "strides[0] != 1")

    def test_read_only_refused_first_for_read(self):
        self.check(native_read, b"abc", "buffer is readonly")
        self.check(native_read, memoryview(b"abcdef").cast("B", (2, 3)), "buffer is readonly")
        self.check(native_read, memoryview(b"abcdef")[::2], "buffer is readonly")

    def test_argument_matching(self):
        d = Memory()
        for args, kwargs in [((-1, b"x"), {}), ((2**32, b"x"), {}), ((1.0, b"x"), {}), ((0, "text"), {}),
                             ((0, 5), {}), ((0,), {"arg1": b"x"}), ((), {"arg0": 0, "arg1": b"x"})]:
            with self.subTest(args=args, kwargs=kwargs):
                with self.assertRaises(TypeError):
                    native_write(d, *args, **kwargs) if not kwargs else tavo.Device.write(d, *args, **kwargs)
                with self.assertRaises(TypeError):
                    tavo.Device.read(d, *args, **kwargs)
        self.assertEqual(d.calls, [])


class PluginBulkTest(unittest.TestCase):
    def test_plugin_device_sees_callers_bytes(self):
        device = support.probe_device("count=12345,fill=171")
        self.assertEqual(device.write(4294967295, bytearray(b"\x07abc")), 12345)
        self.assertEqual(support.probe_info(device)["last_call"], "write 4294967295 4 7")
        target = bytearray(5)
        self.assertEqual(device.read(3, target), 12345)
        self.assertEqual(target, bytes([171]) * 5)


if __name__ == "__main__":
    unittest.main()
