"""The remote figures (12, 13): the remote plugin and tavo-server over
loopback TCP, each against a bare ZeroMQ reference measured between the same
two processes in the same run (remote_peer.cpp serves both; the bare client
is zmq_bare_client.cpp through ctypes), first without encryption, then with
CURVE.

    python3.12 remote_figures.py BUILD_DIR
"""

import ctypes
import os
import socket
import subprocess
import sys
import tempfile
import time

from report import emit, median

ROUND_TRIPS = 20_000
GET_REGISTER_SYNC = (44, 37)  # bytes of the request and of the reply, frame 0
CHUNK = 2**20
STREAM_CHUNKS = 2048


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def percentiles(nanos):
    nanos = sorted(nanos)
    return nanos[len(nanos) // 2] / 1e3, nanos[len(nanos) * 99 // 100] / 1e3


class Peer:
    """remote_peer on three loopback ports, stopped by closing its stdin."""

    def __init__(self, build, keys=None):
        self.server, self.rep, self.push = (f"tcp://127.0.0.1:{free_port()}" for _ in range(3))
        args = [os.path.join(build, "bench", "remote_peer"), os.path.join(build, "plugins", "libtavo_sim.so"),
                self.server, self.rep, self.push]
        if keys:
            args += [os.path.join(keys, "server", "key"), os.path.join(keys, "allow")]
        self.process = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        if self.process.stdout.readline() != "ready\n":
            raise RuntimeError("remote_peer did not start")

    def close(self):
        self.process.stdin.close()
        self.process.wait(30)
        self.process.stdout.close()


def make_keys(build, folder):
    server = os.path.join(build, "bin", "tavo-server")
    for name in ("server", "client"):
        subprocess.run([server, "--keygen", os.path.join(folder, name)], check=True, capture_output=True)
    os.mkdir(os.path.join(folder, "allow"))
    with open(os.path.join(folder, "client", "key.pub")) as f:
        client_public = f.read()
    with open(os.path.join(folder, "allow", "client.pub"), "w") as f:
        f.write(client_public)
    with open(os.path.join(folder, "server", "key.pub")) as f, \
            open(os.path.join(folder, "client", "server.pub"), "w") as out:
        out.write(f.read())
    return os.path.join(folder, "client")


class RemoteFigures:
    def __init__(self, build):
        sys.path.insert(0, os.path.join(build, "python"))
        import tavo

        self.tavo = tavo
        self.build = build
        self.bare = ctypes.CDLL(os.path.join(build, "python", "libbench_zmq_client.so"))
        self.bare.bare_round_trips.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_size_t,
                                               ctypes.POINTER(ctypes.c_uint64)]
        self.bare.bare_pull.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_uint64,
                                        ctypes.c_uint64]
        self.bare.bare_pull.restype = ctypes.c_double
        self.bare.remote_native.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_uint64,
                                            ctypes.POINTER(ctypes.c_uint64), ctypes.POINTER(ctypes.c_uint64)]
        self.bare.remote_native.restype = ctypes.c_double
        self.remote_plugin = os.path.join(build, "plugins", "libtavo_remote.so").encode()

    def run(self, label, keys):
        os.environ["TAVO_REMOTE_KEYS"] = keys or ""
        peer = Peer(self.build, os.path.dirname(keys) if keys else None)
        try:
            self.round_trip(label, peer, keys)
            self.stream(label, peer, keys)
        finally:
            peer.close()

    def round_trip(self, label, peer, keys, blocks=4):
        device = self.tavo.open_device("remote", f"{peer.server}/sim0")
        call = device.get_register_sync
        clock = time.perf_counter_ns
        per_block = ROUND_TRIPS // blocks
        nanos = (ctypes.c_uint64 * per_block)()
        remote, bare = [], []
        for _ in range(blocks):
            for _ in range(per_block):
                start = clock()
                call(0x10)
                remote.append(clock() - start)
            if self.bare.bare_round_trips(peer.rep.encode(), (keys or "").encode(), per_block,
                                          GET_REGISTER_SYNC[0], nanos) != 0:
                raise RuntimeError("the bare round trips failed")
            bare.extend(nanos)
        (r50, r99), (b50, b99) = percentiles(remote), percentiles(bare)
        emit(f"12 register round trip p50 us{label}", r50, "bare ZeroMQ REQ/REP p50", b50, "us", "<=1.5")
        emit(f"12 register round trip p99 us{label}", r99, "bare ZeroMQ REQ/REP p99", b99, "us", "<=1.5")

    def remote_stream(self, peer, chunks, rate):
        options = f",rate={rate}" if rate else ""
        device = self.tavo.open_device("remote", f"{peer.server}/sim0:chunks={chunks}{options}")
        start = time.perf_counter()
        # The server's drops arrive as the reader's own: counted in its stats.
        with self.tavo.StreamReader(device, 0, chunk_size=CHUNK, on_overflow="count") as reader:
            received = sum(chunk.nbytes for chunk in reader)
            seconds = time.perf_counter() - start
            dropped = reader.stats.dropped
        return received / seconds, dropped

    def local_stream(self):
        device = self.tavo.open_device("sim", f"sim0:chunks={STREAM_CHUNKS}")
        start = time.perf_counter()
        with self.tavo.StreamReader(device, 0, chunk_size=CHUNK, max_queue_elements=2**31 - 1) as reader:
            total = sum(chunk.nbytes for chunk in reader)
        return total / (time.perf_counter() - start)

    def stream(self, label, peer, keys, reps=5):
        """The simulator, served, at the rate the bare push reached just
        before (a device that produces at the link's own speed), against that
        bare push of as many chunks; and, reported beside, the simulator
        unthrottled, which produces far faster than the link carries: its
        producer then takes a core of the two for chunks the server drops."""
        chunks = STREAM_CHUNKS if not keys else STREAM_CHUNKS // 4

        def bare():
            seconds = self.bare.bare_pull(peer.rep.encode(), peer.push.encode(), (keys or "").encode(), chunks, CHUNK)
            if seconds < 0:
                raise RuntimeError("the bare push failed")
            return chunks * CHUNK / seconds

        def native(rate):
            got, dropped = ctypes.c_uint64(), ctypes.c_uint64()
            seconds = self.bare.remote_native(self.remote_plugin,
                                              f"{peer.server}/sim0:chunks={chunks},rate={rate}".encode(), CHUNK,
                                              ctypes.byref(got), ctypes.byref(dropped))
            if seconds < 0 or got.value + dropped.value != chunks:
                raise RuntimeError("the native remote stream failed")
            return got.value * CHUNK / seconds, dropped.value

        bare_rates, paced, paced_drops, free, free_drops, bare_sink, bare_sink_drops = [], [], [], [], [], [], []
        for _ in range(reps):
            bare_rates.append(bare())
            pace = int(bare_rates[-1] / CHUNK)
            rate, dropped = self.remote_stream(peer, chunks, pace)
            paced.append(rate)
            paced_drops.append(dropped)
            rate, dropped = native(pace)
            bare_sink.append(rate)
            bare_sink_drops.append(dropped)
            rate, dropped = self.remote_stream(peer, chunks, 0)
            free.append(rate)
            free_drops.append(dropped)
        mib = 2**20
        bare_rate = median(bare_rates) / mib
        emit(f"13 remote stream MiB/s (1M){label}", median(paced) / mib, "bare zero-copy push of sim", bare_rate,
             "MiB/s", ">=0.8")
        print(f"#    the simulator paced at the bare push's rate; chunks dropped per {chunks}: {sorted(paced_drops)}")
        emit(f"13 remote into a C++ sink MiB/s{label}", median(bare_sink) / mib, "bare zero-copy push of sim", bare_rate,
             "MiB/s")
        print(f"#    the same pace, the module and the reader left out; dropped: {sorted(bare_sink_drops)}")
        emit(f"13 unpaced simulator MiB/s (1M){label}", median(free) / mib, "bare zero-copy push of sim", bare_rate,
             "MiB/s")
        print(f"#    chunks dropped per {chunks}, counted: {sorted(free_drops)}")
        if not keys:
            local = median([self.local_stream() for _ in range(3)])
            emit(f"13 remote stream MiB/s (1M){label}", median(paced) / mib, "local stream, StreamReader",
                 local / mib, "MiB/s")


def main():
    figures = RemoteFigures(sys.argv[1])
    figures.run("", None)
    with tempfile.TemporaryDirectory() as folder:
        figures.run(" CURVE", make_keys(sys.argv[1], folder))


if __name__ == "__main__":
    main()
