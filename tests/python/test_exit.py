"""Interpreter exit while streams run: every way of leaving a program ends
promptly, with its own exit status and nothing printed by a dying thread."""

import concurrent.futures
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


# Races with the interpreter's finalization: each scenario runs in many
# fresh interpreters, two at a time.
DYING_TEXTS = ("terminate called", "FATAL", "Fatal Python error", "Sanitizer")

# Daemon threads inside DataStream.stop(), __exit__ and a stream's release
# (taking the lock back) while the main thread returns.
DAEMONS_STOPPING = """
import threading, time
import support
def churn(kind):
    device = support.probe_device("script=wait,on_stop=nothing" if kind == "none" else "script=repeat:1000000:64")
    while True:
        stream = device.start_read_stream(0, None if kind == "none" else (lambda b, t: None))
        if kind == "with":
            with stream:
                pass
        elif kind != "del":
            stream.stop()
        del stream
for kind in ("stop", "with", "del", "none", "stop", "del"):
    threading.Thread(target=churn, args=(kind,), daemon=True).start()
time.sleep(0.2)
"""

# A daemon thread inside create_device (which runs with the lock released)
# while the main thread returns, and finalization that runs Python code long
# enough for a waiting thread to be handed the lock back.
DAEMON_CREATING = """
import threading
import support
manager = support.probe_manager()
def churn():
    while True:
        manager.create_device("probe")
threading.Thread(target=churn, daemon=True).start()
class SlowTeardown:
    def __del__(self):
        for _ in range(2_000_000):
            pass
slow = SlowTeardown()
"""

# A dozen streams delivering while the main thread returns, all on one
# processor, so that a worker is often held off it between deciding to
# deliver and taking the lock while the interpreter finalizes.
MANY_DELIVERING = """
import os
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
import support
streams = [support.probe_device("script=repeat:1000000:64").start_read_stream(0, lambda b, t: None)
           for _ in range(12)]
"""

# An atexit handler registered before the first stream start stops the
# stream and drains it: deliveries go on while atexit handlers run.
DRAINED_AT_EXIT = """
import atexit, threading, time
import support
chunks, ended = [], threading.Event()
def on_chunk(buffer, text):
    if buffer is not None:
        chunks.append(memoryview(buffer).nbytes)
        time.sleep(0.001)
    elif text is None:
        ended.set()
def drain():
    stream.stop()
    seen_end = ended.wait(5)
    print("drained", len(chunks), seen_end, flush=True)
atexit.register(drain)
stream = support.probe_device("script=repeat:300:64/wait").start_read_stream(0, on_chunk)
"""


# A stream dropped by its own callback, whose object's __del__ (run by the
# callback's release, on the worker) outlasts the exit's 5 s wait for it;
# the interpreter's teardown of sys.modules then outlasts that __del__, which
# asks for the lock back while the interpreter finalizes. The interpreter
# ends the worker there; it must not be unwound through a frame that cannot
# be left (an abort).
RELEASE_OUTLASTING_EXIT = """
import sys, threading, time
import support
deleting = threading.Event()
class Owner:
    def __init__(self, device):
        self.stream = device.start_read_stream(0, self)
    def __call__(self, buffer, text):
        self.stream = None
    def __del__(self):
        deleting.set()
        time.sleep(6)
class SlowTeardown:
    def __del__(self, sleep=time.sleep):
        sleep(2.5)
Owner(support.probe_device("script=repeat:1000000:64"))
assert deleting.wait(10)
sys.modules["slow_teardown"] = SlowTeardown()
"""


class ExitRaceTest(unittest.TestCase):
    def exits(self, code, runs, status=0):
        """Runs `code` in `runs` interpreters; each must exit with `status`."""
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            results = list(pool.map(lambda _: support.run_python(code, timeout=60), range(runs)))
        for attempt, result in enumerate(results):
            with self.subTest(attempt=attempt):
                self.assertEqual(result.returncode, status, result.stderr[-2000:])
                for text in DYING_TEXTS:
                    self.assertNotIn(text, result.stderr)
        return results

    def test_daemon_threads_taking_the_lock_back_at_exit(self):
        self.exits(DAEMONS_STOPPING, 12)

    def test_daemon_thread_creating_devices_at_exit(self):
        self.exits(DAEMON_CREATING, 12)

    def test_workers_delivering_at_exit(self):
        self.exits(MANY_DELIVERING, 30)

    def test_callback_release_outlasting_the_exit_wait(self):
        self.exits(RELEASE_OUTLASTING_EXIT, 2)

    def test_atexit_handler_drains_a_stream(self):
        result, = self.exits(DRAINED_AT_EXIT, 1)
        self.assertIn("drained 300 True", result.stdout)


if __name__ == "__main__":
    unittest.main()
