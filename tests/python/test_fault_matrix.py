"""Every manager, device and stream operation failing in every way a plugin
may fail: each failure reaches Python as its documented exception, and the
object keeps working (the tp_faults plugin fires each armed fault once)."""

import gc
import os
import threading
import unittest
import weakref

import pytavo_device as tavo

import streams_support
import support

UNKNOWN = "Caught an unknown exception!"

# Each device operation with arguments that succeed, and its result then.
DEVICE_CALLS = {
    "set_register_sync": ((1, 2, 3), tavo.ReturnCode.Success),
    "set_register": ((1, 2, 3), tavo.ReturnCode.Success),
    "send_registers": ((), tavo.ReturnCode.Success),
    "get_register_sync": ((41,), 42),
    "get_register": ((41,), 42),
    "read_registers": ((), tavo.ReturnCode.Success),
    "trigger": ((5, -1), tavo.ReturnCode.Success),
    "write": ((0, b"12345"), 5),
    "read": ((0, bytearray(6)), 6),
    "get_status": ((), "ok"),
    "get_info": ((), "tp_faults device"),
}
STATUS_CALLS = ("set_register_sync", "set_register", "send_registers", "read_registers", "trigger")
TEXT_CALLS = ("get_status", "get_info")

MANAGER_CALLS = {
    "info": "tp_faults manager",
    "list_devices": "faults\n",
    "get_device_options": "faults:<op>=<kind>,...\n",
}


def faults_manager():
    return tavo.get_device_manager(str(support.test_plugin("tp_faults")))


class Callback:
    """A stream callback that records the chunks' bytes; weakly referable,
    so a test can see when the module has let go of it."""

    def __init__(self):
        self.chunks = []
        self.ended = threading.Event()

    def __call__(self, buffer, text):
        if buffer is not None:
            self.chunks.append(bytes(buffer))
        elif text is None:
            self.ended.set()


def released(ref, timeout=5):
    def gone():
        gc.collect()
        return ref() is None
    return streams_support.wait_until(gone, timeout)


class DeviceFaultTest(unittest.TestCase):
    def setUp(self):
        self.manager = faults_manager()

    def device(self, op, kind, text=None):
        name = f"faults:{op}={kind}" + (f",text={text}" if text else "")
        return self.manager.create_device(name)

    def assert_usable(self, device, op):
        args, expected = DEVICE_CALLS[op]
        self.assertEqual(getattr(device, op)(*args), expected)

    def test_thrown_failures_reach_python_and_the_device_goes_on(self):
        cases = (("runtime", RuntimeError, f"{{op}}: bad \u00e9 news"), ("bad_alloc", MemoryError, None),
                 ("int", RuntimeError, UNKNOWN))
        for op, (args, _) in DEVICE_CALLS.items():
            for kind, error, message in cases:
                with self.subTest(op=op, kind=kind):
                    device = self.device(op, kind, text="bad \u00e9 news")
                    with self.assertRaises(error) as caught:
                        getattr(device, op)(*args)
                    if message:
                        self.assertEqual(str(caught.exception), message.format(op=op))
                    self.assert_usable(device, op)

    def test_out_of_range_results(self):
        for op in STATUS_CALLS:
            with self.subTest(op=op):
                device = self.device(op, "range")
                code = getattr(device, op)(*DEVICE_CALLS[op][0])
                self.assertIsInstance(code, tavo.ReturnCode)
                self.assertEqual((code.value, code.name), (7, "???"))
                self.assertNotEqual(code, tavo.ReturnCode.Success)
                self.assert_usable(device, op)
        for op in ("get_register", "get_register_sync"):
            with self.subTest(op=op):
                device = self.device(op, "range")
                self.assertEqual(getattr(device, op)(1), 0xFFFFFFFF)
                self.assert_usable(device, op)
        for op in ("write", "read"):
            with self.subTest(op=op):
                device = self.device(op, "range")
                self.assertEqual(getattr(device, op)(*DEVICE_CALLS[op][0]), 2**64 - 1)
                self.assert_usable(device, op)
        for op in TEXT_CALLS:
            with self.subTest(op=op):
                device = self.device(op, "range")
                with self.assertRaises(UnicodeDecodeError):
                    getattr(device, op)()
                self.assert_usable(device, op)

    def test_rearmed_faults_fire_again(self):
        device = self.device("read_registers", "bad_alloc")
        for _ in range(3):
            with self.assertRaises(MemoryError):
                device.read_registers()
            self.assert_usable(device, "read_registers")
            device.trigger(0xFA17, 0)


class ManagerFaultTest(unittest.TestCase):
    def test_manager_operations(self):
        manager = faults_manager()
        cases = (("runtime", RuntimeError), ("bad_alloc", MemoryError), ("int", RuntimeError),
                 ("range", UnicodeDecodeError))
        for op, good in MANAGER_CALLS.items():
            for kind, error in cases:
                with self.subTest(op=op, kind=kind):
                    self.assertIsNone(manager.create_device(f"arm:{op}={kind}"))
                    with self.assertRaises(error):
                        getattr(manager, op)()
                    self.assertEqual(getattr(manager, op)(), good)
        for kind, error in cases[:3]:
            with self.subTest(op="location", kind=kind):
                manager.create_device(f"arm:location={kind}")
                with self.assertRaises(error):
                    manager.location()
                self.assertEqual(str(manager.location()), "/tmp/tp_faults")
        # A path is bytes to the system: undecodable ones arrive escaped.
        manager.create_device("arm:location=range")
        self.assertEqual(os.fsencode(manager.location()), b"bad \xff\xfe text")

    def test_create_device(self):
        manager = faults_manager()
        for kind, error, text in (("runtime", RuntimeError, "create_device: injected failure"),
                                  ("bad_alloc", MemoryError, None), ("int", RuntimeError, UNKNOWN)):
            with self.subTest(kind=kind):
                with self.assertRaises(error) as caught:
                    manager.create_device(f"fail:{kind}")
                if text:
                    self.assertEqual(str(caught.exception), text)
                self.assertEqual(manager.create_device("faults").get_info(), "tp_faults device")
        self.assertIsNone(manager.create_device("fail:range"))
        with self.assertRaisesRegex(RuntimeError, "unknown device"):
            manager.create_device("nothing")


class StreamFaultTest(unittest.TestCase):
    def setUp(self):
        self.manager = faults_manager()

    def start(self, device, aligned):
        callback = Callback()
        if aligned:
            # 5 does not divide the 16-byte chunks: the empty chunk arrives
            # while bytes are carried.
            stream = device.start_aligned_read_stream(0, 5, callback)
        else:
            stream = device.start_read_stream(0, callback)
        return stream, callback

    def test_start_failing_before_and_after_taking_the_sink(self):
        for kind, error in (("runtime", RuntimeError), ("bad_alloc", MemoryError), ("int", RuntimeError),
                            ("taken", RuntimeError)):
            for aligned in (False, True):
                with self.subTest(kind=kind, aligned=aligned):
                    device = self.manager.create_device(f"faults:start_read_stream={kind}")
                    callback = Callback()
                    ref = weakref.ref(callback)
                    with self.assertRaises(error):
                        if aligned:
                            device.start_aligned_read_stream(0, 8, callback)
                        else:
                            device.start_read_stream(0, callback)
                    del callback
                    # The sink holds the callback: it is let go of once the
                    # sink is gone (at once, or on the plugin's own thread).
                    self.assertTrue(released(ref), "the failed start kept the callback")
                    stream, again = self.start(device, aligned)
                    stream.stop()
                    self.assertTrue(again.ended.wait(5))
                    self.assertEqual(b"".join(again.chunks), bytes(range(64)))
                    if aligned:
                        sizes = [len(c) for c in again.chunks]
                        self.assertTrue(all(n % 5 == 0 for n in sizes[:-1]) and sizes[-1] == 4, sizes)

    def test_stop_failing(self):
        for kind, error, text in (("runtime", RuntimeError, "stop: injected failure"),
                                  ("bad_alloc", MemoryError, None), ("int", RuntimeError, UNKNOWN)):
            for aligned in (False, True):
                with self.subTest(kind=kind, aligned=aligned):
                    device = self.manager.create_device(f"faults:stop={kind}")
                    stream, callback = self.start(device, aligned)
                    ref = weakref.ref(callback)
                    with self.assertRaises(error) as caught:
                        stream.stop()
                    if text:
                        self.assertEqual(str(caught.exception), text)
                    # The fault fired once: stopping again ends the stream.
                    stream.stop()
                    self.assertTrue(callback.ended.wait(5))
                    del stream, callback
                    self.assertTrue(released(ref))

    def test_stop_failing_in_a_with_block_and_released_unstopped(self):
        device = self.manager.create_device("faults:stop=runtime")
        with self.assertRaisesRegex(RuntimeError, "stop: injected failure"):
            with self.start(device, False)[0]:
                pass
        # Never stopped successfully: releasing the handle still frees all.
        device.trigger(0xFA17, 0)
        stream, callback = self.start(device, False)
        ref = weakref.ref(callback)
        with self.assertRaises(RuntimeError):
            stream.stop()
        del stream, callback
        self.assertTrue(released(ref))


if __name__ == "__main__":
    unittest.main()
