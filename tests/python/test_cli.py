"""The `tavo` command, run as a user runs it (`python3.12 -m tavo ...` in a
subprocess): each subcommand's output, text and JSON, and each kind of
failure with its exit status (2 usage, 1 plugin, device or file, 130
interrupted, 141 output closed by its reader) as one line "tavo: error: ..."
on stderr, never a traceback, whatever the arguments, the standard streams
and the signals."""

import datetime
import json
import os
import pathlib
import pty
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from unittest import mock

import support
from streams_support import wait_until
from test_stress import sim_bytes

PROBE_DIR = str(support.TEST_PLUGIN_DIR)


def tavo_command(*args, env=None, timeout=60, **kwargs):
    full_env = dict(os.environ, **(env or {}))
    kwargs.setdefault("capture_output", True)
    return subprocess.run([sys.executable, "-m", "tavo", *args], timeout=timeout, env=full_env, **kwargs)


def tavo_process(*args, env=None, **kwargs):
    return subprocess.Popen([sys.executable, "-m", "tavo", *args], env=dict(os.environ, **(env or {})), **kwargs)


class CommandTestCase(unittest.TestCase):
    def ok(self, *args, **kwargs):
        result = tavo_command(*args, **kwargs)
        self.assertEqual(result.returncode, 0, result.stderr.decode()[-2000:])
        return result.stdout.decode()

    def fails(self, status, message, *args, printed=b"", **kwargs):
        result = tavo_command(*args, **kwargs)
        stderr = result.stderr.decode()
        self.assertEqual(result.returncode, status, stderr)
        self.assertEqual(result.stdout, printed)
        # One line (so no traceback), after the summary of a recording.
        self.assertRegex(stderr, r"\A(tavo: recorded [^\n]+\n)?tavo: error: [^\n]+\n\Z")
        self.assertIn(message, stderr)


class HelpTest(CommandTestCase):
    def test_every_subcommand_has_help(self):
        for command in (["plugins"], ["devices"], ["info"], ["reg"], ["reg", "P", "D", "read"],
                        ["reg", "P", "D", "write"], ["reg", "P", "D", "dump"], ["record"]):
            with self.subTest(command=command):
                self.assertRegex(self.ok(*command, "--help"), rf"\Ausage: tavo {command[0]} ")
        self.fails(2, "the following arguments are required: COMMAND")
        self.assertIn("130 interrupted", " ".join(self.ok("--help").split()))
        read_help = " ".join(self.ok("reg", "P", "D", "read", "--help").split())
        self.assertIn("ADDR|NAME a register's address (0..0xFFFFFFFF, 0x20 or 32) or its name", read_help)
        self.assertIn("COUNT after an address: how many registers (default 1)", read_help)
        record_help = " ".join(self.ok("record", "--help").split())
        self.assertIn("k, M, G, T are powers of 1000 and Ki, Mi, Gi, Ti powers of 1024", record_help)
        self.assertIn("accept dropped events and device errors", record_help)

    def test_version(self):
        module = subprocess.run([sys.executable, "-c", "import pytavo_device; print(pytavo_device.__file__)"],
                                capture_output=True, text=True, timeout=60).stdout.strip()
        self.assertEqual(self.ok("--version"), f"tavo 0.1.0\npytavo_device 0.1.0 ({module})\n"
                                               f"Python {sys.version.split()[0]} ({sys.executable})\n")

    def test_reg_imports_only_what_it_needs(self):
        # Start-up time: the stream reader, asyncio, json and argparse's
        # terminal-width import (shutil) are for other commands.
        code = ("import sys; from tavo._cli import main; status = main(['reg', 'sim', 'sim0', 'read', '0']); "
                "print(status, [m for m in ('asyncio', 'json', 'shutil', 'typing', 'tavo._reader') "
                "if m in sys.modules])")
        self.assertEqual(support.run_python(code).stdout, "0x0000 0x54415630\n0 []\n")

    def test_json_anywhere_it_can_go(self):
        expected = [{"addr": 4, "value": 0x00010000}, {"addr": 8, "value": 0x00100000}]
        for args in (["--json", "reg", "sim", "sim0", "read", "4", "2"], ["reg", "sim", "sim0", "--json", "read", "4",
                     "2"], ["reg", "sim", "sim0", "read", "4", "2", "--json"]):
            with self.subTest(args=args):
                self.assertEqual(json.loads(self.ok(*args)), expected)
        self.fails(2, "--json: 'write' prints no JSON", "--json", "reg", "sim", "sim0", "write", "0x10", "1")


class PluginsTest(CommandTestCase):
    def test_lists_the_plugins_and_the_directories(self):
        out = self.ok("plugins", env={"TAVO_PLUGIN_PATH": PROBE_DIR})
        self.assertRegex(out, rf"(?m)^sim +{support.SIM}$")
        self.assertRegex(out, rf"(?m)^tp_probe +{PROBE_DIR}/libtp_probe.so$")
        listing = json.loads(self.ok("plugins", "--json", env={"TAVO_PLUGIN_PATH": PROBE_DIR}))
        self.assertEqual(listing["directories"], [PROBE_DIR, str(support.PLUGIN_DIR)])
        self.assertIn({"name": "sim", "path": str(support.SIM)}, listing["plugins"])

    def test_a_directory_that_cannot_be_searched_is_skipped_and_named(self):
        # A name too long to look up in stands for a directory without
        # search permission, which root (running these tests) would read.
        unsearchable = os.path.join(tempfile.gettempdir(), "x" * 300)
        env = {"TAVO_PLUGIN_PATH": os.pathsep.join([unsearchable, PROBE_DIR])}
        out = self.ok("plugins", env=env)
        self.assertRegex(out, rf"(?m)^sim +{support.SIM}$")
        self.assertIn(f"  {unsearchable}  (skipped, cannot be read: File name too long)\n", out)
        self.assertIn("0x54415630", self.ok("reg", "sim", "sim0", "read", "0", env=env))


class DevicesAndInfoTest(CommandTestCase):
    def test_devices(self):
        out = self.ok("devices", "sim")
        self.assertTrue(out.startswith(f"manager:  TAVO simulator 0.1.0\nlocation: {support.SIM.resolve()}\n"), out)
        self.assertIn("  sim3\tsimulated acquisition device\n", out)
        listing = json.loads(self.ok("devices", support.SIM, "--json"))
        self.assertEqual(listing["devices"][0], {"name": "sim0", "description": "simulated acquisition device"})
        self.assertEqual(len(listing["devices"]), 4)
        self.assertIn("error_every=", listing["options"])

    def test_devices_of_every_plugin(self):
        probe = {"TAVO_PLUGIN_PATH": PROBE_DIR}
        out = self.ok("devices", env=probe)
        self.assertIn(f"sim  {support.SIM}  TAVO simulator 0.1.0\n  sim0\tsimulated acquisition device\n", out)
        # A plugin that does not load: one line, and the others go on.
        self.assertRegex(out, r"(?m)^tp_no_entry  \S+  \(not loaded: Device Manager does not have create_manager "
                              r"function: \S+\)$")
        plugins = {entry["name"]: entry for entry in json.loads(self.ok("devices", "--json", env=probe))["plugins"]}
        self.assertEqual(plugins["tp_probe"]["devices"], [{"name": "probe", "description": ""}])
        self.assertIn("create_manager", plugins["tp_no_entry"]["error"])

    def test_info(self):
        self.assertEqual(self.ok("info", "sim", "sim2:memory=64"),
                         "info:   TAVO simulator device sim2, ID 0x54415630, firmware 1.0.0, memory 64 bytes, "
                         "default chunk 4096 bytes\nstatus: idle, 0 chunks produced\n")
        info = json.loads(self.ok("info", "tp_probe", "probe:status_text=none", "--json",
                                  env={"TAVO_PLUGIN_PATH": PROBE_DIR}))
        self.assertIsNone(info["status"])

    def test_info_of_a_recording(self):
        from tavo._samples import SampleFormat
        from tavo._sigmf import SigmfWriter
        with tempfile.TemporaryDirectory() as tmp:
            writer = SigmfWriter(SampleFormat.parse("<u2", 2), sample_rate=1000, hw="sim0",
                                 start=datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=datetime.timezone.utc))
            writer.gap(4096, 3)
            writer.error(8194, "injected")
            writer.write(f"{tmp}/r.sigmf-meta")
            pathlib.Path(tmp, "r.sigmf-data").write_bytes(bytes(12288))
            self.assertEqual(self.ok("info", f"{tmp}/r.sigmf-meta"),
                             "ru16_le, 2 channel(s), 1000 samples/s, from 2024-01-02T03:04:05.000000Z\n"
                             "data: 12288 bytes, 3072 samples\nrecorder: tavo\nhardware: sim0\n"
                             "sample 1024 (byte 4096): 3 stream event(s) dropped\n"
                             "sample 2048 (byte 8194): device error: injected\n")
            described = json.loads(self.ok("info", "--json", f"{tmp}/r.sigmf-data"))
            self.assertEqual((described["data_bytes"], described["metadata"]["annotations"][0]["tavo:dropped"]),
                             (12288, 3))
            pathlib.Path(tmp, "bad.sigmf-meta").write_text("[]")
            self.fails(1, f"{tmp}/bad.sigmf-meta: not SigMF metadata", "info", f"{tmp}/bad.sigmf-meta")
        self.fails(2, "the following arguments are required: DEVICE (or give one FILE.sigmf-meta)", "info", "sim")

    def test_plugin_and_device_failures(self):
        probe = {"TAVO_PLUGIN_PATH": PROBE_DIR}
        self.fails(1, f"plugin 'nosuch' not found; searched: {support.PLUGIN_DIR}; plugins found there: remote, sim",
                   "devices", "nosuch")
        self.fails(1, "Device Manager does not have create_manager function", "devices", "tp_no_entry", env=probe)
        self.fails(1, "made no device manager", "devices", "tp_null_factory", env=probe)
        self.fails(1, "unknown device 'sim9'; valid devices: sim0, sim1, sim2, sim3", "info", "sim", "sim9")
        self.fails(1, "unknown option 'bogus'", "info", "sim", "sim0:bogus=1")
        # A plugin that makes no device: its device list, folded into the one line.
        self.fails(1, "no device 'none'", "info", "tp_probe", "none", env=probe)
        self.fails(1, "'utf-8' codec can't decode byte 0xff", "info", "tp_probe", "probe:bad_utf8=1", env=probe)
        self.fails(2, "argument DEVICE: not valid UTF-8: 'sim0\\udcff'", "info", "sim", b"sim0\xff")

    def test_plugin_files_that_cannot_be_loaded(self):
        with tempfile.TemporaryDirectory() as tmp:
            # Truncated, as by an interrupted copy, within its code: the
            # loader would map segments past its end and die of SIGBUS.
            cut = pathlib.Path(tmp, "libtavo_cut.so")
            cut.write_bytes(support.SIM.read_bytes()[:16384])
            self.fails(1, f"tavo: error: {cut}: not a complete ELF shared object for this machine: truncated: "
                          "segment ", "devices", cut)
            # A name that is not UTF-8, printed (to stdout, under a strict
            # UTF-8 encoding) as the bytes it is.
            odd = pathlib.Path(os.fsdecode(os.fsencode(tmp) + b"/lib\xff.so"))
            shutil.copy(support.SIM, odd)
            out = tavo_command("devices", odd, env={"PYTHONIOENCODING": "utf-8"})
            self.assertEqual(out.returncode, 0, out.stderr)
            self.assertIn(b"location: " + os.fsencode(odd) + b"\n", out.stdout)


class RegTest(CommandTestCase):
    def test_read(self):
        self.assertEqual(self.ok("reg", "sim", "sim2", "read", "0x4", "3"),
                         "0x0004 0x00010000\n0x0008 0x00100000\n0x000C 0x00000002\n")
        self.assertEqual(json.loads(self.ok("reg", "sim", "sim0", "read", "0", "--json")),
                         [{"addr": 0, "value": 0x54415630}])

    def test_read_prints_as_it_reads(self):
        # 2^30 registers: the first lines come at once, in bounded memory
        # (a quarter of a GiB of address space; not under AddressSanitizer,
        # whose shadow memory alone is far more), and a reader that stops
        # reading ends the command as it ends `cat`: no word, status 141.
        limit = 2**28
        bounded = os.environ.get("TAVO_SANITIZED") != "asan"
        process = tavo_process("reg", "tp_probe", "probe:reg=7", "read", "0", "0x40000000", env={
            "TAVO_PLUGIN_PATH": PROBE_DIR}, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            preexec_fn=(lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit))) if bounded else None)
        try:
            self.assertEqual(process.stdout.readline(), b"0x0000 0x00000007\n")
            process.stdout.close()
            self.assertEqual(process.wait(60), 141)
            self.assertEqual(process.stderr.read(), b"")
        finally:
            process.kill()
            process.wait()
            process.stderr.close()

    def test_write(self):
        self.assertEqual(self.ok("reg", "sim", "sim0", "write", "0x10", "0xCAFE"), "")
        self.assertEqual(self.ok("reg", "sim", "sim0", "write", "16", "4294967295", "0xFF"), "")

    def test_device_failures(self):
        probe = {"TAVO_PLUGIN_PATH": PROBE_DIR}
        self.fails(1, "sim0 refused the write of 0x00000001 (mask 0xFFFFFFFF) to 0x0000: "
                      "set_register_sync failed: Failure (1)", "reg", "sim", "sim0", "write", "0x0", "1")
        self.fails(1, "set_register_sync failed: ??? (7)", "reg", "tp_probe", "probe:status=7", "write", "0", "0",
                   env=probe)
        self.fails(1, "reading register 0x0008 of probe:status=1 failed",
                   "reg", "tp_probe", "probe:status=1", "read", "8", env=probe)

    USAGE = [
        (["read", "0x1g"], "argument ADDR|NAME: not a number: '0x1g'"),
        (["read", "-4"], "argument ADDR|NAME: -4 is out of range 0..0xFFFFFFFF"),
        (["read", "CONTROL", "2"], "COUNT goes with an address"),
        (["read", "0", "0"], "argument COUNT: 0 is not a positive number"),
        (["read", "0", "0x40000001"], "argument COUNT: 0x40000001 is out of range 1..0x40000000"),
        (["read", "0xFFFFFFF8", "3"], "3 registers from 0xFFFFFFF8 go past 0xFFFFFFFF"),
        (["write", "0x10", "4294967296"], "argument VALUE: 4294967296 is out of range"),
        (["write", "0x10", "1", "0x1FFFFFFFF"], "argument MASK: 0x1FFFFFFFF is out of range"),
        (["write", "0x10"], "the following arguments are required: VALUE"),
        (["erase", "0"], "invalid choice: 'erase'"),
    ]

    def test_usage(self):
        for args, message in self.USAGE:
            with self.subTest(args=args):
                # Refused before the plugin is looked for: this one does not exist.
                self.fails(2, message, "reg", "nosuch", "sim0", *args)


class RegNamesTest(CommandTestCase):
    """Registers by the names of the map beside the plugin or of --map."""

    def setUp(self):
        from test_registers import MAP  # 16 bits: an array, an enum, a signed field, a write-only register
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.map = pathlib.Path(tmp.name, "test.regmap.toml")
        self.map.write_text(MAP)

    def probe(self, options, *args, **kwargs):
        return ("reg", "tp_probe", options, "--map", str(self.map), *args), dict(env={"TAVO_PLUGIN_PATH": PROBE_DIR},
                                                                                **kwargs)

    def test_read_and_dump(self):
        self.assertEqual(self.ok("reg", "sim", "sim2", "read", "VERSION"),
                         "0x0004 0x00010000 VERSION MAJOR=1 MINOR=0 PATCH=0\n")
        self.assertEqual(json.loads(self.ok("reg", "sim", "sim0", "read", "CONTROL.DATA_VIEW", "--json")),
                         [{"addr": 0x20, "value": 0, "name": "CONTROL", "fields": {"DATA_VIEW": 0}}])
        self.assertTrue(self.ok("reg", "sim", "sim2", "dump").startswith(
            "0x0000 0x54415630 ID\n0x0004 0x00010000 VERSION MAJOR=1 MINOR=0 PATCH=0\n0x0008 0x00100000 MEMORY_SIZE\n"
            "0x000C 0x00000002 DEVICE_INDEX\n"))
        # Every register of the simulator, by name (none clears when read).
        import tavo
        self.assertEqual([entry["name"] for entry in json.loads(self.ok("reg", "sim", "sim0", "--json", "dump"))],
                         [name for name, _, _ in tavo.RegisterMap.for_plugin("sim").elements()])
        args, kwargs = self.probe("probe:reg=65037", "read", "CH")  # an array's name: every element
        self.assertEqual(self.ok(*args, **kwargs), "".join(f"0x{0x10 + 2 * i:04X} 0xFE0D CH[{i}] GAIN=13\n"
                                                           for i in range(4)))
        args, kwargs = self.probe("probe:reg=65037", "read", "CTRL", "--json")
        self.assertEqual(json.loads(self.ok(*args, **kwargs))[0]["fields"], {"ENABLE": 1, "MODE": "TEST", "LEVEL": -2})

    def test_write(self):
        # What the command sends, seen by a device that logs its register calls.
        from tavo import _cli
        from test_registers import Recorder
        device = Recorder({0x0: 0xAB01})
        with mock.patch("tavo.open_device", return_value=device):
            for words, calls in ((["CTRL", "MODE=RUN", "ENABLE=0"], [("get", 0x0), ("set", 0x0, 0xAB04, 0xFFFF)]),
                                 (["CTRL", "0", "LEVEL=-1"], [("set", 0x0, 0xFF00, 0xFFFF)]),
                                 (["CH[1].GAIN", "0x7"], [("get", 0x12), ("set", 0x12, 0x7, 0xFFFF)])):
                with self.subTest(words=words):
                    device.calls.clear()
                    self.assertEqual(_cli.main(["reg", "P", "D", "write", "--map", str(self.map), *words]), 0)
                    self.assertEqual(device.calls, calls)

    def test_failures(self):
        # Mistakes in names, fields and values: usage (2), found in the map
        # before the device is opened.
        for words, message in ((["read", "NOPE"], f"no register NOPE in {self.map}"),
                               (["read", "CH[4]"], "register CH[4]: the array has 4 elements"),
                               (["write", "CTRL", "MODE=FAST"], "CTRL: field MODE has no value 'FAST'; names: IDLE, RUN"),
                               (["write", "CTRL", "SPEED=1"], "register CTRL has no field SPEED; fields: ENABLE, MODE"),
                               (["write", "CTRL", "0x10000"], "0x10000 does not fit CTRL (16 bits)"),
                               (["write", "CTRL", "ENABLE=1", "2"], "'2' is not FIELD=VALUE")):
            with self.subTest(words=words):
                args, kwargs = self.probe("probe", *words)
                self.fails(2, message, *args, **kwargs)
        # Refusals, by the map or the device: one line naming the register (1).
        self.fails(1, "tavo: error: reg write: ID is read-only\n", "reg", "sim", "sim0", "write", "ID", "1")
        for options, words, message, printed in (
                ("probe", ["read", "CMD"], "reg read: CMD is write-only", b""),
                ("probe:status=7", ["write", "CTRL", "1"], "write CTRL (0x0000) failed: ??? (7)", b""),
                ("probe:status=7", ["read", "CTRL", "--json"], "read CTRL (0x0000) failed", b"[]\n")):
            with self.subTest(words=words):
                args, kwargs = self.probe(options, *words, printed=printed)
                self.fails(1, message, *args, **kwargs)
        # Without a map: addresses as ever, a name refused naming the file looked for.
        probe = {"TAVO_PLUGIN_PATH": PROBE_DIR}
        self.assertEqual(self.ok("reg", "tp_probe", "probe:reg=7", "read", "0x0", env=probe), "0x0000 0x00000007\n")
        self.fails(1, f"{PROBE_DIR}/libtp_probe.regmap.toml does not exist; name one with --map FILE",
                   "reg", "tp_probe", "probe", "read", "CTRL", env=probe)


class RecordTest(CommandTestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.out = pathlib.Path(self.tmp.name) / "stream.bin"

    def test_exact_byte_count(self):
        result = tavo_command("record", "sim", "sim0", "--bytes", "1M", "-o", self.out)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.out.read_bytes(), sim_bytes(0, 0, 1000000))
        self.assertRegex(result.stderr.decode(),
                         rf"\Atavo: recorded 1000000 bytes in 245 chunks to {self.out} in .*, 0 dropped, 0 errors\n\Z")

    def test_stdout_seed_chunk_size_and_alignment(self):
        for extra in ([], ["--align", "3"]):
            with self.subTest(extra=extra):
                result = tavo_command("record", "sim", "sim0", "--bytes", "10001", "--addr", "0xFFFFFFF0",
                                      "--chunk-size", "1k", "-o", "-", *extra)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout, sim_bytes(0xFFFFFFF0, 0, 10001))

    def test_seconds(self):
        self.ok("record", "sim", "sim0:rate=200", "--seconds", "0.3", "-o", self.out)
        data = self.out.read_bytes()
        self.assertTrue(data and len(data) % 4096 == 0, len(data))
        self.assertEqual(data, sim_bytes(0, 0, len(data)))

    def test_short_stream_and_device_errors(self):
        self.fails(1, "the stream ended after 40960 of 1000000 bytes",
                   "record", "sim", "sim0:chunks=10", "--bytes", "1000000", "-o", self.out)
        self.fails(1, "0 events dropped and 3 device errors (first: simulated error at chunk 3)",
                   "record", "sim", "sim0:chunks=10,error_every=3", "--seconds", "30", "-o", self.out, "--overwrite")
        # Counted up to the last byte written, not what the stream does before it is stopped.
        self.fails(1, ", 0 dropped, 9 errors\ntavo: error: 0 events dropped and 9 device errors",
                   "record", "sim", "sim0:error_every=1", "--bytes", "40960", "-o", self.out, "--overwrite")
        # Accepted, the data is whole: the device's errors do not interrupt it.
        self.ok("record", "sim", "sim0:chunks=10,error_every=3", "--seconds", "30", "--allow-drops", "-o", self.out,
                "--overwrite")
        self.assertEqual(self.out.read_bytes(), sim_bytes(0, 0, 40960))

    def test_drops_fail_the_recording(self):
        # The probe pushes its chunks far faster than the file takes them,
        # and the reader holds one at a time: the rest are dropped, in gaps.
        # What was not recorded was counted.
        result = tavo_command("record", "tp_probe", "probe:script=repeat:100000:64/stop", "--seconds", "60",
                              "--max-buffered-bytes", "64", "-o", self.out, env={"TAVO_PLUGIN_PATH": PROBE_DIR})
        self.assertEqual(result.returncode, 1, result.stderr)
        summary = result.stderr.decode()
        recorded, chunks, dropped = map(int, re.search(r"recorded (\d+) bytes in (\d+) chunks .* (\d+) dropped",
                                                       summary).groups())
        self.assertEqual((recorded, chunks + dropped), (64 * chunks, 100000))
        self.assertGreater(dropped, 0)
        gaps = int(re.search(r"dropped in (\d+) gaps", summary).group(1))
        self.assertTrue(0 < gaps <= dropped)
        self.assertIn(f"\ntavo: error: {dropped} events dropped in {gaps} gaps and 0 device errors", summary)
        self.assertEqual(self.out.stat().st_size, recorded)

    def test_signals_end_it_with_one_summary_that_equals_the_file(self):
        # Ctrl-C every 0.1 ms, while 1 MiB chunks go to the file, until the
        # process has exited: the first ends the recording, the others must
        # not cut its summary short nor print a traceback as the interpreter
        # shuts down, and the count includes a write the first one followed
        # at once.
        for attempt in range(20):
            with self.subTest(attempt=attempt):
                out = self.out.with_name(f"interrupted{attempt}.bin")
                process = tavo_process("record", "sim", "sim0", "--chunk-size", "1048576", "--seconds", "60", "-o", out,
                                       stderr=subprocess.PIPE)
                self.assertTrue(wait_until(lambda: out.exists() and out.stat().st_size > 0))
                time.sleep(0.05)
                give_up = time.monotonic() + 30
                while process.poll() is None and time.monotonic() < give_up:
                    process.send_signal(signal.SIGINT)
                    spin_until = time.perf_counter() + 0.0001
                    while time.perf_counter() < spin_until:
                        pass
                _, stderr = process.communicate(timeout=30)
                # (A signal that comes after the command has returned, while
                # the interpreter exits, ends it by SIGINT: still 130 to a shell.)
                self.assertIn(process.returncode, (130, -signal.SIGINT), stderr)
                self.assertRegex(stderr.decode(), rf"\Atavo: recorded {out.stat().st_size} bytes in [^\n]*\n\Z")

    def test_seconds_count_from_the_stream_start_with_a_fifo_opened_late(self):
        fifo = self.out.with_name("fifo")
        os.mkfifo(fifo)
        process = tavo_process("record", "sim", "sim0:rate=100", "--seconds", "0.5", "-o", fifo,
                               stderr=subprocess.PIPE)
        time.sleep(2)  # nobody reads: the stream waits for its reader before it starts
        data = read_fifo(fifo)
        _, stderr = process.communicate(timeout=30)
        self.assertEqual(process.returncode, 0, stderr)
        self.assertEqual(data, sim_bytes(0, 0, len(data)))
        self.assertTrue(4096 <= len(data) <= 100 * 4096, len(data))  # half a second of 100 chunks a second

    def test_broken_pipe_ends_it_as_cat(self):
        process = tavo_process("record", "sim", "sim0", "--bytes", "1000000000", "-o", "-", stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
        self.assertEqual(process.stdout.read(100), sim_bytes(0, 0, 100))
        process.stdout.close()
        _, stderr = process.communicate(timeout=30)
        self.assertEqual((process.returncode, stderr), (141, b""))

    def test_file_failure_names_the_file_and_what_it_holds(self):
        # The file may not grow past 100000 bytes: the write that reaches the
        # limit is cut short, the next one fails (EFBIG).
        limit = 100000
        result = tavo_command("record", "sim", "sim0", "--bytes", "1M", "-o", self.out,
                              preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit)))
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(self.out.read_bytes(), sim_bytes(0, 0, limit))
        self.assertRegex(result.stderr.decode(), rf"\Atavo: recorded {limit} bytes in .*\ntavo: error: writing "
                                                 rf"{self.out} failed after {limit} bytes: File too large\n\Z")

    def test_progress_only_on_a_terminal_and_throttled(self):
        self.assertNotIn("\r", self.ok("record", "sim", "sim0:rate=1000", "--seconds", "0.5", "-o", self.out))
        main, terminal = pty.openpty()
        process = tavo_process("record", "sim", "sim0:rate=1000", "--seconds", "1.2", "-o", self.out, "--overwrite",
                               stderr=terminal)
        os.close(terminal)
        shown = b""
        while chunk := read_terminal(main):
            shown += chunk
        os.close(main)
        self.assertEqual(process.wait(30), 0)
        progress, summary = shown.split(b"\r\x1b[K")  # the summary takes the progress line's place
        updates = progress.split(b"\r")[1:]
        self.assertTrue(2 <= len(updates) <= 8, shown)  # for about 1200 chunks: four lines a second
        self.assertRegex(updates[-1].decode(), r"MiB +[0-9.]+ MiB/s +[0-9]+ chunks +0 dropped")
        self.assertTrue(summary.startswith(b"tavo: recorded "), summary)

    def test_usage_and_file_failures(self):
        self.fails(2, "one of the arguments --bytes --seconds is required", "record", "sim", "sim0", "-o", self.out)
        self.fails(2, "not allowed with argument --bytes",
                   "record", "sim", "sim0", "-o", self.out, "--bytes", "1", "--seconds", "1")
        self.fails(2, "argument --align: 0 is not a positive number",
                   "record", "sim", "sim0", "-o", self.out, "--bytes", "1", "--align", "0")
        self.fails(2, "argument --seconds: -1 is not a positive number of seconds",
                   "record", "sim", "sim0", "-o", self.out, "--seconds=-1")
        # Every number has its range, checked before anything is opened.
        for option, value, message in (
                ("--chunk-size", "0x10000000000000000", "0x10000000000000000 is out of range 0..1073741824 bytes"),
                ("--align", "0x10000000000", "0x10000000000 is out of range 1..1073741824 bytes"),
                ("--align", "0xffffffffffffffff", "0xffffffffffffffff is out of range 1..1073741824 bytes"),
                ("--seconds", "1e10", "1e10 is out of range: at most 1000000000 seconds"),
                ("--bytes", "4K", "not a byte count: '4K'")):
            with self.subTest(option=option, value=value):
                self.fails(2, f"argument {option}: {message}", "record", "nosuch", "sim0", "-o", self.out,
                           f"{option}={value}", *(["--bytes", "1"] if option not in ("--seconds", "--bytes") else []))
        self.fails(1, "No such file or directory", "record", "sim", "sim0", "--bytes", "1", "-o", self.out / "x")
        self.fails(1, "unknown device 'sim9'", "record", "sim", "sim9", "--bytes", "1", "-o", self.out)
        self.fails(1, "stream refused", "record", "tp_probe", "probe:stream=throw", "--bytes", "1", "-o", self.out,
                   env={"TAVO_PLUGIN_PATH": PROBE_DIR})
        self.assertFalse(self.out.exists())  # a device or stream refused leaves no file behind
        # An existing file is data nobody can make again: replaced only when asked.
        self.out.write_bytes(b"precious")
        self.fails(1, f"{self.out} exists; --overwrite replaces it", "record", "sim", "sim0", "--bytes", "4Ki",
                   "-o", self.out)
        self.fails(1, "stream refused", "record", "tp_probe", "probe:stream=throw", "--bytes", "1", "-o", self.out,
                   "--overwrite", env={"TAVO_PLUGIN_PATH": PROBE_DIR})
        self.assertEqual(self.out.read_bytes(), b"precious")
        self.ok("record", "sim", "sim0", "--bytes", "4Ki", "-o", self.out, "--overwrite")
        self.assertEqual(self.out.read_bytes(), sim_bytes(0, 0, 4096))

    def test_sigmf_gaps_at_their_offsets(self):
        # 64-byte chunks far faster than the file takes them, one held at a
        # time: gaps. Each gap's offset and count must put the data back in
        # the stream's place: the bytes between two gaps continue the
        # counter pattern, and the next piece starts `dropped` chunks later.
        name = pathlib.Path(self.tmp.name) / "capture"
        result = tavo_command("record", "sim", "sim0:chunks=20000", "--chunk-size", "64", "--max-buffered-bytes",
                              "64", "--seconds", "60", "--sigmf", "--dtype", "<u2", "--channels", "2",
                              "--sample-rate", "1e6", "-o", f"{name}.sigmf-meta")
        self.assertEqual(result.returncode, 1, result.stderr)
        written, chunks, dropped = map(int, re.search(r"recorded (\d+) bytes in (\d+) chunks .* (\d+) dropped",
                                                      result.stderr.decode()).groups())
        self.assertGreater(dropped, 0)
        self.assertEqual((written, chunks + dropped), (64 * chunks, 20000))
        meta = json.loads(name.with_suffix(".sigmf-meta").read_text())
        self.assertEqual({key: meta["global"][key] for key in ("core:datatype", "core:num_channels",
                                                                "core:sample_rate", "core:recorder")},
                         {"core:datatype": "ru16_le", "core:num_channels": 2, "core:sample_rate": 1e6,
                          "core:recorder": "tavo 0.1.0"})
        self.assertTrue(meta["global"]["core:hw"].startswith("TAVO simulator device sim0"))
        gaps = [(note["tavo:byte_offset"], note["tavo:dropped"]) for note in meta["annotations"]]
        self.assertEqual(sum(count for _, count in gaps), dropped)
        data = name.with_suffix(".sigmf-data").read_bytes()
        self.assertEqual(len(data), written)
        position = cursor = 0  # in the stream, in the file
        for offset, count in gaps + [(written, 0)]:
            self.assertEqual(data[cursor:offset], sim_bytes(0, position, offset - cursor), (offset, count))
            position += offset - cursor + 64 * count
            cursor = offset
        self.assertEqual(self.ok("info", f"{name}.sigmf-data").splitlines()[4:],
                         [f"sample {offset // 4} (byte {offset}): {count} stream event(s) dropped"
                          for offset, count in gaps])

    def test_sigmf_metadata_however_the_recording_ends(self):
        # A file that may not grow past 100000 bytes, and a device error
        # after every chunk: the errors of chunks taken but never written
        # are noted at the file's end, the others at their chunk's end.
        name = pathlib.Path(self.tmp.name) / "limited"
        limit = 100000
        result = tavo_command("record", "sim", "sim0:error_every=1", "--bytes", "1M", "--sigmf", "-o", name,
                              preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit)))
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("File too large", result.stderr.decode())
        errors = int(re.search(r", (\d+) errors\n", result.stderr.decode()).group(1))
        meta = json.loads(name.with_suffix(".sigmf-meta").read_text())
        self.assertEqual(meta["global"]["core:datatype"], "ru8")
        self.assertEqual(len(meta["annotations"]), errors)
        self.assertGreater(errors, limit // 4096)
        for k, note in enumerate(meta["annotations"], 1):
            self.assertEqual((note["core:comment"], note["tavo:byte_offset"]),
                             (f"simulated error at chunk {k}", min(4096 * k, limit)))
        self.assertEqual(name.with_suffix(".sigmf-data").read_bytes(), sim_bytes(0, 0, limit))
        # SIGTERM: the metadata is written, for the bytes the file holds.
        process = tavo_process("record", "sim", "sim0:rate=200", "--seconds", "60", "--sigmf", "-o", name,
                               "--overwrite", stderr=subprocess.PIPE)
        data = name.with_suffix(".sigmf-data")
        self.assertTrue(wait_until(lambda: data.stat().st_size not in (0, limit)))
        self.assertFalse(name.with_suffix(".sigmf-meta").exists())  # --overwrite: the old one went with the data
        process.send_signal(signal.SIGTERM)
        _, stderr = process.communicate(timeout=30)
        self.assertEqual(process.returncode, 143, stderr)
        self.assertEqual(self.ok("info", f"{name}.sigmf-meta").splitlines()[1],
                         f"data: {data.stat().st_size} bytes, {data.stat().st_size} samples")

    def test_sigmf_usage(self):
        out = str(pathlib.Path(self.tmp.name) / "x")
        for extra, message in ((["--dtype", "<u2"], "--dtype describes a SigMF recording: it needs --sigmf"),
                               (["--channels", "2"], "--channels describes a SigMF recording: it needs --sigmf"),
                               (["--sample-rate", "1e6"], "--sample-rate describes a SigMF recording"),
                               (["--sigmf", "--sample-rate", "0"], "argument --sample-rate: 0 is not a positive"),
                               (["--sigmf", "--channels", "0"], "argument --channels: 0 is out of range"),
                               (["--sigmf", "--dtype", "<i8"], "argument --dtype: SigMF has no core datatype"),
                               (["--sigmf", "--dtype", "<u3"], "argument --dtype: unknown sample type '<u3'")):
            with self.subTest(extra=extra):
                self.fails(2, message, "record", "nosuch", "sim0", "--bytes", "1", "-o", out, *extra)
        self.fails(2, "--sigmf writes two files", "record", "nosuch", "sim0", "--bytes", "1", "--sigmf", "-o", "-")
        # An existing metadata file is refused as the data file is, before the stream starts.
        pathlib.Path(out + ".sigmf-meta").write_text("precious")
        self.fails(1, f"{out}.sigmf-meta exists; --overwrite replaces it",
                   "record", "sim", "sim0", "--bytes", "1", "--sigmf", "-o", out)
        self.assertEqual(sorted(os.listdir(self.tmp.name)), ["x.sigmf-meta"])

    def test_closed_standard_streams(self):
        self.fails(1, "tavo: error: stdout is closed", "record", "sim", "sim0", "--bytes", "1", "-o", "-",
                   printed=None, capture_output=False, stderr=subprocess.PIPE, preexec_fn=lambda: os.close(1))
        # Nowhere to say anything: the recording is made, and the status tells.
        result = tavo_command("record", "sim", "sim0", "--bytes", "5000", "-o", self.out, capture_output=False,
                              preexec_fn=lambda: os.close(2))
        self.assertEqual(result.returncode, 0)
        self.assertEqual(self.out.read_bytes(), sim_bytes(0, 0, 5000))


def read_fifo(path, timeout=30):
    """All that is written into the FIFO until its writer closes it. If no
    writer comes within `timeout`, a watchdog opens it for writing and
    closes it, so that the wait ends (with b"") instead of hanging."""
    watchdog = threading.Timer(timeout, lambda: os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK)))
    watchdog.start()
    try:
        with open(path, "rb") as reader:
            return reader.read()
    finally:
        watchdog.cancel()
        watchdog.join()


def read_terminal(fd):
    try:
        return os.read(fd, 4096)
    except OSError:  # EIO: the other side is closed
        return b""


if __name__ == "__main__":
    unittest.main()
