"""The module's surface: namespace, ReturnCode, constructors, signatures and
the interpreter-version check."""

import glob
import os
import pickle
import shutil
import subprocess
import unittest

import pytavo_device as tavo
import support


class NamespaceTest(unittest.TestCase):
    def test_docstring_and_names(self):
        self.assertEqual(tavo.__doc__, "Python binding for TAVO Device")
        public = {name for name in vars(tavo) if not name.startswith("__")}
        self.assertEqual(public, {"ReturnCode", "DataStream", "ManagedBuffer", "DataView", "Device",
                                  "DeviceManager", "get_device_manager"})
        for cls in (tavo.ReturnCode, tavo.DataStream, tavo.ManagedBuffer, tavo.DataView, tavo.Device,
                    tavo.DeviceManager):
            self.assertEqual(cls.__module__, "pytavo_device")
        self.assertFalse(hasattr(tavo, "Success"))

    def test_classes_without_constructor(self):
        for cls in (tavo.DataStream, tavo.ManagedBuffer, tavo.DataView, tavo.DeviceManager):
            with self.assertRaises(TypeError) as caught:
                cls()
            self.assertTrue(str(caught.exception).endswith(": No constructor defined!"), caught.exception)
        self.assertIsInstance(tavo.Device(), tavo.Device)

    def test_no_dynamic_attributes(self):
        with self.assertRaises(AttributeError):
            tavo.Device().extra = 1

    def test_signatures(self):
        doc = tavo.Device.start_read_stream.__doc__
        self.assertIn("addr: int, callback: Callable[[Optional[pytavo_device.ManagedBuffer], Optional[str]], None], "
                      "chunk_size: int = 0, max_queue_elements: int = 4096) -> Optional[pytavo_device.DataStream]",
                      doc)
        self.assertIn("addr: int, alignment: int, callback: Callable[[Optional[pytavo_device.DataView], "
                      "Optional[str]], None], chunk_size: int = 0", tavo.Device.start_aligned_read_stream.__doc__)
        self.assertIn("(self: pytavo_device.Device, arg0: int, arg1: buffer) -> int", tavo.Device.write.__doc__)
        self.assertIn("(arg0: os.PathLike) -> pytavo_device.DeviceManager", tavo.get_device_manager.__doc__)
        self.assertIn("(self: pytavo_device.DeviceManager, arg0: str) -> pytavo_device.Device",
                      tavo.DeviceManager.create_device.__doc__)
        self.assertIn("(self: pytavo_device.Device, arg0: int) -> Optional[int]",
                      tavo.Device.get_register_sync.__doc__)

    def test_only_the_entry_point_is_exported(self):
        # Anything else in the dynamic table could be interposed by, or on, a
        # plugin in a process that loads the module globally.
        listing = subprocess.run(["nm", "-D", "--defined-only", tavo.__file__], capture_output=True, text=True,
                                 check=True).stdout
        self.assertEqual([line.split()[-1] for line in listing.splitlines() if line.strip()],
                         ["PyInit_pytavo_device"])

    def test_positional_only(self):
        with self.assertRaises(TypeError):
            tavo.Device().get_register(arg0=1)
        with self.assertRaises(TypeError):
            tavo.get_device_manager(arg0="x")


class ReturnCodeTest(unittest.TestCase):
    def test_members_and_values(self):
        rc = tavo.ReturnCode
        self.assertEqual(list(rc.__members__), ["Success", "Failure"])
        self.assertEqual(int(rc.Success), 0)
        self.assertEqual(rc.Failure.value, 1)
        self.assertEqual(rc(1), rc.Failure)
        self.assertEqual(hash(rc.Failure), 1)
        self.assertEqual(rc(7).name, "???")
        self.assertEqual(rc(-2147483648).value, -2147483648)
        with self.assertRaises(TypeError):
            rc(2147483648)

    def test_equality_only_with_own_type(self):
        rc = tavo.ReturnCode
        self.assertNotEqual(rc.Success, 0)
        self.assertTrue(rc.Success != 0)
        self.assertFalse(rc.Failure == 1)
        self.assertNotEqual(rc.Success, rc.Failure)

    def test_text_forms(self):
        rc = tavo.ReturnCode
        self.assertEqual(repr(rc.Success), "<ReturnCode.Success: 0>")
        self.assertEqual(str(rc.Failure), "ReturnCode.Failure")
        self.assertIn("Members:", rc.__doc__)

    def test_pickling_state(self):
        rc = tavo.ReturnCode
        self.assertEqual(rc.Failure.__getstate__(), 1)
        self.assertEqual(pickle.loads(pickle.dumps(rc.Failure)), rc.Failure)

    def test_pickling_under_every_protocol(self):
        # Protocols 0 and 1 aborted the process: run them in a child.
        result = support.run_python(
            "import pickle, pytavo_device as tavo, support\n"
            "rc = tavo.ReturnCode\n"
            "for protocol in range(pickle.HIGHEST_PROTOCOL + 1):\n"
            "    print([pickle.loads(pickle.dumps(c, protocol)) == c for c in (rc.Success, rc.Failure, rc(7))])\n"
            "    for obj in (tavo.Device(), support.probe_manager()):\n"
            "        try:\n"
            "            pickle.dumps(obj, protocol)\n"
            "        except TypeError as e:\n"
            "            print(e)\n")
        self.assertEqual(result.returncode, 0, result.stderr[-2000:])
        self.assertEqual(result.stdout.splitlines(), ["[True, True, True]", "cannot pickle 'pytavo_device.Device' object",
                                                      "cannot pickle 'pytavo_device.DeviceManager' object"] * 6)


UNCONSTRUCTED = r"""
import copy, pytavo_device as tavo

def bare(cls):
    return cls.__new__(cls)

class Early(tavo.Device):
    def __init__(self):
        self.status = self.get_status()
        super().__init__()

class Stateful(tavo.Device):
    def __getstate__(self):
        return {}
    def __setstate__(self, state):
        pass

class BadStatus(tavo.Device):
    def send_registers(self):
        return bare(tavo.ReturnCode)

d, s, m, r = bare(tavo.Device), bare(tavo.DataStream), bare(tavo.DeviceManager), bare(tavo.ReturnCode)
calls = [Early, lambda: copy.deepcopy(Stateful()).get_info(), lambda: tavo.Device.send_registers(BadStatus()),
         lambda: repr(d), lambda: d.set_register_sync(1, 2, 3), lambda: d.set_register(1, 2, 3), d.send_registers,
         lambda: d.get_register_sync(1), lambda: d.get_register(1), d.read_registers, lambda: d.trigger(1, 2),
         lambda: d.write(0, b"x"), lambda: d.read(0, bytearray(1)), lambda: d.start_read_stream(0, None),
         lambda: d.start_aligned_read_stream(0, 1, None), d.get_status, d.get_info,
         s.stop, s.__enter__, lambda: s.__exit__(None, None, None),
         m.info, m.location, m.list_devices, m.get_device_options, lambda: m.create_device("x"),
         lambda: r.value, lambda: r.name, lambda: int(r), lambda: hash(r), lambda: repr(r), lambda: str(r),
         lambda: r == tavo.ReturnCode.Success, r.__getstate__,
         lambda: tavo.Device.__mro__[1](), lambda: type("Bare", (tavo.Device.__mro__[1],), {})()]
for call in calls:
    try:
        call()
        print("called")
    except TypeError as e:
        print("refused" if any(text in str(e) for text in ("no native object", "cannot pickle", "no pybind11-registered base")) else e)
"""


class UnconstructedInstanceTest(unittest.TestCase):
    def test_every_method_refuses_an_instance_without_native_object(self):
        result = support.run_python(UNCONSTRUCTED)
        self.assertEqual(result.returncode, 0, result.stderr[-2000:])
        lines = result.stdout.splitlines()
        self.assertEqual(lines, ["refused"] * len(lines))
        self.assertEqual(len(lines), 35)


# Another module of the same binding library, imported alone, before this one
# and after it: its classes must behave the same in all three. Copies and
# the pure-Python unpickler call Pet.__new__, and Kitten.__new__ goes through
# super().__new__: each fails where the base type's __new__ is not theirs.
FOREIGN = r"""
import copy, pickle
{imports}

class Kitten(Pet):
    def __new__(cls, *args):
        return super().__new__(cls)

pet = Pet("rex")
checks = [lambda: copy.copy(pet).name, lambda: copy.deepcopy(pet).name, lambda: type(Pet.__new__(Pet)).__name__,
          lambda: Kitten("tom").name] + [lambda p=p: pickle._loads(pickle.dumps(pet, p)).name for p in range(2, 6)]
if "tavo" in globals():
    class Own(tavo.Device):
        def __new__(cls):
            return super().__new__(cls)
    checks += [lambda: type(Own()).__name__, lambda: Pet.__mro__[1](), lambda: type("Bare", (Pet.__mro__[1],), {{}})()]
for check in checks:
    try:
        print(check())
    except TypeError as e:
        print(e)
"""


class ForeignModuleTest(unittest.TestCase):
    def test_other_modules_classes_unchanged_in_either_import_order(self):
        outputs = {}
        for order, imports in (("alone", "from foreign_pets import Pet"),
                               ("before", "from foreign_pets import Pet\nimport pytavo_device as tavo"),
                               ("after", "import pytavo_device as tavo\nfrom foreign_pets import Pet")):
            result = support.run_python(FOREIGN.format(imports=imports))
            self.assertEqual(result.returncode, 0, result.stderr[-2000:])
            outputs[order] = result.stdout.splitlines()
        self.assertEqual(outputs["alone"], ["rex", "rex", "Pet", "tom"] + ["rex"] * 4)
        refused = "instance allocation failed: new instance has no pybind11-registered base types"
        for order in ("before", "after"):
            self.assertEqual(outputs[order], outputs["alone"] + ["Own", refused, refused], order)


class VersionCheckTest(unittest.TestCase):
    def test_other_interpreter_refused(self):
        # 3.11 resolves every interpreter symbol the module uses, so the import
        # reaches the version check (3.13 lacks some and fails in the loader).
        others = [p for p in (shutil.which("python3.11"), *glob.glob(os.path.expanduser(
            "~/.pyenv/versions/3.11*/bin/python3.11"))) if p]
        if not others:
            self.skipTest("no other Python interpreter installed")
        module_file = tavo.__file__
        loader = ("import importlib.machinery, importlib.util, sys\n"
                  f"spec = importlib.util.spec_from_file_location('pytavo_device', {module_file!r})\n"
                  "try:\n"
                  "    importlib.util.module_from_spec(spec)\n"
                  "except ImportError as e:\n"
                  "    print(e)\n")
        for python in others:
            result = subprocess.run([python, "-c", loader], capture_output=True, text=True, timeout=60)
            version = subprocess.run([python, "-c", "import sys; print(sys.version)"], capture_output=True,
                                     text=True).stdout.strip()
            self.assertEqual(result.stdout.strip(),
                             "Python version mismatch: module was compiled for Python 3.12, but the interpreter "
                             f"version is incompatible: {version}.", result.stderr)


if __name__ == "__main__":
    unittest.main()
