"""Records a finite acquisition into a file, then checks the file against the
simulator's stream pattern.

    python3.12 record.py PLUGIN OUTPUT [--device sim0] [--chunks 500]
                                       [--chunk 65536] [--rate 250]

The device is created with `chunks=N`, so the simulator ends the stream by
itself after N chunks; the callback appends every chunk to OUTPUT while the
main thread prints a progress line. The check then reads OUTPUT back in
pieces and compares it with what the simulator sends (sim_pattern.py).
"""

import argparse
import os
import sys
import threading
import time

import pytavo_device as tavo
from sim_pattern import Checker

NOTICE = "Queue Overflow, dropping event"


class Recorder:
    """The stream callback. Runs on the stream's worker thread, one call at a
    time; the main thread only reads the counters."""

    def __init__(self, out):
        self.out = out
        self.bytes = 0
        self.chunks = 0
        self.drops = 0
        self.errors = []
        self.ended = threading.Event()

    def __call__(self, buffer, text):
        if buffer is not None:
            # Written during the call; the buffer itself is not kept.
            self.bytes += self.out.write(buffer)
            self.chunks += 1
        elif text == NOTICE:
            self.drops += 1  # one notice per event the full queue dropped
        elif text is not None:
            self.errors.append(text)
        else:
            self.ended.set()  # Stop: no call follows


def verify(path, seed, piece=1 << 20):
    """Checks the file piece by piece; returns (bytes checked, mismatching pieces)."""
    checker = Checker(seed)
    with open(path, "rb") as f:
        while data := f.read(piece):
            checker.feed(data)
    return checker.offset, checker.mismatches


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("plugin", help="path of the simulator plugin library")
    parser.add_argument("output", help="file to write the stream's bytes to")
    parser.add_argument("--device", default="sim0")
    parser.add_argument("--chunks", type=int, default=500, help="stream length in chunks (at least 1)")
    parser.add_argument("--chunk", type=int, default=65536, help="chunk size in bytes")
    parser.add_argument("--rate", type=int, default=250, help="chunks per second (0: unlimited)")
    parser.add_argument("--seed", type=lambda s: int(s, 0), default=0x1000, help="the stream's first counter value")
    args = parser.parse_args(argv)
    if args.chunks < 1 or args.chunk < 1 or args.rate < 0:
        parser.error("--chunks and --chunk must be positive, --rate not negative")

    try:
        device = tavo.get_device_manager(args.plugin).create_device(
            f"{args.device}:chunks={args.chunks},rate={args.rate}")
    except RuntimeError as e:
        sys.exit(f"record.py: error: {e}")
    expected = args.chunks * args.chunk
    start = time.monotonic()
    with open(args.output, "wb") as out:
        recorder = Recorder(out)
        # The queue holds every chunk, so a slow disk delays the file but
        # drops nothing.
        stream = device.start_read_stream(args.seed, recorder, args.chunk, max(4096, args.chunks + 1))
        if stream is None:
            sys.exit("record.py: error: the device started no stream")
        with stream:
            # Every event is delivered or replaced by a notice: past N + 1
            # of them the Stop itself was dropped and nothing more comes.
            while not recorder.ended.wait(0.2) and recorder.chunks + recorder.drops <= args.chunks:
                print(f"\r{recorder.bytes / 2**20:9.1f} of {expected / 2**20:.1f} MiB  "
                      f"{recorder.chunks:6d} chunks  {recorder.drops} drops", end="", flush=True)
        # Leaving the block called stop(); the stream had already ended, so
        # there is nothing more to come and `out` may be closed.
    elapsed = time.monotonic() - start
    print(f"\nrecorded {recorder.bytes} bytes in {recorder.chunks} chunks to {args.output} "
          f"in {elapsed:.2f} s, {recorder.drops} drops, {len(recorder.errors)} errors")

    checked, mismatches = verify(args.output, args.seed)
    problems = []
    if os.path.getsize(args.output) != expected:
        problems.append(f"file has {os.path.getsize(args.output)} bytes, expected {expected}")
    if mismatches:
        problems.append(f"{mismatches} pieces differ from the simulator's pattern")
    if recorder.drops or recorder.errors:
        problems.append(f"{recorder.drops} dropped events, errors: {recorder.errors[:3]}")
    if problems:
        print("verification FAILED: " + "; ".join(problems), file=sys.stderr)
        return 1
    print(f"verified: all {checked} bytes match the simulator's pattern")
    return 0


if __name__ == "__main__":
    sys.exit(main())
