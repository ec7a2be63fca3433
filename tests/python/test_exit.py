"""Interpreter exit while streams run: every way of leaving a program ends
promptly, with its own exit status and nothing printed by a dying thread."""

import unittest

import support

PRELUDE = """
import sys, threading, time
import pytavo_device as tavo
import support
device = support.probe_device("script=repeat:1000000:64")
"""

SCENARIOS = {
    "return from main while delivering": ("""
calls = []
stream = device.start_read_stream(0, lambda b, t: calls.append(1))
while len(calls) < 100: time.sleep(0.01)
""", 0),
    "sys.exit while delivering": ("""
calls = []
streams = [device.start_read_stream(0, lambda b, t: calls.append(1)),
           support.probe_device("script=repeat:1000000:64").start_aligned_read_stream(0, 8, lambda b, t: None)]
while len(calls) < 100: time.sleep(0.01)
sys.exit(3)
""", 3),
    "uncaught exception while delivering": ("""
calls = []
stream = device.start_read_stream(0, lambda b, t: calls.append(1))
while len(calls) < 100: time.sleep(0.01)
raise KeyError("the program failed")
""", 1),
    "callback blocked forever": ("""
entered = threading.Event()
def blocked(b, t):
    entered.set()
    threading.Event().wait()
stream = device.start_read_stream(0, blocked)
entered.wait()
""", 0),
    "callback sleeping, queue full": ("""
entered = threading.Event()
def sleepy(b, t):
    entered.set()
    time.sleep(0.2)
stream = device.start_read_stream(0, sleepy, 0, 100000)
entered.wait()
time.sleep(0.5)
""", 0),
    "stream dropped while delivering, then exit": ("""
calls = []
stream = device.start_read_stream(0, lambda b, t: calls.append(1))
while len(calls) < 100: time.sleep(0.01)
del stream
sys.exit(0)
""", 0),
    "kept ManagedBuffer and a running stream at exit": ("""
kept = []
stream = device.start_read_stream(0, lambda b, t: kept.append(b) if len(kept) < 10 else None)
while len(kept) < 10: time.sleep(0.01)
""", 0),
}


class ExitTest(unittest.TestCase):
    def test_scenarios(self):
        # Each runs a few times: the faults this catches are races with the
        # interpreter's finalization.
        for (name, (body, status)), attempt in ((s, a) for s in SCENARIOS.items() for a in range(3)):
            with self.subTest(name, attempt=attempt):
                result = support.run_python(PRELUDE + body, timeout=30)
                self.assertEqual(result.returncode, status, result.stderr[-2000:])
                for text in ("terminate called", "FATAL", "Fatal Python error", "Error in callback"):
                    self.assertNotIn(text, result.stderr)
                if status == 1:
                    self.assertIn("KeyError: 'the program failed'", result.stderr)


if __name__ == "__main__":
    unittest.main()
