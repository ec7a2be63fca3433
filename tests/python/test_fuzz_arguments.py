"""Random arguments to every function and method of the module: only the
documented exceptions come back, and the interpreter survives. The fuzz runs
in a subprocess (a crash fails the test and names the seed), bounded by time
(TAVO_FUZZ_SECONDS, default 3) and seeded (TAVO_FUZZ_SEED, default fixed)."""

import os
import unittest

import support

FUZZ_BODY = r"""
import array, ctypes, gc, os, random, sys, time
import pytavo_device as tavo
import support

seed = int(sys.argv[1]) if len(sys.argv) > 1 else int(os.environ["TAVO_FUZZ_SEED"])
seconds = float(os.environ.get("TAVO_FUZZ_SECONDS", "3"))
rng = random.Random(seed)
print("seed", seed, flush=True)

ALLOWED = (TypeError, ValueError, RuntimeError, BufferError, MemoryError, OverflowError)

sim_manager = tavo.get_device_manager(str(support.SIM))
probe_manager = support.probe_manager()
kept_buffers = []
def keeper(buffer, text):
    if buffer is not None and len(kept_buffers) < 8:
        kept_buffers.append(buffer)
sim = sim_manager.create_device("sim0:memory=4096,chunks=20,chunk=256")
probe = support.probe_device("script=owned:64/view:32/stop")
class Partial(tavo.Device):
    def get_register(self, addr):
        return addr
python_device = Partial()
bare_device = tavo.Device()
# Kept past their callbacks: ManagedBuffers stay valid, DataViews turn empty.
streams = [sim.start_read_stream(0, keeper), sim.start_aligned_read_stream(0, 8, keeper)]
time.sleep(0.2)

def ints():
    return rng.choice([0, 1, -1, 7, 63, 64, 4096, 2**31 - 1, 2**31, -2**31, -2**31 - 1, 2**32 - 1, 2**32,
                       2**63, 2**64 - 1, 2**64, -2**64, 10**30, rng.randrange(-2**70, 2**70), True])

def texts():
    return rng.choice(["", "sim0", "sim0:chunks=1", "probe", "\0", "a\0b", "\ud800", "\udcff",
                       "\U0001f600", "x" * 300, "sim0:memory=0", str(support.SIM), "/", "/dev/null",
                       "/nonexistent", "probe:script=owned:8/stop", "probe:status=7"])

def buffers():
    raw = bytearray(rng.randrange(0, 40))
    choice = rng.randrange(16)
    if choice == 0: return bytes(raw)
    if choice == 1: return raw
    if choice == 2: return memoryview(raw)
    if choice == 3: return memoryview(bytes(raw))
    if choice == 4: return memoryview(bytearray(16)).cast("I")
    if choice == 5: return memoryview(bytearray(16)).cast("B", shape=[4, 4])
    if choice == 6: return memoryview(bytearray(16))[::2]
    if choice == 7: return memoryview(bytearray(16)).toreadonly()
    if choice == 8: return array.array("B", raw)
    if choice == 9: return array.array("d", [1.0, 2.0])
    if choice == 10: return array.array("h", [1, 2, 3])
    if choice == 11: return (ctypes.c_uint8 * 8)()
    if choice == 12: return (ctypes.c_double * 2)()
    if choice == 13: return ctypes.create_string_buffer(5)
    if choice == 14: return memoryview(b"")
    return memoryview(bytearray(24)).cast("B", shape=[2, 3, 4])

def callables():
    return rng.choice([keeper, lambda b, t: None, lambda: None, print, None, 5, object()])

def value(depth=0):
    kind = rng.randrange(10)
    if kind < 3: return ints()
    if kind == 3: return texts()
    if kind == 4: return buffers()
    if kind == 5: return callables()
    if kind == 6: return rng.choice([None, 1.5, float("nan"), float("inf"), object(), tavo.ReturnCode.Success,
                                     tavo.ReturnCode.Failure, sim, probe, type, str, Ellipsis])
    if kind == 7: return texts().encode("utf-8", "surrogatepass")
    if kind == 8 and depth < 2: return rng.choice([list, tuple, lambda items: {"key": items[0]}])([value(depth + 1)])
    return rng.choice([os.fsencode(str(support.SIM)), support.SIM, bytearray(b"sim0")])

KEYWORDS = ["addr", "value", "mask", "callback", "chunk_size", "max_queue_elements", "alignment", "data",
            "name", "path", "flags", "state", "bogus", ""]

# Memory bombs that are not faults: a huge chunk size or alignment is taken
# at its word by the simulator and the alignment buffer. Only sizes past
# what a buffer can have (refused before allocating) are left huge; ASan's
# operator new aborts where the plain one throws std::bad_alloc.
def tame(name, args):
    if not name.startswith("start_"):
        return args
    return [4096 if isinstance(a, int) and not isinstance(a, bool) and 2**16 < a < 2**63 else a for a in args]

def targets():
    stream = rng.choice(streams) if streams else None
    return [
        ("get_device_manager", tavo.get_device_manager),
        ("ReturnCode", tavo.ReturnCode),
        ("ReturnCode.__setstate__", tavo.ReturnCode(0).__setstate__),
        ("ReturnCode.__eq__", tavo.ReturnCode.Success.__eq__),
        ("ReturnCode.__init__", tavo.ReturnCode.Success.__init__),
        ("ReturnCode.__ne__", tavo.ReturnCode.Failure.__ne__),
        ("DataStream", tavo.DataStream), ("ManagedBuffer", tavo.ManagedBuffer), ("DataView", tavo.DataView),
        ("DeviceManager", tavo.DeviceManager),
    ] + [(f"manager.{m}", getattr(sim_manager, m)) for m in
         ("info", "location", "list_devices", "get_device_options", "create_device")] + [
        (f"probe_manager.create_device", probe_manager.create_device)
    ] + [(f"device.{m}", getattr(d, m)) for d in (sim, probe, python_device, bare_device) for m in
         ("set_register_sync", "set_register", "send_registers", "get_register_sync", "get_register",
          "read_registers", "trigger", "write", "read", "start_read_stream", "start_aligned_read_stream",
          "get_status", "get_info", "__repr__", "__init__")] + ([
        ("stream.stop", stream.stop), ("stream.__enter__", stream.__enter__), ("stream.__exit__", stream.__exit__)
    ] if stream else []) + [(f"buffer.{m}", getattr(b, m)) for b in kept_buffers[::3] for m in
                            ("__buffer__", "__release_buffer__")]

deadline = time.monotonic() + seconds
calls = 0
outcomes = {}
while time.monotonic() < deadline:
    name, target = rng.choice(targets())
    args = tame(name, [value() for _ in range(rng.choice([0, 1, 2, 3, 3, 4, 5, 6]))])
    kwargs = {rng.choice(KEYWORDS): value() for _ in range(rng.choice([0, 0, 0, 1, 2]))}
    try:
        result = target(*args, **kwargs)
    except ALLOWED as error:
        outcomes[type(error).__name__] = outcomes.get(type(error).__name__, 0) + 1
    except BaseException as error:
        print(f"call {calls}: {name}(*{args!r}, **{kwargs!r}) raised {error!r}", flush=True)
        sys.exit(3)
    else:
        outcomes["ok"] = outcomes.get("ok", 0) + 1
        if isinstance(result, tavo.DataStream):
            streams.append(result)
            if len(streams) > 6:
                streams.pop(0).stop()
        elif isinstance(result, tavo.DeviceManager):
            result.info()
        elif isinstance(result, memoryview):
            result.release()
    calls += 1
    if calls % 200 == 0:
        gc.collect()

for stream in streams:
    stream.stop()
for buffer in kept_buffers:
    bytes(buffer)
print("calls", calls, "outcomes", sorted(outcomes.items()), flush=True)
"""


class FuzzArgumentsTest(unittest.TestCase):
    def test_random_arguments(self):
        seed = int(os.environ.get("TAVO_FUZZ_SEED", "20240601"))
        seconds = float(os.environ.get("TAVO_FUZZ_SECONDS", "3"))
        result = support.run_python(FUZZ_BODY, timeout=seconds * 10 + 60,
                                    env={"TAVO_FUZZ_SEED": str(seed), "TAVO_FUZZ_SECONDS": str(seconds)})
        report = f"seed {seed}, status {result.returncode}\n{result.stdout[-3000:]}\n{result.stderr[-3000:]}"
        self.assertEqual(result.returncode, 0, report)
        for text in ("terminate called", "Fatal Python error", "runtime error:", "ERROR: AddressSanitizer"):
            self.assertNotIn(text, result.stderr, report)
        # The fuzz reached the devices: some calls succeeded, some were refused.
        self.assertIn("'ok'", result.stdout, report)
        self.assertIn("'TypeError'", result.stdout, report)


if __name__ == "__main__":
    unittest.main()
