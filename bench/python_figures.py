"""The Python-facing figures of the benchmark suite, each measured against a
reference taken in this same interpreter run (bench_refs, the ctypes peer).
Every figure is the median of several repetitions; figure and reference
repetitions are interleaved so that a burst of load elsewhere hits both.

    python3.12 python_figures.py BUILD_DIR [--only N[,N...]]
"""

import argparse
import ctypes
import gc
import os
import struct
import sys
import threading
import time

import reader_figures
from report import emit, interleaved, median

REPS = 5
BIG_QUEUE = 2**31 - 1  # max_queue_elements: no overflow, every event is delivered
CHUNKS_PRODUCED = 0x34
PEER_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_size_t)


class EndOfStream:
    """A stream callback that does nothing with data; it records notices and
    signals the Stop (None, None)."""

    def __init__(self):
        self.ended = threading.Event()
        self.notices = []

    def __call__(self, buffer, text):
        if buffer is None:
            if text is None:
                self.ended.set()
            else:
                self.notices.append(text)


class Suite:
    def __init__(self, build):
        sys.path.insert(0, os.path.join(build, "python"))
        import pytavo_device
        import bench_refs

        self.tavo = pytavo_device
        self.refs = bench_refs
        self.sim_path = os.path.join(build, "plugins", "libtavo_sim.so")
        self.stamp_path = os.path.join(build, "bench", "libbench_stamp_plugin.so")
        self.sim = pytavo_device.get_device_manager(self.sim_path)
        self.peer = ctypes.CDLL(os.path.join(build, "python", "libbench_ctypes_peer.so"))
        self.peer.peer_run.argtypes = [PEER_CALLBACK, ctypes.c_size_t, ctypes.c_uint64, ctypes.c_uint64]
        self.peer.peer_run.restype = None

    # -- helpers ---------------------------------------------------------

    def stream_seconds(self, chunk, chunks, alignment=0):
        """Seconds from start to Stop of a finite simulator stream; checks
        that every chunk was delivered and none overflowed."""
        device = self.sim.create_device(f"sim0:chunks={chunks}")
        callback = EndOfStream()
        start = time.perf_counter()
        if alignment:
            stream = device.start_aligned_read_stream(0, alignment, callback, chunk, BIG_QUEUE)
        else:
            stream = device.start_read_stream(0, callback, chunk, BIG_QUEUE)
        if not callback.ended.wait(300):
            raise RuntimeError("the stream did not end")
        seconds = time.perf_counter() - start
        stream.stop()
        produced = device.get_register_sync(CHUNKS_PRODUCED)
        if callback.notices or produced != chunks % 2**32:
            raise RuntimeError(f"stream lost events: {callback.notices[:3]}, produced {produced}")
        return seconds

    def callback_stream_seconds(self, chunk, chunks, on_chunk):
        """Seconds from start to Stop of a finite simulator stream whose
        callback hands each chunk to `on_chunk` (the hand-written reference
        of the tavo figures)."""
        ended = threading.Event()

        def on_event(buffer, text):
            if buffer is not None:
                on_chunk(buffer)
            elif text is None:
                ended.set()
        device = self.sim.create_device(f"sim0:chunks={chunks}")
        start = time.perf_counter()
        with device.start_read_stream(0, on_event, chunk, BIG_QUEUE):
            if not ended.wait(300):
                raise RuntimeError("the stream did not end")
            return time.perf_counter() - start

    def peer_seconds(self, on_chunk, chunk, chunks, rate=0):
        callback = PEER_CALLBACK(on_chunk)
        start = time.perf_counter()
        self.peer.peer_run(callback, chunk, chunks, rate)
        return time.perf_counter() - start

    # -- figures ---------------------------------------------------------

    def register_calls(self, calls=300_000):
        device = self.sim.create_device("sim0")
        noop = self.refs.NoopDevice()
        device.read_registers()

        def per_call(method, *args):
            def measure():
                start = time.perf_counter()
                for _ in range(calls):
                    method(*args)
                seconds = time.perf_counter() - start
                device.send_registers()  # empties the stage the set_register calls filled
                return seconds / calls * 1e9
            return measure

        for name, args in (("get_register", (0x10,)), ("set_register", (0x10, 1, 0xFFFFFFFF))):
            real, noop_ns = interleaved(per_call(getattr(device, name), *args), per_call(getattr(noop, name), *args))
            emit(f"1 {name} (sim) ns/call", real, "no-op binding", noop_ns, "ns", "<=1.25")

    def event_rate(self, events=1_000_000):
        callback = EndOfStream()
        item = object()

        def module():
            return events / self.stream_seconds(64, events)

        def floor(kept_thread_state=False):
            callback.ended.clear()
            seconds = self.refs.delivery_floor(callback, item, events, kept_thread_state)
            if not callback.ended.is_set():
                raise RuntimeError("the delivery floor's callback failed")
            return events / seconds

        def peer():
            return events / self.peer_seconds(lambda data, size: None, 64, events)

        rate, floor_rate, kept_rate, peer_rate = interleaved(module, floor, lambda: floor(True), peer, reps=3)
        emit("2 stream events/s (64 B)", rate, "(a) lock+call floor", floor_rate, "ev/s", ">=0.85")
        emit("2 stream events/s (64 B)", rate, "(b) ctypes peer, no copy", peer_rate, "ev/s", ">=1.0")
        emit("2 stream events/s (64 B)", rate, "lock+call, kept thread state", kept_rate, "ev/s")

    def byte_rate(self, total=2**31):
        copy = ctypes.string_at
        memset_size = 256 * 2**20
        memset = median([memset_size / self.refs.memset_pass(memset_size) for _ in range(REPS)])
        for chunk, label in ((2**16, "64K"), (2**20, "1M")):
            chunks = total // chunk
            plain, aligned, produced, peer = interleaved(
                lambda: total / self.stream_seconds(chunk, chunks),
                lambda: total / self.stream_seconds(chunk, chunks, alignment=4096),
                lambda: total / self.refs.sim_production(self.sim_path, chunk, chunks),
                lambda: total / self.peer_seconds(lambda data, size: copy(data, size), chunk, chunks), reps=9)
            mib = 2**20
            emit(f"3 plain stream MiB/s ({label})", plain / mib, "(a) sim production, no queue", produced / mib,
                 "MiB/s", ">=0.8")
            emit(f"3 aligned 4096 MiB/s ({label})", aligned / mib, "plain stream", plain / mib, "MiB/s", ">=0.85")
            emit(f"3 plain stream MiB/s ({label})", plain / mib, "(b) ctypes peer, bytes copy", peer / mib, "MiB/s",
                 ">=2" if chunk == 2**20 else None)
            emit(f"3 plain stream MiB/s ({label})", plain / mib, "(c) memset 256 MiB", memset / mib, "MiB/s")

    def latency(self, rate=1000, chunks=1000):
        def percentiles(samples):
            samples = sorted(samples)
            return samples[len(samples) // 2] / 1e3, samples[len(samples) * 99 // 100] / 1e3

        stamp = self.tavo.get_device_manager(self.stamp_path)
        unpack = struct.Struct("<Q").unpack_from
        now = time.monotonic_ns

        def module():
            delays = []
            ended = threading.Event()

            def on_event(buffer, text):
                if buffer is not None:
                    delays.append(now() - unpack(buffer)[0])
                elif text is None:
                    ended.set()
                else:
                    raise RuntimeError(text)

            device = stamp.create_device(f"stamp:rate={rate},chunks={chunks}")
            with device.start_read_stream(0, on_event, 64, BIG_QUEUE):
                if not ended.wait(60):
                    raise RuntimeError("the stamp stream did not end")
            if len(delays) != chunks:
                raise RuntimeError(f"{len(delays)} of {chunks} stamped chunks arrived")
            return percentiles(delays)

        def peer():
            delays = []
            self.peer_seconds(lambda data, size: delays.append(now() - ctypes.c_uint64.from_address(data).value),
                              64, chunks, rate)
            return percentiles(delays)

        runs = [(module(), peer()) for _ in range(3)]
        p50, p99 = median([m[0] for m, _ in runs]), median([m[1] for m, _ in runs])
        peer50, peer99 = median([p[0] for _, p in runs]), median([p[1] for _, p in runs])
        emit(f"4 latency p50 us ({rate}/s)", p50, "ctypes peer p50", peer50, "us")
        emit(f"4 latency p99 us ({rate}/s)", p99, "ctypes peer p99", peer99, "us", "p99<200us",
             "met" if p99 < 200 else "MISSED")

    def bulk(self, size=64 * 2**20):
        device = self.sim.create_device(f"sim0:memory={size}")
        source = bytearray(range(256)) * (size // 256)
        target = bytearray(size)
        device.write(0, source)  # touches every page once before timing
        device.read(0, target)
        self.refs.copy(target, source)
        if target != source:
            raise RuntimeError("the simulator's memory did not read back what was written")

        def timed(call, *args):
            def measure():
                start = time.perf_counter()
                if call(*args) != size:
                    raise RuntimeError("short transfer")
                return size / (time.perf_counter() - start) / 2**20
            return measure

        write, read, memcpy = interleaved(timed(device.write, 0, source), timed(device.read, 0, target),
                                          timed(self.refs.copy, target, source), reps=7)
        emit("5 bulk write MiB/s (64 MiB)", write, "memcpy 64 MiB", memcpy, "MiB/s", ">=0.9")
        emit("5 bulk read MiB/s (64 MiB)", read, "memcpy 64 MiB", memcpy, "MiB/s", ">=0.9")

    def python_device(self, calls=200_000):
        class Registers(self.tavo.Device):
            def get_register(self, addr):
                return addr

        device = Registers()

        def direct():
            method = device.get_register
            start = time.perf_counter()
            for _ in range(calls):
                method(7)
            return (time.perf_counter() - start) / calls * 1e9

        def native():
            return self.refs.call_get_register(device, 7, calls) / calls * 1e9

        forwarded, called = interleaved(native, direct)
        emit("7 native->Python get_register ns", forwarded, "Python call of the method", called, "ns")

    def idle_stream(self, seconds=1.0):
        device = self.sim.create_device("sim0:rate=1")

        def share():
            cpu, wall = time.process_time(), time.perf_counter()
            time.sleep(seconds)
            return (time.process_time() - cpu) / (time.perf_counter() - wall)

        baseline = median([share() for _ in range(3)])
        with device.start_read_stream(0, EndOfStream(), 64):
            time.sleep(0.2)  # the first chunk is due at once; then the stream idles
            idle = median([share() for _ in range(3)])
        # Less the process's own CPU over the same interval without a stream.
        emit("8 idle stream CPU (core share)", idle - baseline, "one core", 1.0, "cores")

def reader(suite):
    for figure in (reader_figures.stream_reader, reader_figures.reader_events, reader_figures.idle_reader,
                   reader_figures.catch_up, reader_figures.exit_with_readers, reader_figures.paused_memory):
        figure(suite)
        gc.collect()


# Figure number -> what measures it, given the suite.
FIGURES = {1: Suite.register_calls, 2: Suite.event_rate, 3: Suite.byte_rate, 4: Suite.latency, 5: Suite.bulk,
           7: Suite.python_device, 8: Suite.idle_stream, 9: reader, 10: reader_figures.record_command}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build")
    parser.add_argument("--only", default=",".join(map(str, FIGURES)))
    args = parser.parse_args()
    suite = Suite(args.build)
    for number in map(int, args.only.split(",")):
        FIGURES[number](suite)
        gc.collect()


if __name__ == "__main__":
    main()
