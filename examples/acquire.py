"""Acquisition demo: loads a Device Manager plugin (the bundled simulator by
default), shows what it reports, streams from one device for a few seconds
with a progress line, and checks that the data arrived complete and in order.

    python3.12 acquire.py PLUGIN [--device sim0] [--seconds 3] [--chunk 65536]
                                 [--aligned 4096] [--rate 0]
"""

import argparse
import sys
import threading
import time

import pytavo_device as tavo
from sim_pattern import Checker


class Acquisition:
    """The stream callback: counts, checks and reports. Runs on the stream's
    worker thread, one call at a time."""

    def __init__(self, seed):
        self.checker = Checker(seed)
        self.chunks = 0
        self.drops = 0
        self.errors = []
        self.ended = threading.Event()

    def __call__(self, buffer, text):
        if buffer is not None:
            self.chunks += 1
            self.checker.feed(buffer)
        elif text == "Queue Overflow, dropping event":
            self.drops += 1
        elif text is not None:
            self.errors.append(text)
        else:
            self.ended.set()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("plugin", help="path of the Device Manager plugin library")
    parser.add_argument("--device", default="sim0")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--chunk", type=int, default=65536, help="chunk size in bytes")
    parser.add_argument("--aligned", type=int, default=0, help="alignment in bytes (0: plain stream)")
    parser.add_argument("--rate", type=int, default=500,
                        help="chunks per second (0: unlimited, faster than Python can check)")
    args = parser.parse_args(argv)

    manager = tavo.get_device_manager(args.plugin)
    print(f"manager:  {manager.info()}  ({manager.location()})")
    print("devices:")
    for line in manager.list_devices().splitlines():
        print("  " + line)
    device = manager.create_device(f"{args.device}:rate={args.rate}")
    print(f"device:   {device.get_info()}")

    seed = 0
    acq = Acquisition(seed)
    if args.aligned:
        stream = device.start_aligned_read_stream(seed, args.aligned, acq, args.chunk)
    else:
        stream = device.start_read_stream(seed, acq, args.chunk)
    if stream is None:
        sys.exit("the device started no stream")

    start = time.monotonic()
    with stream:
        while time.monotonic() - start < args.seconds:
            time.sleep(0.25)
            elapsed = time.monotonic() - start
            mib = acq.checker.offset / 2**20
            print(f"\r{mib:10.1f} MiB  {mib / elapsed:8.1f} MiB/s  {acq.chunks:8d} chunks  {acq.drops} drops",
                  end="", flush=True)
    # stop() pushed Stop: everything produced before it is still delivered.
    if not acq.ended.wait(30):
        sys.exit("\nthe stream did not end")
    elapsed = time.monotonic() - start
    total = acq.checker.offset
    print(f"\nreceived {total} bytes in {acq.chunks} chunks, {total / elapsed / 2**20:.1f} MiB/s, "
          f"{acq.drops} dropped, {len(acq.errors)} errors")
    if acq.checker.mismatches or acq.drops:
        print(f"data NOT continuous: {acq.checker.mismatches} mismatching pieces, {acq.drops} drops")
        return 1
    print("data continuous: every byte arrived once and in order")
    return 0


if __name__ == "__main__":
    sys.exit(main())
