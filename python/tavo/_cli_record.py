"""`tavo record`: a device's stream into a file, through tavo.StreamReader.

Threads: everything runs on the main thread except the deadline of
`--seconds`, a timer thread that only closes the reader; the iteration on
the main thread then ends. The device's threads only store into the reader.
"""

from __future__ import annotations

import argparse
import sys
import threading
import time

import tavo

from ._cli_args import (INTERRUPTED, SUCCESS, CommandError, add_plugin_and_device, not_negative, positive,
                        seconds, u32)
from ._reader import DEFAULT_MAX_BUFFERED_BYTES

PROGRESS_INTERVAL = 0.25  # seconds between progress lines: at most four a second
WRITE_BUFFER = 64 * 1024  # larger chunks go to the file without a copy; smaller ones are gathered


class _Progress:
    """The progress line on stderr: only on a terminal, and throttled."""

    def __init__(self, stream) -> None:
        self.stream = stream
        self.shown = stream.isatty()
        self.start = self.next = time.monotonic()

    def update(self, now: float, written: int, chunks: int, dropped: int) -> None:
        if now < self.next or not self.shown:
            return
        self.next = now + PROGRESS_INTERVAL
        rate = written / max(now - self.start, 1e-9) / 2**20
        self.stream.write(f"\r{written / 2**20:10.1f} MiB  {rate:8.1f} MiB/s  {chunks:9d} chunks  "
                          f"{dropped} dropped ")
        self.stream.flush()

    def finish(self) -> None:
        if self.shown:
            self.stream.write("\r\x1b[K")  # the summary line takes its place


def _open_output(name: str):
    if name == "-":
        # The process's stdout, unbuffered by sys.stdout's text layer; left
        # open when this file object is closed.
        return open(sys.stdout.fileno(), "wb", buffering=WRITE_BUFFER, closefd=False)
    return open(name, "wb", buffering=WRITE_BUFFER)


class _Recording:
    """What went to the file so far, and the gaps (runs of dropped events)
    and the device's error texts met on the way: all counted in stream order,
    so that nothing the stream does after the last byte written counts (the
    reader's own `stats` go on counting until it is closed)."""

    def __init__(self) -> None:
        self.written = self.chunks = self.dropped = self.gaps = 0
        self.errors: list[str] = []

    def copy(self, reader: tavo.StreamReader, out, limit: int | None, progress: _Progress) -> None:
        """Writes the chunks to `out` until `limit` bytes, the end of the
        stream, or the reader being closed by the deadline."""
        clock = time.monotonic
        while True:
            try:
                for chunk in reader:  # a memoryview of the delivered chunk: no copy
                    size = chunk.nbytes
                    if limit is not None and self.written + size >= limit:
                        out.write(chunk[:limit - self.written])
                        self.written = limit
                        self.chunks += 1
                        return
                    out.write(chunk)
                    self.written += size
                    self.chunks += 1
                    progress.update(clock(), self.written, self.chunks, self.dropped)
                return  # the end of the stream
            except tavo.Overflow as e:  # a gap: events dropped at this place; count them and go on
                self.dropped += e.dropped
                self.gaps += 1
                # A reader far behind may meet little but drops for a while: show them.
                progress.update(clock(), self.written, self.chunks, self.dropped)
            except tavo.StreamError as e:  # a device error, in its place: note it and go on
                self.errors.append(e.text)
            except ValueError:
                if reader.closed:  # the --seconds deadline closed the reader
                    return
                raise


def run_record(args: argparse.Namespace) -> int:
    device = tavo.open_device(args.plugin, args.device)
    progress = _Progress(sys.stderr)
    recording = _Recording()
    interrupted = False
    # The stream starts before the file is made, so a device that refuses
    # it leaves no file behind. Drops and errors are noted where they occur
    # and the recording goes on; the exit status reports them at the end.
    with tavo.StreamReader(device, args.addr, chunk_size=args.chunk_size, alignment=args.align,
                           max_buffered_bytes=args.max_buffered_bytes) as reader, _open_output(args.output) as out:
        deadline = None
        if args.seconds is not None:
            deadline = threading.Timer(args.seconds, reader.close)
            deadline.start()
        try:
            recording.copy(reader, out, args.bytes, progress)
        except KeyboardInterrupt:
            interrupted = True
        finally:
            if deadline is not None:
                # A close the timer has begun must end before this thread
                # goes on to close the reader (and perhaps the process).
                deadline.cancel()
                deadline.join()
        out.flush()
    elapsed = time.monotonic() - progress.start
    progress.finish()
    written, dropped, errors = recording.written, recording.dropped, recording.errors
    gaps = f" in {recording.gaps} gaps" if recording.gaps else ""
    name = "stdout" if args.output == "-" else args.output
    print(f"tavo: recorded {written} bytes in {recording.chunks} chunks to {name} in {elapsed:.2f} s "
          f"({written / max(elapsed, 1e-9) / 2**20:.1f} MiB/s), {dropped} dropped{gaps}, {len(errors)} errors",
          file=sys.stderr)
    if interrupted:
        return INTERRUPTED
    if args.bytes is not None and written < args.bytes:
        raise CommandError(f"the stream ended after {written} of {args.bytes} bytes")
    if (dropped or errors) and not args.allow_drops:
        first = f" (first: {errors[0]})" if errors else ""
        raise CommandError(f"{dropped} events dropped{gaps} and {len(errors)} device errors{first}; "
                           "--allow-drops accepts them")
    return SUCCESS


def add_record_command(commands) -> None:
    record = commands.add_parser(
        "record", help="write a device's stream to a file",
        description="Writes the stream of DEVICE to FILE, for N bytes exactly or S seconds. A progress line "
                    "goes to stderr when it is a terminal, and a summary at the end. Exits 1 if the device "
                    "dropped events or reported errors, unless --allow-drops.")
    add_plugin_and_device(record)
    record.add_argument("-o", "--output", metavar="FILE", required=True, help="the file to write; - for stdout")
    length = record.add_mutually_exclusive_group(required=True)
    length.add_argument("--bytes", type=positive, metavar="N", help="stop after exactly N bytes")
    length.add_argument("--seconds", type=seconds, metavar="S", help="stop after S seconds")
    record.add_argument("--addr", type=u32, default=0, metavar="A", help="the stream's address (default 0)")
    record.add_argument("--chunk-size", type=not_negative, default=0, metavar="N",
                        help="bytes per chunk; 0 (default): the device's own")
    record.add_argument("--align", type=positive, default=None, metavar="N",
                        help="an aligned stream: pieces a multiple of N bytes")
    record.add_argument("--max-buffered-bytes", type=positive, default=DEFAULT_MAX_BUFFERED_BYTES, metavar="N",
                        help="the most the reader holds for the file (default 64 MiB); while the file is slower "
                             "than the device, what does not fit is dropped and reported as gaps")
    record.add_argument("--allow-drops", action="store_true",
                        help="exit 0 even if events were dropped or the device reported errors")
    record.set_defaults(run=run_record)
