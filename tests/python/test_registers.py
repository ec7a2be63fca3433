"""Registers by name: register maps refused for each kind of mistake with
the file and key that carry it; `tavo.Registers` reading fields and writing
them with the fewest device calls, never reading back where that would do
harm; and the simulator's own map held against its documentation and the
device itself."""

import os
import pathlib
import re
import shutil
import tempfile
import textwrap
import unittest

import pytavo_device
import tavo

import support

RC = pytavo_device.ReturnCode
SOURCE = pathlib.Path(__file__).resolve().parents[2]

# A map with one of everything: width 16, an array, enum, signed, w1c, wo.
MAP = textwrap.dedent("""\
    description = "test device"
    width = 16
    address_unit = 2
    [registers.CTRL]
    address = 0x0
    reset = 0x0100
    fields.ENABLE = { bits = 0 }
    fields.MODE = { bits = "3:2", enum = { IDLE = 0, RUN = 1, TEST = 3 } }
    fields.LEVEL = { bits = "15:8", signed = true, reset = 1 }
    [registers.IRQ]
    address = 0x1
    fields.DONE = { bits = 0, access = "w1c" }
    fields.ERR = { bits = 1, access = "w1c" }
    [registers.MIXED]
    address = 0x2
    fields.GO = { bits = 0 }
    fields.SEEN = { bits = 1, access = "w1c" }
    fields.KEY = { bits = "7:4", access = "wo", reset = 5 }
    [registers.CMD]
    address = 0x3
    access = "wo"
    reset = 0x00F0
    fields.OP = { bits = "3:0" }
    [registers.EVENTS]
    address = 0x4
    side_effects = ["read-clears"]
    fields.A = { bits = 0 }
    fields.B = { bits = 1 }
    [registers.CH]
    address = 0x10
    count = 4
    stride = 2
    fields.GAIN = { bits = "7:0" }
    """)


def load(text, name="test.regmap.toml"):
    return tavo.RegisterMap.loads(text, name)


class Recorder(pytavo_device.Device):
    """A device made in Python that keeps its registers in a dict and logs
    every register call; `masked` devices merge (old & ~mask) | value."""

    def __init__(self, values=None, refuse=()):
        super().__init__()
        self.values, self.refuse, self.calls = dict(values or {}), set(refuse), []

    def get_register_sync(self, addr):
        self.calls.append(("get", addr))
        return None if addr in self.refuse else self.values.get(addr, 0)

    def set_register_sync(self, addr, value, mask):
        self.calls.append(("set", addr, value, mask))
        if addr in self.refuse:
            return RC.Failure
        self.values[addr] = (self.values.get(addr, 0) & ~mask) | (value & mask)
        return RC.Success


class RegisterMapTest(unittest.TestCase):
    def test_schema(self):
        regmap = load(MAP)
        self.assertEqual((regmap.width, regmap.address_unit, regmap.masked_writes), (16, 2, False))
        self.assertEqual(regmap.resolve("CH[3].GAIN")[:2], ("CH[3]", 0x16))
        self.assertEqual([name for name, _, _ in regmap.elements()][-2:], ["CH[2]", "CH[3]"])
        level = regmap["CTRL"].fields["LEVEL"]
        self.assertEqual((level.bits, level.mask, level.decode(0xFF00), level.encode(-2)), ("15:8", 0xFF00, -1, 0xFE00))
        self.assertEqual(regmap["CTRL"].fields["MODE"].decode(0b1100), "TEST")
        self.assertEqual(regmap.at(0x3)[0], "CMD")
        for path, error in (("CH[4]", IndexError), ("CTRL[0]", LookupError), ("CH", LookupError),
                            ("CTRL.NOPE", KeyError), ("NOPE", KeyError), ("CTRL.", KeyError),
                            # longer than int() takes from text: refused as any index past the end
                            ("CH[" + "9" * 5000 + "]", IndexError), ("CTRL[" + "9" * 5000 + "]", LookupError)):
            with self.subTest(path=path), self.assertRaises(error):
                regmap.resolve(path)

    def test_each_mistake_is_refused_with_its_key(self):
        base = '[registers.A]\naddress = 0\n'
        cases = [
            ('widht = 32\n' + base, "widht", "unknown key"),
            (base + 'acess = "rw"\n', "registers.A.acess", "unknown key"),
            (base + 'fields.F = { bits = 0, enmu = {} }\n', "registers.A.fields.F.enmu", "unknown key"),
            ('width = 24\n' + base, "width", "not one of"),
            (base + '[registers.B]\naddress = 2\n', "registers.B.address", "overlaps A"),
            (base + 'count = 2\nstride = 8\n[registers.B]\naddress = 10\n', "registers.B.address", "overlaps A[1]"),
            (base + 'count = 2\nstride = 2\n', "registers.A.stride", "less than"),
            (base + 'fields.F = { bits = "7:4" }\nfields.G = { bits = 4 }\n', "registers.A.fields.G.bits", "overlap field F"),
            (base + 'fields.F = { bits = "32:31" }\n', "registers.A.fields.F.bits", "past the register width"),
            (base + 'fields.F = { bits = "3:4" }\n', "registers.A.fields.F.bits", "high bit comes first"),
            (base + 'reset = 0x100000000\n', "registers.A.reset", "does not fit"),
            (base + 'fields.F = { bits = "1:0", reset = 4 }\n', "registers.A.fields.F.reset", "does not fit"),
            (base + 'fields.F = { bits = "1:0", signed = true, enum = { X = 2 } }\n', "registers.A.fields.F.enum.X", "does not fit"),
            (base + 'fields.F = { bits = "1:0", enum = { X = 1, Y = 1 } }\n', "registers.A.fields.F.enum.Y", "already the value of X"),
            (base + 'reset = 1\nfields.F = { bits = 0, reset = 0 }\n', "registers.A.fields.F.reset", "differs"),
            (base + 'access = "ro"\nfields.F = { bits = 0, access = "w1c" }\n', "registers.A.fields.F.access", "read-only register"),
            (base + 'access = "rx"\n', "registers.A.access", "not one of"),
            (base + 'address = 1\n', "", "not valid TOML"),  # a duplicate key: TOML refuses it
            (base + '[registers.A]\naddress = 4\n', "", "not valid TOML"),  # a duplicate register name
            (base + 'fields.F = { bits = 0 }\nfields.F = { bits = 1 }\n', "", "(at line 4, column 24): fields.F = { bits = 1 }"),
            (base + 'fields.real = { bits = 0 }\n', "registers.A.fields.real", "attribute of int"),
            (base + 'side_effects = ["read-clear"]\n', "registers.A.side_effects", "not one of"),
            (base + 'count = true\n', "registers.A.count", "must be an integer"),
            ('[registers."A B"]\naddress = 0\n', 'registers.A B', "is not a name"),
            ('[registers.A]\naddress = 0xFFFFFFFE\n', "registers.A.address", "outside the 32-bit"),
        ]
        for text, key, problem in cases:
            with self.subTest(key=key, problem=problem):
                with self.assertRaises(tavo.RegisterMapError) as caught:
                    load(text, "bad.regmap.toml")
                self.assertTrue(str(caught.exception).startswith(f"bad.regmap.toml: {key}" if key else "bad.regmap.toml: "),
                                str(caught.exception))
                self.assertIn(problem, caught.exception.problem)
                self.assertEqual(caught.exception.key, key)

    def test_for_plugin(self):
        regmap = tavo.RegisterMap.for_plugin("sim")
        self.assertEqual(pathlib.Path(regmap.source).resolve(), support.SIM.with_name("libtavo_sim.regmap.toml").resolve())
        with tempfile.TemporaryDirectory() as tmp:
            lone = pathlib.Path(tmp) / "libtavo_lone.so"
            shutil.copy(support.test_plugin("tp_probe"), lone)
            with self.assertRaisesRegex(FileNotFoundError, re.escape(str(lone.with_name("libtavo_lone.regmap.toml")))):
                tavo.RegisterMap.for_plugin(lone)
            broken = lone.with_name("libtavo_lone.regmap.toml")
            broken.write_bytes(b"width = 32\n\xff")
            with self.assertRaisesRegex(tavo.RegisterMapError, "^" + re.escape(str(broken)) + ": not UTF-8"):
                tavo.RegisterMap.for_plugin(lone)


class RegistersTest(unittest.TestCase):
    def regs(self, values=None, masked=False, refuse=()):
        self.device = Recorder(values, refuse)
        return tavo.Registers(self.device, load(("masked_writes = true\n" if masked else "") + MAP))

    def test_values_decode_fields(self):
        regs = self.regs({0x0: 0xFE0D, 0x2: 0xF3})
        value = regs.CTRL.read()
        self.assertEqual((value, value.ENABLE, value.MODE, value.LEVEL, value["MODE"]), (0xFE0D, 1, "TEST", -2, "TEST"))
        self.assertEqual((str(value), f"{value:#x}", repr(value)), ("65037", "0xfe0d", "<CTRL 0xFE0D ENABLE=1 MODE=TEST LEVEL=-2>"))
        self.assertEqual(value._asdict(), {"ENABLE": 1, "MODE": "TEST", "LEVEL": -2})
        with self.assertRaisesRegex(AttributeError, "CTRL has no field 'NOPE'"):
            value.NOPE
        self.assertEqual(regs["CH[2]"].read(), 0)
        self.assertEqual(self.device.calls, [("get", 0x0), ("get", 0x14)])
        # The bits of a write-only field, as read, are not its value: none is given.
        mixed = regs.MIXED.read()
        self.assertEqual((repr(mixed), mixed._asdict()), ("<MIXED 0x00F3 GO=1 SEEN=1>", {"GO": 1, "SEEN": 1}))
        with self.assertRaisesRegex(AttributeError, "MIXED.KEY is write-only"):
            mixed.KEY

    def test_field_writes(self):
        # A whole-register device: one read, one write of everything, the rest kept.
        regs = self.regs({0x0: 0xAB01})
        regs.CTRL.write(MODE="RUN", ENABLE=0)
        self.assertEqual(self.device.calls, [("get", 0x0), ("set", 0x0, 0xAB04, 0xFFFF)])
        self.device.calls.clear()
        regs.CH[1].write(GAIN=7)  # bits 15:8 are reserved: read, and kept
        self.assertEqual(self.device.calls, [("get", 0x12), ("set", 0x12, 0x7, 0xFFFF)])
        self.device.calls.clear()
        regs.CTRL.write(0, LEVEL=-1)  # fields over a whole value: nothing to read
        self.assertEqual(self.device.calls, [("set", 0x0, 0xFF00, 0xFFFF)])
        # A device that merges masked writes: never a read.
        regs = self.regs({0x0: 0xAB01}, masked=True)
        regs.CTRL.write(MODE="RUN")
        self.assertEqual(self.device.calls, [("set", 0x0, 0x0004, 0x000C)])
        self.assertEqual(self.device.values[0x0], 0xAB05)

    def test_no_read_back_where_it_would_harm(self):
        regs = self.regs({0x1: 0x3, 0x2: 0xF3, 0x3: 0xFF, 0x4: 0x3})
        regs.IRQ.write(DONE=1)  # all write-1-to-clear: a read back would clear ERR too
        regs.CMD.write(OP=2)  # write-only: unnamed bits from its reset value
        self.assertEqual(self.device.calls, [("set", 0x1, 0x1, 0xFFFF), ("set", 0x3, 0xF2, 0xFFFF)])
        self.device.calls.clear()
        regs.MIXED.write(GO=1)  # read, but SEEN written 0 and KEY (write-only) its reset
        self.assertEqual(self.device.calls, [("get", 0x2), ("set", 0x2, 0x51, 0xFFFF)])
        self.device.calls.clear()
        with self.assertRaisesRegex(ValueError, "EVENTS clears when read.*missing: B"):
            regs.EVENTS.write(A=1)
        self.assertEqual(self.device.calls, [])
        self.assertNotIn("EVENTS", regs.dump())  # dump never reads it...
        self.assertNotIn(("get", 0x4), self.device.calls)
        self.assertIn("CMD", regs.regmap)
        self.assertNotIn("CMD", regs.dump())  # ...nor a write-only register
        self.assertEqual(regs.EVENTS.read(), 3)  # asked by name: read
        with self.assertRaisesRegex(ValueError, "CMD is write-only"):
            regs.CMD.read()

    def test_refusals_name_the_register(self):
        regs = self.regs(refuse={0x0, 0x12})
        with self.assertRaisesRegex(tavo.DeviceError, r"^write CH\[1\] \(0x0012\) failed: Failure"):
            regs.CH[1].write(0x1)
        with self.assertRaisesRegex(tavo.DeviceError, r"^read CTRL \(0x0000\) failed"):
            regs.CTRL.read()
        calls = len(self.device.calls)
        for call, message in ((lambda: regs.CTRL.write(MODE="RUNN"), "no value 'RUNN'; names: IDLE, RUN, TEST"),
                              (lambda: regs.CTRL.write(LEVEL=128), r"128 does not fit field LEVEL \(bits 15:8: -128..127\)"),
                              (lambda: regs.CTRL.write(SPEED=1), "CTRL has no field SPEED"),
                              (lambda: regs.CTRL.write(0x10000), "does not fit CTRL"),
                              (lambda: regs.CH[4], r"CH\[4\]: the array has 4")):
            with self.subTest(message=message), self.assertRaisesRegex((ValueError, IndexError), message):
                call()
        self.assertEqual(len(self.device.calls), calls)  # refused before the device was called
        with self.assertRaisesRegex(AttributeError, "no register NOPE"):
            regs.NOPE


class SimulatorMapTest(unittest.TestCase):
    """The simulator's map against docs/simulator.md and the device."""

    def test_map_is_built_beside_the_plugin(self):
        built = support.SIM.with_name("libtavo_sim.regmap.toml")
        self.assertEqual(built.read_bytes(), (SOURCE / "plugins/sim/sim.regmap.toml").read_bytes())

    def test_documented_table(self):
        documented = {}
        text = (SOURCE / "docs/simulator.md").read_text()
        table = text[text.index("## Registers"):text.index("### Semantics")]
        for start, end, first, last, access in re.findall(
                r"^\| (0x[0-9A-F]{4})(?: \.\. (0x[0-9A-F]{4}))? \| (\w+)(?: \.\. (\w+))? \| ([a-z/-]+) \|", table, re.M):
            addresses = range(int(start, 16), int(end or start, 16) + 1, 4)
            names = [first] if not last else [f"{first[:-1]}{i}" for i in range(len(addresses))]
            self.assertEqual(names[-1], last or first)
            for name, address in zip(names, addresses):
                documented[name] = (address, {"read-only": "ro", "read/write": "rw"}[access])
        regmap = tavo.RegisterMap.for_plugin("sim")
        self.assertEqual({name: (address, register.access) for name, address, register in regmap.elements()},
                         documented)
        self.assertEqual(len(documented), 16)

    def test_every_register_by_name_on_the_device(self):
        device = tavo.open_device("sim", "sim2:memory=4096")
        regs = tavo.Registers(device, tavo.RegisterMap.for_plugin(support.SIM))
        values = regs.dump()
        for name, value in values.items():
            reset = regs.regmap[name].reset
            if name != "MEMORY_SIZE" and reset is not None:
                self.assertEqual(value, reset, name)
        self.assertEqual((values["MEMORY_SIZE"], values["DEVICE_INDEX"], values["VERSION"].MAJOR), (4096, 2, 1))
        for name, _, register in regs.regmap.elements():
            with self.subTest(name=name):
                if register.writable:
                    regs[name].write(0x12345678)
                    self.assertEqual(regs[name].read(), 0x12345678)
                else:  # the device itself refuses what the map calls read-only
                    self.assertEqual(device.set_register_sync(register.address, 1, 1), RC.Failure)
        regs.CONTROL.write(0)
        regs.CONTROL.write(DATA_VIEW=1)
        self.assertEqual(regs.CONTROL.read()._asdict(), {"INJECT_ERRORS": 0, "DATA_VIEW": 1})
        tavo.check(device.trigger(0, -2))
        self.assertEqual((regs.LAST_TRIGGER.read().VALUE, regs.TRIGGER_COUNT.read()), (-2, 1))


if __name__ == "__main__":
    unittest.main()
