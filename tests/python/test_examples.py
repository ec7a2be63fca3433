"""The example programs, run as a user would against the simulator, with
short settings: each finishes with status 0 and reports what it checked;
the register tool refuses bad input with a message and a non-zero status."""

import os
import pathlib
import subprocess
import sys
import tempfile
import unittest

import support

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def run_example(name, *args, timeout=120):
    return subprocess.run([sys.executable, str(EXAMPLES / name), str(support.SIM), *args],
                          capture_output=True, text=True, timeout=timeout, cwd=EXAMPLES)


class ExamplesRunTest(unittest.TestCase):
    def check(self, result):
        self.assertEqual(result.returncode, 0, result.stdout[-2000:] + result.stderr[-2000:])
        return result.stdout

    def test_acquire(self):
        out = self.check(run_example("acquire.py", "--seconds", "0.5"))
        self.assertIn("data continuous", out)

    def test_register_tool(self):
        out = self.check(run_example("registers.py", "dump"))
        self.assertRegex(out, r"0x0000 ID +0x54415630")
        self.assertEqual(len(out.splitlines()), 16)  # the simulator's whole map
        out = self.check(run_example("registers.py", "--device", "sim2", "read", "DEVICE_INDEX"))
        self.assertRegex(out, r"^0x000C DEVICE_INDEX +0x00000002")
        # masked write on top of the register's 0: only the masked bits land
        out = self.check(run_example("registers.py", "write", "0x14", "0xFFFFCAFE", "0x0000FFFF"))
        self.assertRegex(out, r"^0x0014 SCRATCH1 +0x0000CAFE")

    def test_python_device(self):
        out = self.check(run_example("python_device.py"))
        self.assertIn("set_register, send_registers, read_registers, get_register", out)
        self.assertIn("write, read", out)
        self.assertIn("same results", out)

    def test_record(self):
        with tempfile.TemporaryDirectory() as tmp:
            output = os.path.join(tmp, "stream.bin")
            out = self.check(run_example("record.py", output, "--chunks", "40", "--chunk", "4096", "--rate", "0"))
            self.assertEqual(os.path.getsize(output), 40 * 4096)
            self.assertIn(f"verified: all {40 * 4096} bytes", out)

    def test_record_verification_sees_corruption(self):
        sys.path.insert(0, str(EXAMPLES))
        try:
            import record
        finally:
            sys.path.remove(str(EXAMPLES))
        with tempfile.TemporaryDirectory() as tmp:
            output = os.path.join(tmp, "stream.bin")
            self.check(run_example("record.py", output, "--chunks", "8", "--rate", "0", "--seed", "7"))
            self.assertEqual(record.verify(output, 7), (8 * 65536, 0))
            self.assertEqual(record.verify(output, 8), (8 * 65536, 1))  # other seed: other content
            with open(output, "r+b") as f:
                f.seek(300000)
                byte = f.read(1)
                f.seek(300000)
                f.write(bytes([byte[0] ^ 1]))
            self.assertEqual(record.verify(output, 7, piece=65536), (8 * 65536, 1))


class RegisterToolRefusalTest(unittest.TestCase):
    CASES = [
        (["read", "0x1g"], 2, "not a number: '0x1g'"),
        (["read", "-4"], 2, "out of range"),
        (["write", "0x10", "4294967296"], 2, "4294967296 is out of range"),
        (["write", "0x10", "1", "0x1FFFFFFFF"], 2, "out of range"),
        (["write", "0x10"], 2, "the following arguments are required: VALUE"),
        (["erase", "0"], 2, "invalid choice: 'erase'"),
        ([], 2, "the following arguments are required"),
        (["--device", "sim9", "dump"], 1, "unknown device 'sim9'"),
        (["--device", "sim0:bogus=1", "dump"], 1, "unknown option 'bogus'"),
        (["write", "ID", "1"], 1, "refused the write to 0x0000 (send_registers returned Failure)"),
        (["write", "0x1000", "1"], 1, "refused the write to 0x1000"),
    ]

    def test_bad_input(self):
        for args, status, message in self.CASES:
            with self.subTest(args=args):
                result = run_example("registers.py", *args)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertEqual(result.stdout, "")
                self.assertNotIn("Traceback", result.stderr)

    def test_missing_plugin(self):
        result = subprocess.run([sys.executable, str(EXAMPLES / "registers.py"), "/nonexistent/plugin.so", "dump"],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 1)
        self.assertIn("Device Manager not found: /nonexistent/plugin.so", result.stderr)


if __name__ == "__main__":
    unittest.main()
