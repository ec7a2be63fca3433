"""Acquisition demo: opens a device of a plugin found by name (the bundled
simulator by default), reads its stream for a few seconds with a progress
line, and checks that the data arrived complete and in order.

    python3.12 acquire.py [PLUGIN] [--device sim0] [--seconds 3] [--chunk 65536]
                                   [--aligned 4096] [--rate 500]

The stream is pulled with tavo.StreamReader: no callback, no thread of our
own. `tavo record` writes such a stream to a file; `tavo devices PLUGIN`
shows what a plugin offers.
"""

import argparse
import sys
import time

import tavo
from sim_pattern import Checker


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("plugin", nargs="?", default="sim", help="plugin short name or file (default: sim)")
    parser.add_argument("--device", default="sim0")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--chunk", type=int, default=65536, help="chunk size in bytes")
    parser.add_argument("--aligned", type=int, default=0, help="alignment in bytes (0: plain stream)")
    parser.add_argument("--rate", type=int, default=500,
                        help="chunks per second (0: unlimited, faster than Python can check)")
    args = parser.parse_args(argv)

    device = tavo.open_device(args.plugin, f"{args.device}:rate={args.rate}")
    print(f"device:   {device.get_info()}")
    checker = Checker(seed=0)
    start = next_line = time.monotonic()
    # Drops are counted, not raised: the check below reports them.
    with tavo.StreamReader(device, 0, chunk_size=args.chunk, alignment=args.aligned or None,
                           on_overflow="count") as reader:
        for chunk in reader:
            checker.feed(chunk)
            now = time.monotonic()
            if now - start >= args.seconds:
                break
            if now >= next_line:
                next_line = now + 0.25
                mib = checker.offset / 2**20
                print(f"\r{mib:10.1f} MiB  {mib / max(now - start, 1e-9):8.1f} MiB/s  {reader.stats.chunks:8d} chunks  "
                      f"{reader.stats.dropped} drops", end="", flush=True)
        stats = reader.stats
    # Leaving the block stopped the stream; nothing of it runs any more.
    elapsed = time.monotonic() - start
    total = checker.offset
    print(f"\nreceived {total} bytes, {total / elapsed / 2**20:.1f} MiB/s, {stats.dropped} dropped")
    if checker.mismatches or stats.dropped:
        print(f"data NOT continuous: {checker.mismatches} mismatching pieces, {stats.dropped} drops")
        return 1
    print("data continuous: every byte arrived once and in order")
    return 0


if __name__ == "__main__":
    sys.exit(main())
