"""Devices implemented in Python: forwarding from native callers, default
bodies, pure-operation errors, override lookup rules and result checks."""

import threading
import unittest

import pytavo_device as tavo
import pytavo_testing

RC = tavo.ReturnCode


def pure(name):
    return f'Tried to call pure virtual function "Device::{name}"'


class PlainDeviceTest(unittest.TestCase):
    def test_pure_operations_fail_with_their_name(self):
        d = tavo.Device()
        calls = [("set_register", (1, 2, 3)), ("send_registers", ()), ("read_registers", ()),
                 ("get_register", (1,)), ("trigger", (1, -1))]
        for name, args in calls:
            with self.subTest(name), self.assertRaises(RuntimeError) as caught:
                getattr(d, name)(*args)
            self.assertEqual(str(caught.exception), pure(name))
        with self.assertRaisesRegex(RuntimeError, "^" + pure("set_register") + "$"):
            d.set_register_sync(1, 2, 3)
        with self.assertRaisesRegex(RuntimeError, "^" + pure("read_registers") + "$"):
            d.get_register_sync(1)
        with self.assertRaisesRegex(RuntimeError, "^" + pure("write") + "$"):
            d.write(0, b"ab")
        with self.assertRaisesRegex(RuntimeError, "^" + pure("read") + "$"):
            d.read(0, bytearray(2))
        self.assertIsNone(d.get_status())
        self.assertIsNone(d.get_info())
        self.assertIsNone(d.start_read_stream(0, lambda b, t: None))
        self.assertIsNone(d.start_aligned_read_stream(0, 4, lambda b, t: None))


class Recorder(tavo.Device):
    """Defines the pure register operations and records the calls."""

    def __init__(self, set_result=RC.Success, send_result=RC.Success, read_result=RC.Success, value=7):
        super().__init__()
        self.calls = []
        self.set_result, self.send_result, self.read_result, self.value = set_result, send_result, read_result, value

    def set_register(self, addr, value, mask):
        self.calls.append(("set_register", addr, value, mask))
        return self.set_result

    def send_registers(self):
        self.calls.append(("send_registers",))
        return self.send_result

    def read_registers(self):
        self.calls.append(("read_registers",))
        return self.read_result

    def get_register(self, addr):
        self.calls.append(("get_register", addr))
        return self.value


class DefaultBodiesTest(unittest.TestCase):
    def test_set_register_sync_is_set_then_send(self):
        d = Recorder(set_result=RC.Failure)
        result = tavo.Device.set_register_sync(d, 1, 2, 3)
        self.assertEqual(result, RC.Success)
        self.assertEqual(d.calls, [("set_register", 1, 2, 3), ("send_registers",)])
        d = Recorder(send_result=RC.Failure)
        self.assertEqual(d.set_register_sync(4294967295, 0, 4294967295), RC.Failure)
        self.assertEqual(d.calls[0], ("set_register", 4294967295, 0, 4294967295))

    def test_get_register_sync_stops_after_failed_read(self):
        d = Recorder(read_result=RC.Failure)
        self.assertIsNone(d.get_register_sync(5))
        self.assertEqual(d.calls, [("read_registers",)])
        d = Recorder(value=0)
        self.assertEqual(d.get_register_sync(5), 0)
        self.assertEqual(d.calls, [("read_registers",), ("get_register", 5)])
        d = Recorder(value=4294967295)
        self.assertEqual(d.get_register_sync(5), 4294967295)

    def test_status_results_are_fresh_objects(self):
        d = Recorder()
        result = tavo.Device.send_registers(d)
        self.assertEqual(result, RC.Success)
        self.assertIsNot(result, RC.Success)

    def test_signed_trigger_operand(self):
        seen = []

        class Trig(tavo.Device):
            def trigger(self, addr, value):
                seen.append((addr, value))
                return RC.Success

        tavo.Device.trigger(Trig(), 4294967295, -2147483648)
        self.assertEqual(seen, [(4294967295, -2147483648)])


class OverrideRulesTest(unittest.TestCase):
    def test_exceptions_and_wrong_results(self):
        class Raising(Recorder):
            def set_register(self, addr, value, mask):
                raise ValueError("bad register")

        with self.assertRaisesRegex(ValueError, "bad register"):
            Raising().set_register_sync(1, 2, 3)

        class IntStatus(Recorder):
            def send_registers(self):
                return 0

        with self.assertRaises(RuntimeError):
            IntStatus().set_register_sync(1, 2, 3)

        class NoneStatus(Recorder):
            def send_registers(self):
                return None

        with self.assertRaises(RuntimeError) as caught:
            NoneStatus().set_register_sync(1, 2, 3)
        self.assertEqual(str(caught.exception), "")

        class Negative(Recorder):
            def get_register(self, addr):
                return -1

        with self.assertRaises(RuntimeError):
            Negative().get_register_sync(1)

        class FloatValue(Recorder):
            def get_register(self, addr):
                return 1.0

        with self.assertRaises(RuntimeError):
            FloatValue().get_register_sync(1)

        class BadText(tavo.Device):
            def get_status(self):
                return 5

        with self.assertRaises(RuntimeError):
            tavo.Device.get_status(BadText())

        class BytesText(tavo.Device):
            def get_info(self):
                return b"bytes info"

        self.assertEqual(tavo.Device.get_info(BytesText()), "bytes info")

    def test_super_does_not_recurse(self):
        class Super(tavo.Device):
            def set_register(self, addr, value, mask):
                return RC.Success

            def send_registers(self):
                return super().send_registers()

            def get_status(self):
                return super().get_status()

        d = Super()
        with self.assertRaisesRegex(RuntimeError, "^" + pure("send_registers") + "$"):
            d.set_register_sync(1, 2, 3)
        self.assertIsNone(d.get_status())

    def test_not_callable_attribute(self):
        class NotCallable(tavo.Device):
            def set_register(self, addr, value, mask):
                return RC.Success

            send_registers = 5

        with self.assertRaises(TypeError) as caught:
            NotCallable().set_register_sync(1, 2, 3)
        self.assertEqual(str(caught.exception), "Object of type 'int' is not an instance of 'function'")

    def test_methods_added_later(self):
        class Late(tavo.Device):
            def set_register(self, addr, value, mask):
                return RC.Success

            def send_registers(self):
                return RC.Failure

        d = Late()
        self.assertEqual(d.set_register_sync(1, 2, 3), RC.Failure)
        Late.send_registers = lambda self: RC.Success  # replaced after first use: seen
        self.assertEqual(d.set_register_sync(1, 2, 3), RC.Success)

        class NeverDefined(tavo.Device):
            pass

        n = NeverDefined()
        self.assertIsNone(tavo.Device.get_info(n))  # absent: cached for this type
        NeverDefined.get_info = lambda self: "late"
        self.assertIsNone(tavo.Device.get_info(n))
        self.assertEqual(n.get_info(), "late")  # a Python call finds it directly

    def test_init_must_call_base(self):
        class NoBase(tavo.Device):
            def __init__(self):
                pass

        # The binding library names the registered base class in this text.
        with self.assertRaisesRegex(TypeError, r"^pytavo_device.Device.__init__\(\) must be called when "
                                               r"overriding __init__$"):
            NoBase()


class BulkForwardingTest(unittest.TestCase):
    def test_write_gets_read_only_view_released_after(self):
        kept = []

        class Writer(tavo.Device):
            def write(self, addr, length, data):
                kept.append((addr, length, bytes(data), data.readonly, data))
                return 99

        self.assertEqual(tavo.Device.write(Writer(), 3, bytearray(b"hello")), 99)
        addr, length, content, readonly, view = kept[0]
        self.assertEqual((addr, length, content, readonly), (3, 5, b"hello", True))
        with self.assertRaises(ValueError):
            bytes(view)

    def test_read_fills_callers_memory(self):
        class Reader(tavo.Device):
            def read(self, addr, length, data):
                data[:] = bytes(range(length))
                return length

        target = bytearray(6)
        self.assertEqual(tavo.Device.read(Reader(), 0, target), 6)
        self.assertEqual(target, bytes(range(6)))

    def test_kept_views_never_reach_the_callers_memory(self):
        class Keeper(tavo.Device):
            def read(self, addr, length, data):
                data[:2] = b"ok"
                self.kept = data[:]  # views derived from the one the call hands over
                if addr:
                    raise ValueError("busy")
                return 2

            def write(self, addr, length, data):
                self.kept = memoryview(data)
                raise ValueError("busy")

        for addr in (0, 1):
            with self.subTest(returns=not addr):
                k, target = Keeper(), bytearray(4)
                if addr:
                    with self.assertRaises(ValueError):
                        tavo.Device.read(k, addr, target)
                else:
                    self.assertEqual(tavo.Device.read(k, addr, target), 2)
                self.assertEqual(target, b"ok\0\0")  # written as if in place
                k.kept[:] = b"\xCC" * 4
                self.assertEqual(target, b"ok\0\0")
        k, source = Keeper(), bytearray(b"abcd")
        with self.assertRaises(ValueError):
            tavo.Device.write(k, 0, source)
        source[:] = b"wxyz"
        self.assertEqual(bytes(k.kept), b"abcd")

    def test_negative_count_refused(self):
        class Negative(tavo.Device):
            def write(self, addr, length, data):
                return -1

        with self.assertRaises(RuntimeError):
            tavo.Device.write(Negative(), 0, b"x")


class NativeThreadTest(unittest.TestCase):
    def test_forwarding_from_threads_without_the_lock(self):
        d = Recorder(value=4294967295)
        self.assertEqual(pytavo_testing.set_register_sync_on_thread(d, 1, 2, 3), 0)
        self.assertEqual(pytavo_testing.get_register_sync_on_thread(d, 9), 4294967295)
        with self.assertRaisesRegex(RuntimeError, pure("write")):
            pytavo_testing.write_on_thread(d, 0, b"abc")

        class Mem(tavo.Device):
            def read(self, addr, length, data):
                data[:] = b"z" * length
                return length

        self.assertEqual(pytavo_testing.read_on_thread(Mem(), 0, 3), (3, b"zzz"))

    def test_many_threads_at_once(self):
        d = Recorder()
        errors = []

        def hammer():
            try:
                for _ in range(200):
                    pytavo_testing.set_register_sync_on_thread(d, 1, 2, 3)
            except Exception as e:  # pragma: no cover - reported below
                errors.append(e)

        threads = [threading.Thread(target=hammer) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors, [])
        self.assertEqual(len(d.calls), 4 * 200 * 2)


if __name__ == "__main__":
    unittest.main()
