"""The example programs, run as a user would against the simulator, with
short settings: each finishes with status 0 and reports what it checked.
(The register and record tools are the `tavo` command now: test_cli.)"""

import pathlib
import subprocess
import sys
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

    def test_python_device(self):
        out = self.check(run_example("python_device.py"))
        self.assertIn("set_register, send_registers, read_registers, get_register", out)
        self.assertIn("write, read", out)
        self.assertIn("same results", out)


if __name__ == "__main__":
    unittest.main()
