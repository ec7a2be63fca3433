"""Loading plugins from Python and the DeviceManager methods: path
conversions, the loader's messages, text and path results, create_device."""

import gc
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

import pytavo_device as tavo
import support


class LoadingTest(unittest.TestCase):
    def test_path_forms(self):
        path = str(support.SIM)
        for form in (path, os.fsencode(path), pathlib.Path(path)):
            with self.subTest(type(form).__name__):
                manager = tavo.get_device_manager(form)
                self.assertIs(type(manager), tavo.DeviceManager)
        self.assertIsNot(tavo.get_device_manager(path), tavo.get_device_manager(path))

    def test_arguments_that_never_reach_the_loader(self):
        for bad in (5, None, "plugin\0.so", b"plugin\0.so", ["x"]):
            with self.subTest(repr(bad)), self.assertRaises(TypeError):
                tavo.get_device_manager(bad)

    def test_loader_messages(self):
        with tempfile.TemporaryDirectory() as tmp:
            missing = os.path.join(tmp, "missing.so")
            dangling = os.path.join(tmp, "dangling.so")
            os.symlink(missing, dangling)
            not_library = os.path.join(tmp, "text.so")
            pathlib.Path(not_library).write_text("not a library")
            cases = [(missing, "Device Manager not found: " + missing),
                     ("", "Device Manager not found: "),
                     (dangling, "Device Manager not found: " + dangling),
                     (tmp, "Not a regular file: " + tmp),
                     (str(support.test_plugin("tp_no_entry")),
                      "Device Manager does not have create_manager function: "
                      + str(support.test_plugin("tp_no_entry"))),
                     (str(support.test_plugin("tp_throwing_factory")),
                      "Failed to create manager: " + str(support.test_plugin("tp_throwing_factory"))
                      + " factory failed"),
                     (str(support.test_plugin("tp_unknown_throw")), "Caught an unknown exception!")]
            for path, message in cases:
                with self.subTest(path), self.assertRaises(RuntimeError) as caught:
                    tavo.get_device_manager(path)
                self.assertEqual(str(caught.exception), message)
            with self.assertRaises(RuntimeError) as caught:
                tavo.get_device_manager(not_library)
            self.assertTrue(str(caught.exception).startswith(
                "boost::dll::shared_library::load() failed (dlerror system message: "), caught.exception)
            self.assertIn("text.so", str(caught.exception))

    def test_malformed_entry_points_are_refused(self):
        # Both used to be called through (into code read as an address, or
        # null): run them in a child, where a crash is a failed test.
        function, null = str(support.test_plugin("tp_entry_function")), str(support.test_plugin("tp_entry_null"))
        result = support.run_python(textwrap.dedent(f"""
            import pytavo_device as tavo
            for path in {[function, null]!r}:
                try:
                    tavo.get_device_manager(path)
                except RuntimeError as error:
                    print(error)
            """))
        self.assertEqual(result.returncode, 0, result.stderr[-2000:])
        self.assertEqual(result.stdout.splitlines(), [
            "Device Manager create_manager is a function, not a variable holding the factory's address: " + function,
            "Device Manager create_manager holds a null factory address: " + null])

    def test_messages_keep_bytes_that_are_not_utf8(self):
        with tempfile.TemporaryDirectory() as tmp:
            base = os.fsencode(tmp) + b"/\xff-"
            os.mkdir(base + b"dir")
            shutil.copy(support.test_plugin("tp_no_entry"), base + b"entry.so")
            cases = [(base + b"missing.so", b"Device Manager not found: " + base + b"missing.so"),
                     (base + b"dir", b"Not a regular file: " + base + b"dir"),
                     (base + b"entry.so", b"Device Manager does not have create_manager function: "
                      + base + b"entry.so")]
            for path, message in cases:
                with self.subTest(message[:20]), self.assertRaises(RuntimeError) as caught:
                    tavo.get_device_manager(path)
                self.assertEqual(str(caught.exception), os.fsdecode(message))
        with self.assertRaises(RuntimeError) as caught:
            support.probe_manager().create_device(b"throw:device \xff\xfe")
        self.assertEqual(os.fsencode(str(caught.exception)), b"device \xff\xfe")

    def test_symbolic_link_and_bare_name(self):
        with tempfile.TemporaryDirectory() as tmp:
            link = os.path.join(tmp, "link.so")
            os.symlink(support.SIM, link)
            self.assertIn("simulator", tavo.get_device_manager(link).info().lower())
            shutil.copy(support.SIM, os.path.join(tmp, "libcopy.so"))
            cwd = os.getcwd()
            os.chdir(tmp)
            try:
                self.assertIsNotNone(tavo.get_device_manager("libcopy.so"))
                with self.assertRaisesRegex(RuntimeError, "^Device Manager not found: libc.so.6$"):
                    tavo.get_device_manager("libc.so.6")  # never searched for in system paths
            finally:
                os.chdir(cwd)

    def test_null_factory_gives_none_and_closes(self):
        path = support.test_plugin("tp_null_factory")
        self.assertIsNone(tavo.get_device_manager(str(path)))
        gc.collect()
        self.assertFalse(support.library_mapped(path))

    def test_library_stays_loaded_while_manager_lives(self):
        path = support.test_plugin("tp_tracking")
        first = tavo.get_device_manager(str(path))
        second = tavo.get_device_manager(str(path))
        self.assertIsNot(first, second)
        del first
        gc.collect()
        self.assertTrue(support.library_mapped(path))
        del second
        gc.collect()
        self.assertFalse(support.library_mapped(path))


class ManagerMethodsTest(unittest.TestCase):
    def setUp(self):
        self.manager = support.probe_manager()

    def set_info(self, raw):
        self.assertIsNone(self.manager.create_device("set-info:" + raw.hex()))

    def test_texts(self):
        self.assertEqual(self.manager.info(), "probe manager")
        self.assertEqual(self.manager.list_devices(), "probe\n")
        self.assertIsInstance(self.manager.get_device_options(), str)
        self.set_info(b"a\0b")
        self.assertEqual(self.manager.info(), "a\0b")
        self.set_info(b"\xff\xfe")
        with self.assertRaises(UnicodeDecodeError):
            self.manager.info()
        self.assertEqual(self.manager.list_devices(), "probe\n")  # still usable

    def test_location_is_a_path(self):
        location = self.manager.location()
        self.assertIsInstance(location, pathlib.Path)
        self.assertEqual(str(location), "/tmp/probe-location")
        self.assertIsNone(self.manager.create_device("set-location:" + b"/tmp/\xff".hex()))
        self.assertEqual(str(self.manager.location()), "/tmp/\udcff")
        self.assertEqual(os.fsencode(self.manager.location()), b"/tmp/\xff")

    def test_create_device_name_forms(self):
        for name in ("probe", b"probe", bytearray(b"probe")):
            with self.subTest(type(name).__name__):
                device = self.manager.create_device(name)
                self.assertIs(type(device), tavo.Device)
                self.assertEqual(support.probe_info(device)["name_hex"], b"probe".hex())
        device = self.manager.create_device("probe:status_text=\u00e9")
        self.assertEqual(support.probe_info(device)["name_hex"], "probe:status_text=\u00e9".encode().hex())
        for bad in (5, None, "\udcff", ["probe"]):
            with self.subTest(repr(bad)), self.assertRaises(TypeError):
                self.manager.create_device(bad)
        with self.assertRaises(TypeError):
            self.manager.create_device(arg0="probe")

    def test_empty_handles_and_failures(self):
        self.assertIsNone(self.manager.create_device("none"))
        self.assertIsNone(self.manager.create_device(""))
        with self.assertRaisesRegex(RuntimeError, "^no such device$"):
            self.manager.create_device("throw:no such device")
        with self.assertRaises(MemoryError):
            self.manager.create_device("bad-alloc")
        with self.assertRaisesRegex(RuntimeError, "^Caught an unknown exception!$"):
            self.manager.create_device("throw-int")
        self.assertIsNotNone(self.manager.create_device("probe"))

    def test_device_outlives_manager(self):
        device = self.manager.create_device("probe:reg=42")
        del self.manager
        gc.collect()
        self.assertEqual(device.get_register(1), 42)  # kept alive by the device itself


# A plugin written from the contract's field lists alone, whose devices come
# with an empty keep_alive. Its manager is dropped at once: every later call
# is the plugin's code, which must still be loaded.
FIELD_LISTS_RUN = r"""
import gc, sys, threading
import pytavo_device as tavo
import support

path = sys.argv[1]
device = tavo.get_device_manager(path).create_device("fields")
gc.collect()
assert device.trigger(0, 0) == tavo.ReturnCode.Success
assert device.set_register_sync(1, 5, 0) == tavo.ReturnCode.Success and device.get_register_sync(1) == 5
assert device.write(0, b"abc") == 3
data = bytearray(3)
assert device.read(0, data) == 3 and data == b"abc", data
events, ended = [], threading.Event()
def collect(buffer, text):
    events.append((None if buffer is None else bytes(buffer), text))
    if buffer is None and text is None:
        ended.set()
stream = device.start_read_stream(0, collect)
assert ended.wait(10), events
assert events == [(b"\1\2\3\4", None), (None, "fields: scripted error"), (b"\7\10\11", None), (None, None)], events
del device, stream
gc.collect()
print("unloaded" if not support.library_mapped(path) else "still loaded")
"""


class FieldListsPluginTest(unittest.TestCase):
    def test_devices_with_empty_keep_alive_outlive_their_manager(self):
        for variant in ("tp_field_lists", "tp_field_lists_no_unique", "tp_field_lists_clang"):
            path = str(support.test_plugin(variant))
            with self.subTest(variant):
                result = subprocess.run([sys.executable, "-c", FIELD_LISTS_RUN, path], capture_output=True,
                                        text=True, timeout=60, env=dict(os.environ))
                self.assertEqual(result.returncode, 0, result.stderr[-2000:])
                # Nothing pins these libraries: only the device kept its code loaded.
                self.assertEqual(result.stdout.strip(), "unloaded")


class SimulatorManagerTest(unittest.TestCase):
    def test_simulator_reports_itself(self):
        manager = tavo.get_device_manager(str(support.SIM))
        self.assertEqual(manager.location(), pathlib.Path(os.path.realpath(support.SIM)))
        self.assertIn("sim0", manager.list_devices())
        self.assertTrue(manager.get_device_options())
        self.assertIsInstance(manager.create_device("sim0"), tavo.Device)
        with self.assertRaisesRegex(RuntimeError, "sim9"):
            manager.create_device("sim9")
        with self.assertRaises(RuntimeError):
            manager.create_device("sim0:nonsense=1")


if __name__ == "__main__":
    unittest.main()
