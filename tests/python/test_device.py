"""The Device binding on a plugin device: operand widths and refusals,
results, representation and status texts."""

import re
import unittest

import pytavo_device as tavo
import support

RC = tavo.ReturnCode
U32_MAX = 4294967295


class OperandTest(unittest.TestCase):
    def setUp(self):
        self.device = support.probe_device()

    def last_call(self):
        return support.probe_info(self.device)["last_call"]

    def test_values_reach_the_device_unchanged(self):
        self.device.set_register(U32_MAX, 0, U32_MAX)
        self.assertEqual(self.last_call(), f"set_register {U32_MAX} 0 {U32_MAX}")
        self.device.trigger(7, -2147483648)
        self.assertEqual(self.last_call(), "trigger 7 -2147483648")
        self.device.trigger(0, -1)
        self.assertEqual(self.last_call(), "trigger 0 -1")

        class Index:
            def __index__(self):
                return 12

        self.device.get_register(Index())
        self.assertEqual(self.last_call(), "get_register 12")

    def test_refused_operands_never_reach_the_device(self):
        d = self.device
        d.send_registers()
        refused = [
            (d.set_register, (U32_MAX + 1, 0, 0)), (d.set_register, (0, U32_MAX + 1, 0)),
            (d.set_register, (0, 0, U32_MAX + 1)), (d.set_register_sync, (-1, 0, 0)),
            (d.set_register, (1.0, 0, 0)), (d.set_register, (0, 0)), (d.get_register, (-1,)),
            (d.get_register, (2**32,)), (d.get_register, (1.5,)), (d.get_register, ("1",)),
            (d.get_register_sync, (None,)), (d.trigger, (0, 2147483648)), (d.trigger, (0, -2147483649)),
            (d.trigger, (-1, 0)), (d.trigger, (0, 0.0)), (d.send_registers, (1,)), (d.read_registers, (None,)),
        ]
        for method, args in refused:
            with self.subTest(method=method.__name__, args=args), self.assertRaises(TypeError):
                method(*args)
        with self.assertRaises(TypeError):
            d.get_register(arg0=1)
        with self.assertRaises(TypeError):
            d.trigger(0, value=1)
        self.assertEqual(self.last_call(), "send_registers")


class ResultTest(unittest.TestCase):
    def test_statuses_are_fresh_return_codes(self):
        d = support.probe_device("status=1")
        for result in (d.set_register(1, 2, 3), d.send_registers(), d.read_registers(), d.trigger(0, 0),
                       d.set_register_sync(1, 2, 3)):
            self.assertEqual(result, RC.Failure)
            self.assertIsNot(result, RC.Failure)
            self.assertNotEqual(result, 1)
        odd = support.probe_device("status=7").send_registers()
        self.assertEqual((odd.value, odd.name), (7, "???"))
        self.assertNotEqual(odd, RC.Failure)

    def test_register_values(self):
        self.assertEqual(support.probe_device(f"reg={U32_MAX}").get_register(3), U32_MAX)
        self.assertEqual(support.probe_device("reg=0").get_register_sync(3), 0)
        self.assertIsNone(support.probe_device("status=1,reg=5").get_register_sync(3))
        failing = support.probe_device("status=1")
        failing.get_register_sync(3)
        self.assertEqual(support.probe_info(failing)["last_call"], "read_registers")  # get_register not called

    def test_texts(self):
        self.assertEqual(support.probe_device("status_text=ready").get_status(), "ready")
        self.assertIsNone(support.probe_device("status_text=none").get_status())
        with self.assertRaises(UnicodeDecodeError):
            support.probe_device("bad_utf8=1").get_status()

    def test_repr_shows_the_native_address(self):
        a, b = support.probe_device(), support.probe_device()
        pattern = r"<pytavo_device\.Device at 0x[0-9a-f]+>"
        self.assertRegex(repr(a), "^" + pattern + "$")
        self.assertNotRegex(repr(a), r"0x0")
        self.assertNotEqual(repr(a), repr(b))
        self.assertEqual(repr(a), repr(a))

        class Sub(tavo.Device):
            pass

        self.assertRegex(repr(Sub()), "^" + pattern + "$")

    def test_exceptions_leave_the_device_usable(self):
        class Failing(tavo.Device):
            def send_registers(self):
                raise KeyError("x")

        f = Failing()
        for _ in range(2):
            with self.assertRaises(KeyError):
                tavo.Device.send_registers(f)


if __name__ == "__main__":
    unittest.main()
