"""The `tavo` command, run as a user runs it (`python3.12 -m tavo ...` in a
subprocess): each subcommand's output, text and JSON, and each kind of
failure with its exit status (2 usage, 1 plugin or device) as one line
"tavo: error: ..." on stderr, never a traceback."""

import json
import os
import pathlib
import pty
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import support
from streams_support import wait_until
from test_stress import sim_bytes

PROBE_DIR = str(support.TEST_PLUGIN_DIR)


def tavo_command(*args, env=None, timeout=60, **kwargs):
    full_env = dict(os.environ, **(env or {}))
    return subprocess.run([sys.executable, "-m", "tavo", *map(str, args)], capture_output=True,
                          timeout=timeout, env=full_env, **kwargs)


class CommandTestCase(unittest.TestCase):
    def ok(self, *args, **kwargs):
        result = tavo_command(*args, **kwargs)
        self.assertEqual(result.returncode, 0, result.stderr.decode()[-2000:])
        return result.stdout.decode()

    def fails(self, status, message, *args, **kwargs):
        result = tavo_command(*args, **kwargs)
        stderr = result.stderr.decode()
        self.assertEqual(result.returncode, status, stderr)
        self.assertEqual(result.stdout, b"")
        # One line (so no traceback), after the summary of a recording.
        self.assertRegex(stderr, r"\A(tavo: recorded [^\n]+\n)?tavo: error: [^\n]+\n\Z")
        self.assertIn(message, stderr)


class HelpTest(CommandTestCase):
    def test_every_subcommand_has_help(self):
        for command in (["plugins"], ["devices"], ["info"], ["reg"], ["reg", "P", "D", "read"],
                        ["reg", "P", "D", "write"], ["record"]):
            with self.subTest(command=command):
                self.assertRegex(self.ok(*command, "--help"), rf"\Ausage: tavo {command[0]} ")
        self.fails(2, "the following arguments are required: COMMAND")


class PluginsTest(CommandTestCase):
    def test_lists_the_plugins_and_the_directories(self):
        out = self.ok("plugins", env={"TAVO_PLUGIN_PATH": PROBE_DIR})
        self.assertRegex(out, rf"(?m)^sim +{support.SIM}$")
        self.assertRegex(out, rf"(?m)^tp_probe +{PROBE_DIR}/libtp_probe.so$")
        listing = json.loads(self.ok("plugins", "--json", env={"TAVO_PLUGIN_PATH": PROBE_DIR}))
        self.assertEqual(listing["directories"], [PROBE_DIR, str(support.PLUGIN_DIR)])
        self.assertIn({"name": "sim", "path": str(support.SIM)}, listing["plugins"])


class DevicesAndInfoTest(CommandTestCase):
    def test_devices(self):
        out = self.ok("devices", "sim")
        self.assertTrue(out.startswith(f"manager:  TAVO simulator 0.1.0\nlocation: {support.SIM.resolve()}\n"), out)
        self.assertIn("  sim3\tsimulated acquisition device\n", out)
        listing = json.loads(self.ok("devices", support.SIM, "--json"))
        self.assertEqual(listing["devices"][0], "sim0\tsimulated acquisition device")
        self.assertEqual(len(listing["devices"]), 4)
        self.assertIn("error_every=", listing["options"])

    def test_info(self):
        self.assertEqual(self.ok("info", "sim", "sim2:memory=64"),
                         "info:   TAVO simulator device sim2, ID 0x54415630, firmware 1.0.0, memory 64 bytes, "
                         "default chunk 4096 bytes\nstatus: idle, 0 chunks produced\n")
        info = json.loads(self.ok("info", "tp_probe", "probe:status_text=none", "--json",
                                  env={"TAVO_PLUGIN_PATH": PROBE_DIR}))
        self.assertIsNone(info["status"])

    def test_plugin_and_device_failures(self):
        probe = {"TAVO_PLUGIN_PATH": PROBE_DIR}
        self.fails(1, f"plugin 'nosuch' not found; searched: {support.PLUGIN_DIR}", "devices", "nosuch")
        self.fails(1, "Device Manager does not have create_manager function", "devices", "tp_no_entry", env=probe)
        self.fails(1, "made no device manager", "devices", "tp_null_factory", env=probe)
        self.fails(1, "unknown device 'sim9'; valid devices: sim0, sim1, sim2, sim3", "info", "sim", "sim9")
        self.fails(1, "unknown option 'bogus'", "info", "sim", "sim0:bogus=1")
        # A plugin that makes no device: its device list, folded into the one line.
        self.fails(1, "no device 'none'", "info", "tp_probe", "none", env=probe)
        self.fails(1, "'utf-8' codec can't decode byte 0xff", "info", "tp_probe", "probe:bad_utf8=1", env=probe)
        self.fails(2, "required: PLUGIN", "devices")


class RegTest(CommandTestCase):
    def test_read(self):
        self.assertEqual(self.ok("reg", "sim", "sim2", "read", "0x4", "3"),
                         "0x0004 0x00010000\n0x0008 0x00100000\n0x000C 0x00000002\n")
        self.assertEqual(json.loads(self.ok("reg", "sim", "sim0", "read", "0", "--json")),
                         [{"addr": 0, "value": 0x54415630}])

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
        (["read", "0x1g"], "argument ADDR: not a number: '0x1g'"),
        (["read", "-4"], "argument ADDR: -4 is out of range 0..0xFFFFFFFF"),
        (["read", "0", "0"], "argument COUNT: 0 is not a positive number"),
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


class RecordTest(CommandTestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.out = pathlib.Path(self.tmp.name) / "stream.bin"

    def test_exact_byte_count(self):
        result = tavo_command("record", "sim", "sim0", "--bytes", "1000000", "-o", self.out)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.out.read_bytes(), sim_bytes(0, 0, 1000000))
        self.assertRegex(result.stderr.decode(),
                         rf"\Atavo: recorded 1000000 bytes in 245 chunks to {self.out} in .*, 0 dropped, 0 errors\n\Z")

    def test_stdout_seed_chunk_size_and_alignment(self):
        for extra in ([], ["--align", "3"]):
            with self.subTest(extra=extra):
                result = tavo_command("record", "sim", "sim0", "--bytes", "10001", "--addr", "0xFFFFFFF0",
                                      "--chunk-size", "1000", "-o", "-", *extra)
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
                   "record", "sim", "sim0:chunks=10,error_every=3", "--seconds", "30", "-o", self.out)
        # Counted up to the last byte written, not what the stream does before it is stopped.
        self.fails(1, ", 0 dropped, 9 errors\ntavo: error: 0 events dropped and 9 device errors",
                   "record", "sim", "sim0:error_every=1", "--bytes", "40960", "-o", self.out)
        # Accepted, the data is whole: the device's errors do not interrupt it.
        self.ok("record", "sim", "sim0:chunks=10,error_every=3", "--seconds", "30", "--allow-drops", "-o", self.out)
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

    def test_interrupt(self):
        process = subprocess.Popen([sys.executable, "-m", "tavo", "record", "sim", "sim0:rate=100", "--seconds", "60",
                                    "-o", self.out], stderr=subprocess.PIPE)
        self.assertTrue(wait_until(lambda: self.out.exists() and self.out.stat().st_size > 0))
        process.send_signal(signal.SIGINT)
        _, stderr = process.communicate(timeout=30)
        self.assertEqual(process.returncode, 130, stderr)
        self.assertRegex(stderr.decode(), r"\Atavo: recorded [1-9][0-9]* bytes in [^\n]*\n\Z")

    def test_progress_only_on_a_terminal_and_throttled(self):
        self.assertNotIn("\r", self.ok("record", "sim", "sim0:rate=1000", "--seconds", "0.5", "-o", self.out))
        main, terminal = pty.openpty()
        process = subprocess.Popen([sys.executable, "-m", "tavo", "record", "sim", "sim0:rate=1000", "--seconds",
                                    "1.2", "-o", self.out], stderr=terminal)
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
        self.fails(1, "No such file or directory", "record", "sim", "sim0", "--bytes", "1", "-o", self.out / "x")
        self.fails(1, "unknown device 'sim9'", "record", "sim", "sim9", "--bytes", "1", "-o", self.out)
        self.fails(1, "stream refused", "record", "tp_probe", "probe:stream=throw", "--bytes", "1", "-o", self.out,
                   env={"TAVO_PLUGIN_PATH": PROBE_DIR})
        self.assertFalse(self.out.exists())  # a device or stream refused leaves no file behind


def read_terminal(fd):
    try:
        return os.read(fd, 4096)
    except OSError:  # EIO: the other side is closed
        return b""


if __name__ == "__main__":
    unittest.main()
