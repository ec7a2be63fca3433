"""The `tavo` package: plugins found by name (in the build tree, through
TAVO_PLUGIN_PATH, and in an installed prefix), status results as exceptions,
and StreamReader: complete ordered data by every way of reading, errors and
overflows at their place, bounded memory, and nothing left running or
waiting after the reader is left, dropped or interrupted."""

import array
import asyncio
import math
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import tracemalloc
import unittest
from unittest import mock

import pytavo_device
import tavo

import support

RC = pytavo_device.ReturnCode
BUILD = pathlib.Path(os.environ.get("PYTHONPATH", "").split(os.pathsep)[0]).resolve().parent
CHUNKS_PRODUCED = 0x34


def pattern(seed, count):
    """The simulator's first `count` stream bytes for `seed`: byte i is byte
    i mod 4 of the little-endian uint32 seed + i // 4."""
    words = array.array("I", ((seed + k) & 0xFFFFFFFF for k in range((count + 3) // 4)))
    if sys.byteorder != "little":
        words.byteswap()
    return words.tobytes()[:count]


def os_threads():
    return len(os.listdir("/proc/self/task"))


def run_scenario(code, timeout=60):
    """Runs `code` in a fresh interpreter; a hang fails the test instead of
    hanging it."""
    result = support.run_python(code, timeout=timeout)
    if result.returncode != 0:
        raise AssertionError(f"scenario failed ({result.returncode}):\n{result.stdout}{result.stderr[-3000:]}")
    return result.stdout


class PluginSearchTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.a = pathlib.Path(self.tmp.name) / "a"
        self.b = pathlib.Path(self.tmp.name) / "b"
        self.a.mkdir()
        self.b.mkdir()
        probe = support.test_plugin("tp_probe")
        for path in (self.a / "libfoo.so", self.b / "libtavo_foo.so", self.b / "libtavo_bar.so",
                     self.b / "libbar.so", self.b / "baz.so", self.b / "libtavo_sim.so"):
            shutil.copy(probe, path)
        self.own = support.SIM.resolve().parent

    def env(self, value):
        return mock.patch.dict(os.environ, {tavo.PLUGIN_PATH_VARIABLE: value})

    def test_path_order_then_name_patterns(self):
        with self.env(os.pathsep.join(["", str(self.a), "", str(self.b), ""])):
            self.assertEqual(tavo.plugin_dirs(), [self.a, self.b, self.own])
            self.assertEqual(tavo.find_plugin("foo"), self.a / "libfoo.so")  # directory order first
            self.assertEqual(tavo.find_plugin("bar"), self.b / "libtavo_bar.so")  # then libtavo_, lib, bare
            self.assertEqual(tavo.find_plugin("baz"), self.b / "baz.so")
            self.assertEqual(tavo.find_plugin("sim"), self.b / "libtavo_sim.so")  # the path before our own
            self.assertEqual(tavo.list_plugins(), [("foo", self.a / "libfoo.so"), ("baz", self.b / "baz.so"),
                                                   ("bar", self.b / "libtavo_bar.so"), ("sim", self.b / "libtavo_sim.so"),
                                                   ("remote", self.own / "libtavo_remote.so")])
        with self.env(""):
            self.assertEqual(tavo.list_plugins(), [("remote", self.own / "libtavo_remote.so"),
                                                   ("sim", self.own / "libtavo_sim.so")])

    def test_not_found_names_the_directories(self):
        with self.env(str(self.a)), self.assertRaises(FileNotFoundError) as caught:
            tavo.find_plugin("nothing")
        self.assertIn(str(self.a), str(caught.exception))
        self.assertIn(str(self.own), str(caught.exception))
        with self.assertRaises(FileNotFoundError):
            tavo.find_plugin(self.a / "libnothing.so")
        self.assertEqual(tavo.find_plugin(str(self.b / "baz.so")), self.b / "baz.so")  # a file is taken as it is

    def test_short_names_only_on_the_path(self):
        # A file in the working directory named like a plugin is not the
        # plugin (a shared folder must not be able to stand in for it); with
        # a "/" it is a path. A directory that cannot be searched (a name too
        # long stands for one without permission, which root would read) is
        # skipped, and named.
        unsearchable = self.a / ("x" * 300)
        shutil.copy(support.test_plugin("tp_probe"), self.a / "sim")
        cwd = os.getcwd()
        os.chdir(self.a)
        self.addCleanup(os.chdir, cwd)
        with self.env(os.pathsep.join([str(unsearchable), str(self.b)])):
            self.assertEqual(tavo.find_plugin("sim"), self.b / "libtavo_sim.so")
            self.assertEqual(tavo.find_plugin("./sim"), pathlib.Path("sim"))
            self.assertEqual([name for name, _ in tavo.list_plugins()], ["baz", "bar", "foo", "sim", "remote"])
            self.assertEqual(tavo.unreadable_plugin_dirs(), [(unsearchable, "File name too long")])

    def test_out_of_tree_plugin_by_short_name(self):
        with self.env(str(support.TEST_PLUGIN_DIR)):
            device = tavo.open_device("tp_probe", "probe")
            self.assertEqual(device.get_register_sync(0x10), 0)
            with self.assertRaises(LookupError) as caught:  # tp_faults: "arm:..." makes no device
                tavo.open_device("tp_faults", "arm:info=runtime")
            self.assertIn("faults", str(caught.exception))

    def test_build_tree_without_environment(self):
        env = {k: v for k, v in os.environ.items() if not k.startswith("TAVO_")}
        code = ("import tavo; d = tavo.open_device('sim', 'sim0:chunks=100');"
                "print(hex(d.get_register_sync(0)), tavo.plugin_dirs())")
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=env,
                                cwd="/")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, f"0x54415630 [PosixPath('{self.own}')]\n")

    @unittest.skipIf(shutil.which("cmake") is None, "cmake is not installed")
    def test_installed_prefix_finds_its_own_simulator_after_a_move(self):
        prefix = pathlib.Path(self.tmp.name) / "prefix"
        install = subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(prefix)],
                                 capture_output=True, text=True, timeout=300)
        self.assertEqual(install.returncode, 0, install.stdout + install.stderr)
        moved = pathlib.Path(self.tmp.name) / "moved"
        prefix.rename(moved)
        site = moved / "lib" / f"python{sys.version_info.major}.{sys.version_info.minor}" / "site-packages"
        self.assertTrue((site / "tavo" / "py.typed").is_file())
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "PYTHONPATH": str(site),
               "PYTHONDONTWRITEBYTECODE": "1"}
        code = ("import tavo; d = tavo.open_device('sim', 'sim0:chunks=100');"
                "print(tavo.__file__, tavo.find_plugin('sim'), hex(d.get_register_sync(0)))")
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=env,
                                cwd=self.tmp.name)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.split(), [str(site / "tavo" / "__init__.py"),
                                                 str(moved / "lib/tavo/plugins/libtavo_sim.so"), "0x54415630"])


class CheckTest(unittest.TestCase):
    def test_only_success_passes(self):
        self.assertIsNone(tavo.check(RC.Success, "send_registers"))
        device = tavo.open_device("sim", "sim0")
        with self.assertRaises(tavo.DeviceError) as caught:  # ID is read-only: the write is refused
            tavo.check(device.set_register_sync(0x0, 1, 0xFFFFFFFF), "set_register_sync")
        self.assertEqual((caught.exception.operation, caught.exception.code), ("set_register_sync", RC.Failure))
        self.assertEqual(str(caught.exception), "set_register_sync failed: Failure (1)")
        with self.assertRaises(tavo.DeviceError) as caught:  # any status other than Success
            tavo.check(RC(7))
        self.assertEqual((caught.exception.operation, int(caught.exception.code)), (None, 7))
        with self.assertRaises(TypeError):
            tavo.check(None)
        with self.assertRaises(tavo.DeviceError) as caught:
            tavo.check(RC.Failure, "set_register_sync", addr=0x10, value=0xCAFE)
        self.assertEqual(str(caught.exception), "set_register_sync at 0x0010 with value 0x0000CAFE failed: Failure (1)")
        self.assertEqual((caught.exception.addr, caught.exception.value), (0x10, 0xCAFE))


class PackageSurfaceTest(unittest.TestCase):
    def test_the_module_classes_are_re_exported(self):
        for name in ("ReturnCode", "DataStream", "ManagedBuffer", "DataView", "Device", "DeviceManager"):
            self.assertIs(getattr(tavo, name), getattr(pytavo_device, name))
            self.assertIn(name, tavo.__all__)
        self.assertEqual(sorted(tavo.__all__), sorted(set(tavo.__all__) & set(dir(tavo))))

    def test_every_failure_is_a_tavo_error_and_keeps_its_type(self):
        with mock.patch.dict(os.environ, {tavo.PLUGIN_PATH_VARIABLE: str(support.TEST_PLUGIN_DIR)}):
            cases = [
                (lambda: tavo.find_plugin("nosuch"), tavo.PluginNotFound, FileNotFoundError),
                (lambda: tavo.open_device("tp_no_entry", "x"), tavo.PluginLoadError, RuntimeError),
                (lambda: tavo.open_device("tp_null_factory", "x"), tavo.PluginLoadError, RuntimeError),
                (lambda: tavo.open_device("sim", "sim9"), tavo.DeviceRefused, RuntimeError),
                (lambda: tavo.open_device("tp_probe", "none"), tavo.DeviceNotFound, LookupError),
                (lambda: tavo.StreamReader(tavo.open_device("tp_probe", "probe:stream=none"), 0),
                 tavo.StreamRefused, RuntimeError),
            ]
            for action, kind, builtin in cases:
                with self.subTest(kind=kind.__name__), self.assertRaises(kind) as caught:
                    action()
                self.assertIsInstance(caught.exception, tavo.TavoError)
                self.assertIsInstance(caught.exception, builtin)


def sim(options=""):
    return tavo.open_device("sim", "sim0" + (":" + options if options else ""))


class StreamReaderDataTest(unittest.TestCase):
    SEED = 0xFFFFFF00  # the counter wraps within the stream

    def read_all(self, reader, how):
        if how == "read":
            pieces = []
            while piece := reader.read(777):
                pieces.append(piece)
            self.assertEqual(reader.read(5), b"")  # the end stays
            return b"".join(pieces)
        if how == "readinto":
            out, buffer = bytearray(), array.array("I", bytes(4 * 301))  # any writable buffer
            while count := reader.readinto(buffer):
                out += memoryview(buffer).cast("B")[:count]
            return bytes(out)
        if how == "iter":
            return b"".join(bytes(chunk) for chunk in reader)

        async def collect():
            return b"".join([bytes(chunk) async for chunk in reader.aiter()])
        return asyncio.run(collect())

    def test_every_byte_in_order(self):
        for alignment in (None, 12):
            for how in ("read", "readinto", "iter", "async"):
                with self.subTest(alignment=alignment, how=how):
                    with tavo.StreamReader(sim("chunks=60"), self.SEED, chunk_size=1001, alignment=alignment) as r:
                        self.assertEqual(self.read_all(r, how), pattern(self.SEED, 60 * 1001))
                        self.assertEqual(r.stats, tavo.StreamStats(chunks=r.stats.chunks, bytes=60 * 1001))

    def test_plain_chunks_are_not_copied(self):
        # Each chunk is a view of the native chunk that owns the device's
        # bytes, and it stays valid after the reader is closed.
        with tavo.StreamReader(sim("chunks=3"), 0, chunk_size=100) as r:
            chunks = list(r)
        self.assertEqual([type(c.obj) for c in chunks], [tavo._native.Chunk] * 3)
        self.assertEqual(b"".join(chunks), pattern(0, 300))

    def test_timeout_takes_nothing(self):
        with tavo.StreamReader(sim("rate=1"), 0, chunk_size=100) as r:  # one chunk at once, the next 1 s later
            with self.assertRaises(TimeoutError):
                r.read(150, timeout=0.05)
            self.assertEqual(r.read(50), pattern(0, 50))
            self.assertEqual(r.read(150, timeout=5), pattern(0, 200)[50:])

    def test_timeouts_and_arguments(self):
        # Any non-negative timeout (inf: none); a read of a gigabyte that
        # times out allocates nothing and leaves the bound as it was.
        with tavo.StreamReader(sim("rate=1"), 0, chunk_size=100, max_buffered_bytes=100) as r:
            tracemalloc.start()
            with self.assertRaises(TimeoutError):
                r.read(1 << 30, timeout=0.2)
            peak = tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
            self.assertLess(peak, 1 << 20)
            self.assertEqual(r.read(50, timeout=math.inf) + r.read(50, timeout=1e10), pattern(0, 100))
            for bad in (math.nan, -1):
                with self.subTest(timeout=bad), self.assertRaisesRegex(ValueError, "^timeout must be a non-negative"):
                    r.read(1, timeout=bad)
        # Arguments are checked before anything starts, each error naming
        # the parameter and its range.
        for kwargs, error, text in (
                ({"addr": 2**32}, ValueError, "^addr must be an integer in 0..4294967295, not 4294967296$"),
                ({"chunk_size": -1}, ValueError, "^chunk_size must be an integer in 0..18446744073709551615, not -1$"),
                ({"max_queue_elements": 10}, ValueError, "^max_queue_elements must be an integer in 64..2147483647"),
                ({"alignment": 0}, ValueError, "^alignment must be an integer in 1..9223372036854775807, not 0$"),
                ({"max_buffered_bytes": 1.5}, TypeError, "^max_buffered_bytes must be an integer in 1..[0-9]+, not float$"),
                ({"on_overflow": "drop"}, ValueError, "^on_overflow must be 'raise' or 'count', not 'drop'$")):
            with self.subTest(kwargs), self.assertRaisesRegex(error, text):
                tavo.StreamReader(sim(), **{"addr": 0, **kwargs})

    def test_refuses_anything_but_a_constructed_device(self):
        class Early(pytavo_device.Device):
            def __init__(self):
                self.refused = None
                try:  # before the Device's own __init__: no native device yet
                    tavo.StreamReader(self, 0)
                except TypeError as e:
                    self.refused = str(e)
                super().__init__()

        self.assertEqual(Early().refused, "Early object has no native object: its __init__ has not run")
        manager = pytavo_device.get_device_manager(str(tavo.find_plugin("sim")))
        for thing in (object(), manager, pytavo_device.Device.__new__(pytavo_device.Device)):
            with self.subTest(type(thing).__name__), self.assertRaises(TypeError):
                tavo.StreamReader(thing, 0)
        with self.assertRaisesRegex(RuntimeError, "^the device started no stream$"):
            tavo.StreamReader(pytavo_device.Device(), 0)  # implemented in Python: it starts no stream

    def test_every_waiting_thread_is_woken(self):
        # A waits for more than the stream will hold, then B for a little:
        # the second chunk must wake B too, and the end must wake A.
        probe = tavo.open_device(support.test_plugin("tp_probe"),
                                 "probe:script=owned:100/sleep:1000/owned:100/sleep:1000/stop")
        with tavo.StreamReader(probe, 0) as r:
            r.read(100)
            got = {}
            readers = [threading.Thread(target=lambda k=k, n=n: got.__setitem__(k, r.read(n)), daemon=True)
                       for k, n in (("a", 1000), ("b", 10))]
            for thread in readers:
                thread.start()
                time.sleep(0.1)
            for thread in readers:
                thread.join(10)
            self.assertEqual(got, {"a": bytes(range(110, 200)), "b": bytes(range(100, 110))})

    def test_async_cancelled_wait_loses_nothing(self):
        async def scenario(r):
            chunks = r.aiter()
            with self.assertRaises(TimeoutError):
                await asyncio.wait_for(anext(chunks), 0.05)  # nothing due yet: the wait is cancelled
            self.assertEqual(r._async_loops, {})  # and the loop no longer watches the reader
            return bytes(await asyncio.wait_for(anext(chunks), 5))
        with tavo.StreamReader(sim("rate=1"), 0, chunk_size=100) as r:
            r.read(100)  # the first chunk; the second is due 1 s after the start
            self.assertEqual(asyncio.run(scenario(r)), pattern(0, 200)[100:])


def events(reader, sizes=False):
    """Iterates to the end: "d" (or its size) per chunk, and each StreamError
    raised."""
    seen = []
    while True:
        try:
            chunk = next(reader)
            seen.append(chunk.nbytes if sizes else "d")
        except StopIteration:
            return seen
        except tavo.StreamError as error:
            seen.append(error)


class StreamReaderEventsTest(unittest.TestCase):
    def test_errors_at_their_place(self):
        with tavo.StreamReader(sim("chunks=7,error_every=3"), 0, chunk_size=10) as r:
            kinds = [e if e == "d" else e.text for e in events(r)]
        self.assertEqual(kinds, ["d", "d", "d", "simulated error at chunk 3", "d", "d", "d",
                                 "simulated error at chunk 6", "d"])
        with tavo.StreamReader(sim("chunks=7,error_every=3"), 0, chunk_size=10) as r:
            self.assertEqual(r.read(25), pattern(0, 25))
            with self.assertRaises(tavo.StreamError) as caught:  # 5 bytes, then the error: raised with them
                r.read(10)
            self.assertEqual(caught.exception.partial, pattern(0, 30)[25:])
            self.assertEqual(r.read(10), pattern(0, 40)[30:])
            with self.assertRaises(tavo.StreamError) as caught:
                r.read(100)
            self.assertEqual(caught.exception.partial, pattern(0, 60)[40:])
            self.assertEqual(r.read(100), pattern(0, 70)[60:])  # the end: a short read
            self.assertEqual(r.stats, tavo.StreamStats(chunks=7, bytes=70, dropped=0, errors=2))

    def test_aligned_errors_and_gaps_at_their_place(self):
        # Each error after exactly the bytes the device produced before it,
        # also when the alignment is larger than the chunks.
        with tavo.StreamReader(sim("chunks=42,error_every=1"), 0, chunk_size=1000, alignment=4096) as r:
            places, data = [], b""
            while True:
                try:
                    piece = r.read(10**6)
                except tavo.StreamError as e:
                    data += e.partial
                    places.append((len(data), e.text))
                    continue
                data += piece
                if not piece:
                    break
        self.assertEqual(places, [(1000 * k, f"simulated error at chunk {k}") for k in range(1, 43)])
        self.assertEqual(data, pattern(0, 42000))
        # A gap (here a remote device's own overflow report) too: the bytes
        # carried for alignment come first, as a shorter piece. A report of
        # no drops is no gap: it stays the device's text.
        probe = tavo.open_device(support.test_plugin("tp_probe"),
                                 "probe:script=owned:6/remote_drops:7/owned:3/remote_drops:0/error:fault/owned:9/stop")
        with tavo.StreamReader(probe, 0, alignment=4) as r:
            seen = [e if isinstance(e, int) else (type(e).__name__, getattr(e, "dropped", e.text))
                    for e in events(r, sizes=True)]
            self.assertEqual(seen, [4, 2, ("Overflow", 7), 3, ("StreamError", "Remote queue overflow, dropping 0 events"),
                                    ("StreamError", "fault"), 8, 1])
            self.assertEqual(r.stats, tavo.StreamStats(chunks=5, bytes=18, dropped=7, errors=2))

    def test_overflow_catch_up(self):
        # A device paced past what the bounds hold during a pause, but well
        # below what the reader takes: one Overflow for the pause, counting
        # exactly the chunks missing from the counter pattern, then the reader
        # catches up and gets every chunk. (The bounds are full when the gap
        # ends: a reader kept off the cores for a chunk's time just then, on
        # a busy machine, meets a short gap more, counted as exactly.)
        with tavo.StreamReader(sim("rate=10000"), 0, chunk_size=4096, max_queue_elements=8192) as r:
            next(r)
            time.sleep(1)  # about 10000 chunks: 8192 fit; the rest, 0.8 s of slack once caught up
            seen, last = [], None
            deadline = time.monotonic() + 30
            while len(seen) < 8192 + 1 + 5000 and time.monotonic() < deadline:
                try:
                    chunk = next(r)
                except tavo.Overflow as gap:
                    seen.append(("gap", gap.dropped))
                    last += gap.dropped
                    continue
                index = int.from_bytes(chunk[:4], "little") // 1024  # the counter's word index / words per chunk
                if last is not None and index != last + 1:
                    seen.append(("missing", last + 1, index))
                seen.append("d")
                last = index
        gaps = [s for s in seen if s != "d"]
        self.assertEqual({kind for kind, *_ in gaps}, {"gap"}, gaps)  # none missing uncounted
        self.assertGreater(gaps[0][1], 1000)
        self.assertGreater(seen.index(gaps[0]), 8000)
        self.assertLessEqual(len(gaps), 3, gaps)
        self.assertEqual(seen[-4000:], ["d"] * 4000)  # caught up: every chunk

    def test_byte_bound(self):
        # What the reader holds stays under max_buffered_bytes while it does
        # not read; a chunk larger than the bound goes through alone.
        for chunk, bound, held in ((16384, 65536, 65536), (262144, 65536, 262144)):
            with self.subTest(chunk=chunk), tavo.StreamReader(sim(), 0, chunk_size=chunk, max_buffered_bytes=bound,
                                                              on_overflow="count") as r:
                time.sleep(0.3)
                self.assertEqual(r.stats.bytes, held)
                self.assertGreater(r.stats.dropped, 0)
                for _ in range(3):
                    next(r)
                self.assertLessEqual(r.stats.bytes, held + 3 * chunk)

    def test_reads_past_the_bound_and_from_two_threads(self):
        # A read larger than max_buffered_bytes, of a size the chunks do not
        # divide, gets its bytes. Two threads reading one reader leave the
        # bound as they found it: nothing is dropped while they keep up.
        script = "script=sleep:300/repeat:20:1000/sleep:300/stop"
        with tavo.StreamReader(support.probe_device(script), 0, max_buffered_bytes=1000) as r:
            self.assertEqual(len(r.read(1500, timeout=10)), 1500)
        script = "script=" + "/".join(["sleep:150/owned:1000/owned:1000"] * 8) + "/stop"
        with tavo.StreamReader(support.probe_device(script), 0, max_buffered_bytes=3000,
                               on_overflow="count") as r:
            taken = []

            def read_all():
                while data := r.read(1000, timeout=10):
                    taken.append(len(data))
                    time.sleep(0.03)

            threads = [threading.Thread(target=read_all) for _ in range(2)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join(30)
            self.assertEqual((sum(taken), r.stats.dropped), (16000, 0))

    def slow_reader(self, on_overflow):
        """A finite unlimited-rate stream read only after it has overflowed;
        returns (chunks received, dropped counts raised, reader stats)."""
        with tavo.StreamReader(sim("chunks=2000"), 0, chunk_size=4096, max_queue_elements=64,
                               max_buffered_bytes=16 * 4096, on_overflow=on_overflow) as r:
            device_time = time.monotonic() + 10
            while r.stats.bytes < 16 * 4096 and time.monotonic() < device_time:
                time.sleep(0.01)
            time.sleep(0.2)
            self.assertLessEqual(r.stats.bytes, 16 * 4096)  # the rest waits in the stream, not in Python
            seen = events(r)
            chunks = seen.count("d")
            dropped = [e.dropped for e in seen if isinstance(e, tavo.Overflow)]
            self.assertEqual(len(seen), chunks + len(dropped))  # no other error
            return chunks, dropped, r.stats

    def test_slow_reader_gets_overflow_counts_that_add_up(self):
        chunks, dropped, stats = self.slow_reader("raise")
        self.assertTrue(dropped and all(d > 0 for d in dropped), dropped)
        self.assertEqual(chunks + sum(dropped), 2000)
        self.assertEqual((stats.chunks, stats.dropped), (chunks, sum(dropped)))
        chunks, dropped, stats = self.slow_reader("count")
        self.assertEqual(dropped, [])
        self.assertGreater(stats.dropped, 0)
        self.assertEqual(chunks + stats.dropped, 2000)


class StreamReaderLifetimeTest(unittest.TestCase):
    """Each scenario in its own interpreter: a hang fails by timeout."""

    PRELUDE = """
        import os, signal, sys, threading, time
        import tavo
        def threads():
            # A joined thread can still be listed for a moment while the
            # kernel finishes its exit: a thread left running stays listed.
            deadline = time.monotonic() + 5
            while len(os.listdir("/proc/self/task")) != before and time.monotonic() < deadline:
                time.sleep(0.001)
            return len(os.listdir("/proc/self/task"))
        def sim(options=""):
            return tavo.open_device("sim", "sim0" + (":" + options if options else ""))
        before = len(os.listdir("/proc/self/task"))
    """

    def scenario(self, code):
        return run_scenario(textwrap.dedent(self.PRELUDE) + textwrap.dedent(code))

    def test_leaving_early_stops_everything(self):
        # The callback is held waiting for space (a tiny buffer nobody reads)
        # while the block is left: closing must let it go, every time.
        out = self.scenario("""
            for i in range(30):
                with tavo.StreamReader(sim(), 0, chunk_size=4096, max_buffered_bytes=4096) as r:
                    r.read(1)
                    if i % 2:
                        time.sleep(0.01)
                assert threads() == before, (i, threads(), before)
            try:
                r.read(1)
            except ValueError:
                print("closed")
        """)
        self.assertEqual(out, "closed\n")

    def test_dropping_an_unclosed_reader(self):
        out = self.scenario("""
            for i in range(10):
                r = tavo.StreamReader(sim(), 0, chunk_size=4096, max_buffered_bytes=4096)
                r.read(1)
                del r
                assert threads() == before, (i, threads(), before)
            r = tavo.StreamReader(sim(), 0, chunk_size=4096, max_buffered_bytes=4096)
            print("exit with a reader open")
        """)
        self.assertEqual(out, "exit with a reader open\n")

    def test_collected_in_a_cycle(self):
        # The collector frees a reader left in a cycle on whichever thread
        # collects: the close must go through. (No Python runs on the
        # stream's threads, so the collection is asked for here.)
        out = self.scenario("""
            import gc, weakref
            class Holder:
                pass
            for alignment in (4, None, 4):
                h = Holder()
                h.me, h.r = h, tavo.StreamReader(sim(), 0, chunk_size=64, alignment=alignment)
                r = weakref.ref(h.r)
                del h
                gc.collect()
                print(r() is None, threads() == before)
        """)
        self.assertEqual(out, "True True\n" * 3)

    def test_exit_with_readers_open(self):
        # Fifty readers of unpaced devices left open, and a daemon thread
        # blocked in a read: the process ends at once, with status 0 and
        # nothing on stderr.
        code = textwrap.dedent(self.PRELUDE) + textwrap.dedent("""
            readers = [tavo.StreamReader(sim(), 0, chunk_size=4096) for _ in range(50)]
            paced = tavo.StreamReader(sim("rate=1"), 0, chunk_size=64)
            paced.read(64)
            threading.Thread(target=paced.read, args=(10**6,), daemon=True).start()
            time.sleep(0.2)
        """)
        for _ in range(3):
            result = support.run_python(code, timeout=60)
            self.assertEqual((result.returncode, result.stderr), (0, ""))

    def test_interrupts_lose_no_bytes(self):
        # A signal handler raises every millisecond while the stream is read
        # in every way: each exception leaves the call before it took
        # anything, and the reader reads on. Each result is kept with no
        # instruction in between that could run a handler. (CPython itself
        # runs the handler of a signal that arrives in the last instructions
        # of a call, after the reader's last check, once the call has
        # returned, and drops the call's whole result; on a loaded machine
        # the thread is sometimes preempted just there. So two whole results
        # may be missing, of hundreds of interrupts. Partial, reordered or
        # repeated bytes may not.)
        out = self.scenario("""
            import array
            class Tick(Exception):
                pass
            inside = False  # raised only within the try below, never from the loop around it
            def tick(*_):
                if inside:
                    raise Tick
            def position(piece):
                for shift in range(4):
                    start = (int.from_bytes(piece[shift:shift + 4], "little") - 7) * 4 - shift
                    first = start // 4
                    words = array.array("I", range(7 + first, 7 + (start + len(piece)) // 4 + 1)).tobytes()
                    if words[start - 4 * first:start - 4 * first + len(piece)] == piece:
                        return start
            signal.signal(signal.SIGALRM, tick)
            got, ticks = [], 0
            with tavo.StreamReader(sim("rate=8000"), 7, chunk_size=10) as r:  # a read takes many chunks
                signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
                for how in ["read", "readinto", "next"] * 40:
                    while True:
                        try:
                            inside = True
                            if how == "read":
                                got.append(r.read(500))
                            elif how == "readinto":
                                buffer = bytearray(500)
                                r.readinto(buffer)  # never short: the stream does not end
                                got.append(buffer)
                            else:
                                got.append(next(r))
                            inside = False
                            break
                        except Tick:
                            inside = False
                            ticks += 1
                signal.setitimer(signal.ITIMER_REAL, 0)
            missing, end = [], 0
            for piece in map(bytes, got):
                start = position(piece)
                if start != end:
                    missing.append(start - end)
                end = start + len(piece)
            print(ticks > 100, len(missing) <= 2 and set(missing) <= {10, 500})
        """)
        self.assertEqual(out, "True True\n")

    def test_keyboard_interrupt_in_a_waiting_read(self):
        out = self.scenario("""
            threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
            try:
                with tavo.StreamReader(sim("rate=1"), 0, chunk_size=64) as r:
                    r.read(10**6)  # about four hours at this rate
            except KeyboardInterrupt:
                time.sleep(0.05)  # the timer thread ends
                print("interrupted", threads() == before)
        """)
        self.assertEqual(out, "interrupted True\n")


if __name__ == "__main__":
    unittest.main()
