"""Every order of releasing the manager, the device, the stream and the kept
buffers (with and without stop, with gc between, with a reference cycle
through the callback), and leaving everything to the interpreter's exit.
Each batch runs in its own interpreter, which must exit with status 0 and
print nothing a dying process prints."""

import os
import subprocess
import sys
import unittest

import support

BATCH = r"""
import gc, itertools, sys, threading, time, weakref
import pytavo_device as tavo
import support

PLUGIN, CYCLE = sys.argv[1], sys.argv[2] == "cycle"

class Holder:
    # The callback is a bound method: the stream's native side holds the
    # holder, and with CYCLE the holder holds the stream.
    def __init__(self):
        self.kept = []
        self.got_data = threading.Event()
        self.ended = threading.Event()
        self.stream = None
    def on_chunk(self, buffer, text):
        if buffer is not None:
            if len(self.kept) < 2:
                self.kept.append(buffer)
            self.got_data.set()
        elif text is None:
            self.ended.set()

def make():
    if PLUGIN == "sim":
        manager = tavo.get_device_manager(str(support.SIM))
        device = manager.create_device("sim0:chunk=256,rate=1000")
    else:
        manager = support.probe_manager()
        device = manager.create_device("probe:script=owned:64/owned:64/wait")
    holder = Holder()
    stream = device.start_read_stream(0, holder.on_chunk)
    if CYCLE:
        holder.stream = stream
    if not holder.got_data.wait(10):
        raise SystemExit("no data")
    objects = {"manager": manager, "device": device, "stream": stream, "view": memoryview(holder.kept[0])}
    return objects, holder

def scenario(order, stop, collect):
    objects, holder = make()
    watch = weakref.ref(holder)
    if stop:
        objects["stream"].stop()
        if not holder.ended.wait(10):
            raise SystemExit(f"{order}: no end after stop")
    for name in order:
        if name == "buffers":
            del objects["view"]
            holder.kept.clear()
        else:
            del objects[name]
        if collect:
            gc.collect()
    del holder
    gc.collect()
    if CYCLE and not stop:
        # The native side holds the callback, which gc cannot see: the cycle
        # lives until the stream ends. End it, so that the batch does not pile
        # up running streams (the ones left to the exit are made below).
        if watch() is None:
            raise SystemExit(f"{order}: a running stream let go of its callback")
        watch().stream.stop()
    deadline = time.monotonic() + 10
    while watch() is not None and time.monotonic() < deadline:
        time.sleep(0.002)
        gc.collect()
    if watch() is not None:
        raise SystemExit(f"{order} stop={stop} collect={collect}: the callback was never released")

count = 0
for order in itertools.permutations(["manager", "device", "stream", "buffers"]):
    for stop in (False, True):
        for collect in (False, True):
            scenario(order, stop, collect)
            count += 1

# Left to the exit: nothing released, streams running, buffers and views kept.
left = [make() for _ in range(3)]
print("scenarios", count, flush=True)
"""


class LifetimeTest(unittest.TestCase):
    def test_release_orders_and_exit(self):
        for plugin in ("sim", "probe"):
            for cycle in ("plain", "cycle"):
                with self.subTest(plugin=plugin, cycle=cycle):
                    result = subprocess.run([sys.executable, "-c", BATCH, plugin, cycle], capture_output=True,
                                            text=True, timeout=240, env=dict(os.environ))
                    self.assertEqual(result.returncode, 0, result.stdout[-500:] + result.stderr[-3000:])
                    self.assertIn("scenarios 96", result.stdout)
                    for text in ("terminate called", "Fatal Python error", "Sanitizer", "runtime error:",
                                 "Error in callback", "Exception ignored"):
                        self.assertNotIn(text, result.stderr)

    def test_stream_released_on_its_own_worker_frees_its_queue(self):
        # The stream's owner is the callback's object, and the callback drops
        # the stream with chunks still queued: the stream, its sink and the
        # queue are destroyed on the stream's worker. Every chunk the device
        # made must be released.
        result = support.run_python(r"""
import threading, time
import support
class Owner:
    def __init__(self, device):
        self.dropped = threading.Event()
        self.stream = device.start_read_stream(0, self.on_chunk)
    def on_chunk(self, buffer, text):
        if self.stream is not None:
            time.sleep(0.05)
            self.stream = None
            self.dropped.set()
device = support.probe_device("script=repeat:200:64/wait")
owner = Owner(device)
assert owner.dropped.wait(10)
del owner
for _ in range(500):
    info = support.probe_info(device)
    if info["chunks_released"] == info["chunks_allocated"]:
        break
    time.sleep(0.01)
print("allocated", info["chunks_allocated"], "released", info["chunks_released"])
""", timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr[-2000:])
        self.assertIn("allocated 200 released 200", result.stdout)


# A child forked while a paced simulator stream runs drops the stream it
# inherited: its producer and worker do not exist in the child. Every other
# child first starts a stream of its own, whose threads take over the records
# of the parent's threads: joining an inherited thread would then wait for
# one of the child's (a hang) or fail inside a destructor (an abort).
FORK = r"""
import os, sys, threading, time, warnings
import pytavo_device as tavo
import support

warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
device = tavo.get_device_manager(str(support.SIM)).create_device("sim0:chunk=64,rate=20")

def started():
    got = threading.Event()
    stream = device.start_read_stream(0, lambda buffer, text: got.set())
    if not got.wait(10):
        raise SystemExit("no data")
    return stream

for attempt in range(12):
    stream = started()
    pid = os.fork()
    if pid == 0:
        own = started() if attempt % 2 else None
        del stream
        if own is not None:
            own.stop()
            del own
        os._exit(0 if device.get_status().startswith("idle") else 3)
    deadline = time.monotonic() + 5
    while (done := os.waitpid(pid, os.WNOHANG))[0] == 0:
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            raise SystemExit(f"attempt {attempt}: the child hung dropping the stream")
        time.sleep(0.01)
    if os.waitstatus_to_exitcode(done[1]) != 0:
        raise SystemExit(f"attempt {attempt}: the child ended with {os.waitstatus_to_exitcode(done[1])}")
    stream.stop()
print("forks", attempt + 1)
"""


class ForkTest(unittest.TestCase):
    def test_child_drops_an_inherited_paced_stream(self):
        result = subprocess.run([sys.executable, "-c", FORK], capture_output=True, text=True, timeout=120,
                                env=dict(os.environ))
        self.assertEqual(result.returncode, 0, result.stdout[-500:] + result.stderr[-3000:])
        self.assertIn("forks 12", result.stdout)


if __name__ == "__main__":
    unittest.main()
