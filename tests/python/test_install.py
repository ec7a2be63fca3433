"""Installation as a plugin author meets it: `cmake --install` of this build
into a temporary prefix, the out-of-tree plugin template (examples/plugin)
built against that prefix only, and the plugin loaded by the installed
module in a fresh interpreter that sees nothing but the prefix."""

import filecmp
import json
import os
import pathlib
import shutil
import struct
import subprocess
import sys
import tempfile
import textwrap
import unittest

SOURCE = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("PYTHONPATH", "").split(os.pathsep)[0]).resolve().parent
SITE = pathlib.Path("lib") / f"python{sys.version_info.major}.{sys.version_info.minor}" / "site-packages"

# Runs under the installed module: loads the template plugin, uses its
# device's registers, bulk memory and a short stream, and the installed
# simulator. Prints "ok" at the end; any failed check raises.
CLIENT = textwrap.dedent("""
    import sys, threading, time
    import pytavo_device as tavo
    prefix, plugin = sys.argv[1], sys.argv[2]
    assert tavo.__file__.startswith(prefix), tavo.__file__
    manager = tavo.get_device_manager(plugin)
    assert manager.list_devices() == "counter\\texample counter device\\n", manager.list_devices()
    assert str(manager.location()) == plugin, manager.location()
    device = manager.create_device("counter")
    del manager  # the device keeps the plugin loaded
    RC = tavo.ReturnCode
    assert device.set_register_sync(3, 0x12345678, 0x00FF00FF) == RC.Success
    assert device.get_register_sync(3) == 0x00340078, device.get_register_sync(3)
    assert device.set_register_sync(4, 1, 1) == RC.Failure
    assert device.write(4090, b"abcdefgh") == 6
    back = bytearray(6)
    assert device.read(4090, back) == 6 and back == b"abcdef", back
    chunks, ended = [], threading.Event()
    def on_event(buffer, text):
        if buffer is not None:
            chunks.append(bytes(buffer))
        elif text is None:
            ended.set()
        else:
            chunks.append(text)
    with device.start_read_stream(250, on_event, 32) as stream:
        deadline = time.monotonic() + 10
        while len(chunks) < 3 and time.monotonic() < deadline:
            time.sleep(0.01)
    assert ended.wait(10), "no end of stream"
    data = b"".join(chunks)
    assert len(chunks) >= 3 and all(len(c) == 32 for c in chunks), chunks[:3]
    assert data == bytes((250 + i) % 256 for i in range(len(data))), data[:40]
    sim = tavo.get_device_manager(prefix + "/lib/tavo/plugins/libtavo_sim.so").create_device("sim0")
    assert sim.get_register_sync(0) == 0x54415630
    print("ok")
""")


def run(command, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, timeout=600, **kwargs)
    if result.returncode != 0:
        raise AssertionError(f"{command} failed ({result.returncode}):\n{result.stdout[-3000:]}{result.stderr[-3000:]}")
    return result


@unittest.skipIf(shutil.which("cmake") is None, "cmake is not installed")
class InstallTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not (BUILD / "CMakeCache.txt").exists():
            raise unittest.SkipTest(f"no build directory above PYTHONPATH ({BUILD})")
        cls.tmp = tempfile.TemporaryDirectory()
        cls.prefix = pathlib.Path(cls.tmp.name) / "prefix"
        run(["cmake", "--install", str(BUILD), "--prefix", str(cls.prefix)])

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_layout(self):
        p = self.prefix
        modules = list((p / SITE).glob("pytavo_device.cpython-*.so"))
        self.assertEqual(len(modules), 1, list((p / SITE).iterdir()))
        self.assertTrue(filecmp.cmp(p / SITE / "pytavo_device.pyi", SOURCE / "src/pytavo/pytavo_device.pyi"))
        self.assertTrue((p / "lib/tavo/plugins/libtavo_sim.so").is_file())
        self.assertTrue(filecmp.cmp(p / "lib/tavo/plugins/libtavo_sim.regmap.toml", SOURCE / "plugins/sim/sim.regmap.toml"))
        self.assertTrue((p / "lib/tavo/plugins/libtavo_remote.so").is_file())
        # The installed server looks for a plugin's short name in the installed plugin directory.
        server = subprocess.run([p / "bin/tavo-server", "nosuch"], capture_output=True, text=True, timeout=60,
                                env={"PATH": os.environ.get("PATH", "/usr/bin:/bin")})
        self.assertEqual(server.returncode, 1, server.stderr)
        self.assertIn(f"plugin 'nosuch' not found; searched: {p}/lib/tavo/plugins\n", server.stderr)
        headers = sorted(f.name for f in (p / "include/tavo").iterdir())
        self.assertEqual(headers, sorted(f.name for f in (SOURCE / "include/tavo").glob("*.hpp")))
        for name in ("tavoConfig.cmake", "tavoConfigVersion.cmake", "tavoTargets.cmake", "TavoPlugin.cmake"):
            self.assertTrue((p / "lib/cmake/tavo" / name).is_file(), name)

    def test_template_plugin_against_the_prefix(self):
        work = pathlib.Path(self.tmp.name)
        # A copy of the template: the build must need nothing of this tree.
        template = work / "plugin"
        shutil.copytree(SOURCE / "examples/plugin", template)
        build = work / "b"
        run(["cmake", "-S", str(template), "-B", str(build), f"-DCMAKE_PREFIX_PATH={self.prefix}",
             "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON", "-DCMAKE_BUILD_TYPE=Release"])
        compiled = run(["cmake", "--build", str(build), "-j2"])
        self.assertNotIn("warning", compiled.stdout + compiled.stderr)
        commands = json.loads((build / "compile_commands.json").read_text())
        self.assertEqual(len(commands), 1)
        self.assertIn(f"{self.prefix}/include", commands[0]["command"])
        self.assertNotIn(str(SOURCE), commands[0]["command"])

        plugin = build / "libtavo_counter.so"
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "PYTHONPATH": str(self.prefix / SITE),
               "PYTHONDONTWRITEBYTECODE": "1"}
        result = subprocess.run([sys.executable, "-c", CLIENT, str(self.prefix), str(plugin)],
                                capture_output=True, text=True, timeout=120, env=env, cwd=work)
        self.assertEqual(result.returncode, 0, result.stderr[-3000:])
        self.assertEqual(result.stdout, "ok\n")

    def test_version_is_checked(self):
        cache = (BUILD / "CMakeCache.txt").read_text()
        version = next(line.split("=", 1)[1] for line in cache.splitlines()
                       if line.startswith("CMAKE_PROJECT_VERSION:"))
        major, minor = version.split(".")[:2]
        work = pathlib.Path(self.tmp.name) / "version"
        work.mkdir()
        (work / "CMakeLists.txt").write_text(textwrap.dedent(f"""\
            cmake_minimum_required(VERSION 3.20)
            project(v LANGUAGES CXX)
            find_package(tavo {major}.{int(minor) + 1} CONFIG QUIET)
            if(tavo_FOUND)
              message(FATAL_ERROR "a newer minor version was accepted")
            endif()
            find_package(tavo {major}.{minor} CONFIG REQUIRED)
            message(STATUS "tavo ${{tavo_VERSION}} plugins in ${{tavo_PLUGIN_DIR}}")
            """))
        result = run(["cmake", "-S", str(work), "-B", str(work / "b"), f"-DCMAKE_PREFIX_PATH={self.prefix}"])
        self.assertIn(f"tavo {version} plugins in {self.prefix}/lib/tavo/plugins", result.stdout)


# Runs in the venv's own interpreter with nothing set but PATH: the package,
# the module and its stub side by side, the simulator found by short name.
VENV_CLIENT = textwrap.dedent("""
    import pathlib, sys
    import pytavo_device, tavo
    site = pathlib.Path(sys.argv[1])
    assert pathlib.Path(pytavo_device.__file__).parent == site, pytavo_device.__file__
    assert pathlib.Path(tavo.__file__).parent == site / "tavo", tavo.__file__
    assert (site / "pytavo_device.pyi").is_file()
    assert tavo.find_plugin("sim").resolve() == (site / "../../tavo/plugins/libtavo_sim.so").resolve()
    with tavo.StreamReader(tavo.open_device("sim", "sim0:chunks=3"), 0) as reader:
        assert len(reader.read(3 * 4096)) == 3 * 4096 and reader.read(1) == b""
    regs = tavo.Registers(tavo.open_device("sim", "sim1"), tavo.RegisterMap.for_plugin("sim"))
    assert regs.DEVICE_INDEX.read() == 1 and regs.VERSION.read().MAJOR == 1
    print("ok")
""")


@unittest.skipIf(shutil.which("cmake") is None, "cmake is not installed")
class VenvRouteTest(unittest.TestCase):
    """The route the guide gives users: `python3.12 -m venv v` and
    `cmake --install build --prefix v`, then v/bin/tavo and v/bin/python with
    nothing else set; and the same installed tree after it was moved."""

    @classmethod
    def setUpClass(cls):
        if not (BUILD / "CMakeCache.txt").exists():
            raise unittest.SkipTest(f"no build directory above PYTHONPATH ({BUILD})")
        cls.tmp = tempfile.TemporaryDirectory()
        cls.work = pathlib.Path(cls.tmp.name)
        cls.venv = cls.work / "v"
        run([sys.executable, "-m", "venv", "--without-pip", str(cls.venv)])
        run(["cmake", "--install", str(BUILD), "--prefix", str(cls.venv)])
        cls.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "PYTHONDONTWRITEBYTECODE": "1"}

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def command(self, prefix, *args):
        return subprocess.run([str(prefix / "bin/tavo"), *args], capture_output=True, text=True, timeout=60,
                              env=self.env, cwd=self.work)

    def test_python_sees_package_module_and_simulator(self):
        result = subprocess.run([str(self.venv / "bin/python"), "-c", VENV_CLIENT, str(self.venv / SITE)],
                                capture_output=True, text=True, timeout=60, env=self.env, cwd=self.work)
        self.assertEqual((result.returncode, result.stdout), (0, "ok\n"), result.stderr[-3000:])

    def test_the_readme_session(self):
        devices = self.command(self.venv, "devices", "sim")
        self.assertEqual(devices.returncode, 0, devices.stderr)
        self.assertIn(f"location: {self.venv.resolve()}/lib/tavo/plugins/libtavo_sim.so\n", devices.stdout)
        self.assertIn("  sim0\tsimulated acquisition device\n", devices.stdout)
        self.assertEqual(self.command(self.venv, "reg", "sim", "sim0", "write", "0x10", "0xCAFE").returncode, 0)
        refused = self.command(self.venv, "reg", "sim", "sim0", "write", "0x0", "1")
        self.assertEqual(refused.returncode, 1)
        self.assertRegex(refused.stderr, r"\Atavo: error: sim0 refused the write [^\n]*\n\Z")
        recorded = self.command(self.venv, "record", "sim", "sim0", "--bytes", "1000000", "-o", "f.bin")
        self.assertEqual(recorded.returncode, 0, recorded.stderr)
        data = (self.work / "f.bin").read_bytes()
        self.assertEqual(len(data), 1000000)
        self.assertEqual(data[-8:], struct.pack("<2I", 249998, 249999))  # the counter, to its last word

    def test_moved_prefix(self):
        moved = self.work / "elsewhere"
        shutil.copytree(self.venv, moved, symlinks=True)
        result = self.command(moved, "plugins", "--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(json.loads(result.stdout)["plugins"],
                         [{"name": name, "path": str(moved / f"lib/tavo/plugins/libtavo_{name}.so")}
                          for name in ("remote", "sim")])


if __name__ == "__main__":
    unittest.main()
