"""`tavo record`: a device's stream into a file, through tavo.StreamReader.

Threads: everything runs on the main thread except the deadline of
`--seconds`, a timer thread that only closes the reader; the iteration on
the main thread then ends. The device's threads only store into the reader.

Signals: SIGINT and SIGTERM end a recording, which still prints its summary
exactly once (see _StopSignals).

Every `tavo` command imports this module for its parser, so what only a
recording needs (signal, threading, the output, the stream reader) is
imported where a recording starts.
"""

from __future__ import annotations

import argparse
import sys
import time

import tavo

from ._cli_args import (EXIT_STATUSES, MAX_BYTES, MAX_PIECE, SIZE_HELP, SUCCESS, Command, CommandError,
                        add_plugin_and_device, say, seconds, sized, u32)
from ._cli_record_sigmf import add_sigmf_arguments, check_sigmf_arguments

TYPE_CHECKING = False  # see tavo/__init__
if TYPE_CHECKING:
    from ._cli_output import Output
    from ._cli_record_sigmf import SigmfRecording

PROGRESS_INTERVAL = 0.25  # seconds between progress lines: at most four a second


class _StopSignals:
    """SIGINT and SIGTERM while `tavo record` runs. While `armed`, the first
    one raises KeyboardInterrupt where the main thread is (a wait for the
    next chunk, a write, the wait for a FIFO's reader), and disarms; any
    other is only noted, so nothing interrupts the reader's close or the
    summary, however many arrive, however fast. `received` is the first
    signal, for the exit status (128 + its number).

    Once a signal has stopped the recording, a process that is ending
    anyway (`whole_process`) keeps noting the others to its exit: the one
    that lands after the summary would otherwise raise in the interpreter's
    shutdown and print a traceback under it."""

    def __init__(self, whole_process: bool) -> None:
        self.whole_process = whole_process
        self.received = 0
        self.armed = True
        self.pending = False  # noted while disarmed: `arm` raises it
        self._previous: dict[int, object] = {}

    def __enter__(self) -> _StopSignals:
        import signal
        for signum in (signal.SIGINT, signal.SIGTERM):
            try:
                self._previous[signum] = signal.signal(signum, self._handle)
            except ValueError:  # main() called on another thread: the caller keeps its signals
                break
        return self

    def __exit__(self, *exc_info) -> None:
        import signal
        self.armed = False
        if self.received and self.whole_process:
            return
        for signum, handler in self._previous.items():
            signal.signal(signum, handler)

    def _handle(self, signum: int, frame) -> None:
        # Runs on the main thread, between two of its bytecodes.
        self.received = self.received or signum
        if self.armed:
            self.armed = False
            raise KeyboardInterrupt
        self.pending = True

    def arm(self) -> None:
        """Arms again; raises at once for a signal noted meanwhile."""
        self.armed = True  # before the test: a signal between the two raises itself
        if self.pending:
            self.pending = self.armed = False
            raise KeyboardInterrupt


class _Progress:
    """The progress line on stderr: only on a terminal, and throttled."""

    def __init__(self, stream) -> None:
        self.stream = stream
        self.shown = stream is not None and stream.isatty()
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


class _Recording:
    """What was taken from the stream so far, and the gaps (runs of dropped
    events) and the device's error texts met on the way: all counted in
    stream order, so that nothing the stream does after the last byte taken
    counts (the reader's own `stats` go on counting until it is closed).
    With `marks` (a list), each gap and error is noted there too, with the
    bytes taken before it: (offset, events dropped) or (offset, text)."""

    def __init__(self, output: Output, marks: list[tuple[int, int | str]] | None = None) -> None:
        self.output = output
        self.taken = self.chunks = self.dropped = self.gaps = 0
        self.errors: list[str] = []
        self.marks = marks

    def copy(self, reader, limit: int | None, progress: _Progress) -> None:
        """Hands the chunks to the output until `limit` bytes, the end of the
        stream, or the reader being closed by the deadline."""
        clock, output = time.monotonic, self.output
        while True:
            try:
                for chunk in reader:  # a memoryview of the delivered chunk: no copy
                    size = chunk.nbytes
                    self.chunks += 1
                    if limit is not None and self.taken + size >= limit:
                        output.write(chunk[:limit - self.taken])
                        self.taken = limit
                        return
                    output.write(chunk)
                    self.taken += size
                    progress.update(clock(), self.taken, self.chunks, self.dropped)
                return  # the end of the stream
            except tavo.Overflow as e:  # a gap: events dropped at this place; count them and go on
                self.dropped += e.dropped
                self.gaps += 1
                if self.marks is not None:
                    self.marks.append((self.taken, e.dropped))
                # A reader far behind may meet little but drops for a while: show them.
                progress.update(clock(), self.taken, self.chunks, self.dropped)
            except tavo.StreamError as e:  # a device error, in its place: note it and go on
                self.errors.append(e.text)
                if self.marks is not None:
                    self.marks.append((self.taken, e.text))
            except ValueError:
                if reader.closed:  # the --seconds deadline closed the reader
                    return
                raise


def _record(args: argparse.Namespace, device, signals: _StopSignals, output: Output,
            sigmf: SigmfRecording | None) -> int:
    import threading

    from ._cli_output import OutputError

    progress = _Progress(sys.stderr)
    recording = _Recording(output, None if sigmf is None else [])
    failure: Exception | None = None
    broken: BrokenPipeError | None = None
    # Disarmed while the stream starts, so that it is either not started or
    # inside the `with` block that closes it; a signal meanwhile is raised
    # by `arm` below.
    signals.armed = False
    try:
        bound = {} if args.max_buffered_bytes is None else {"max_buffered_bytes": args.max_buffered_bytes}
        if sigmf is not None:
            sigmf.started()
        reader = tavo.StreamReader(device, args.addr, chunk_size=args.chunk_size, alignment=args.align, **bound)
    except BaseException:
        output.discard()  # a stream refused (or interrupted while starting) leaves no file behind
        raise
    start = time.monotonic()
    with reader:
        # --seconds counts from here, where the stream has started.
        deadline = threading.Timer(args.seconds, reader.close) if args.seconds is not None else None
        if deadline is not None:
            deadline.daemon = True
            deadline.start()
        try:
            signals.arm()
            output.begin()
            if sigmf is not None:
                sigmf.begin()
            recording.copy(reader, args.bytes, progress)
            output.flush()
        except KeyboardInterrupt:
            try:  # what was gathered before the signal; a further signal cuts this short
                signals.arm()
                output.flush()
            except (KeyboardInterrupt, OutputError):
                pass
        except BrokenPipeError as e:
            broken = e  # the output's reader went away: raised below, with no summary, as `cat` says nothing
        except Exception as e:  # a file, stream or device failure: reported after the summary
            failure = e
        finally:
            signals.armed = False
            if deadline is not None:
                # A close the timer has begun must end before this thread
                # goes on to close the reader (and perhaps the process).
                deadline.cancel()
                deadline.join()
    try:
        output.close()
    except OutputError as e:
        failure = failure or e
    if sigmf is not None:  # the data file is closed: describe what it holds
        try:
            sigmf.write(recording.marks, output.written)
        except CommandError as e:
            failure = failure or e
            broken = None  # a lost metadata file is reported, even when the data's reader went away
    if broken is not None:
        raise broken
    elapsed = time.monotonic() - start
    progress.finish()
    written, dropped, errors = output.written, recording.dropped, recording.errors
    gaps = f" in {recording.gaps} gaps" if recording.gaps else ""
    say(f"tavo: recorded {written} bytes in {recording.chunks} chunks to {output.name} in {elapsed:.2f} s "
        f"({written / max(elapsed, 1e-9) / 2**20:.1f} MiB/s), {dropped} dropped{gaps}, {len(errors)} errors")
    if signals.received:
        return 128 + signals.received
    if failure is not None:
        raise failure
    if args.bytes is not None and written < args.bytes:
        raise CommandError(f"the stream ended after {written} of {args.bytes} bytes")
    if (dropped or errors) and not args.allow_drops:
        first = f" (first: {errors[0]})" if errors else ""
        raise CommandError(f"{dropped} events dropped{gaps} and {len(errors)} device errors{first}; "
                           "--allow-drops accepts them")
    return SUCCESS


def run_record(args: argparse.Namespace) -> int:
    from ._cli_output import Output
    from ._cli_record_sigmf import SigmfRecording

    device = tavo.open_device(args.plugin, args.device)
    with _StopSignals(getattr(args, "whole_process", False)) as signals:
        try:
            # The output is opened before the stream starts, so that a FIFO's
            # wait for its reader is not counted in --seconds and the device
            # is not read before anyone takes the data.
            sigmf = SigmfRecording(args, device) if args.sigmf else None
            output = Output(args.output if sigmf is None else str(sigmf.data_path), args.overwrite)
            return _record(args, device, signals, output, sigmf)
        except KeyboardInterrupt:  # before the stream started: nothing recorded, no summary
            return 128 + (signals.received or 2)  # (SIGINT when the signal came before the handler)


def _record_arguments(record: argparse.ArgumentParser) -> None:
    add_plugin_and_device(record)
    record.add_argument("-o", "--output", metavar="FILE", required=True,
                        help="the file to write; - for stdout. An existing file is refused unless --overwrite; a "
                             "FIFO or device is written as it is (a FIFO: once its reader opens it). With --sigmf: the "
                             "pair's base name or either file's name (capture: capture.sigmf-data and "
                             "capture.sigmf-meta)")
    record.add_argument("--overwrite", action="store_true",
                        help="replace FILE (with --sigmf: both files) if it exists, once the stream runs")
    length = record.add_mutually_exclusive_group(required=True)
    length.add_argument("--bytes", type=sized(1, MAX_BYTES), metavar="N",
                        help="stop after exactly N bytes (200M, 1Gi, ...)")
    length.add_argument("--seconds", type=seconds, metavar="S",
                        help="stop S seconds after the stream started (at most 1e9)")
    record.add_argument("--addr", type=u32, default=0, metavar="A", help="the stream's address (default 0)")
    record.add_argument("--chunk-size", type=sized(0, MAX_PIECE), default=0, metavar="N",
                        help="bytes per chunk the device delivers, at most 1Gi; 0 (default): the device's own "
                             "choice (the simulator: 4096)")
    record.add_argument("--align", type=sized(1, MAX_PIECE), default=None, metavar="N",
                        help="an aligned stream: pieces a multiple of N bytes (at most 1Gi)")
    record.add_argument("--max-buffered-bytes", type=sized(1, MAX_BYTES), default=None, metavar="N",
                        help="the most the reader holds while FILE is slower than the device (default 64Mi); what "
                             "does not fit is dropped, and each run of drops is reported as a gap")
    record.add_argument("--allow-drops", action="store_true",
                        help="accept dropped events and device errors: exit 0 despite them (the summary counts "
                             "both, and the file holds what was not dropped)")
    add_sigmf_arguments(record)
    record.set_defaults(check=check_sigmf_arguments)


RECORD_COMMAND = Command(
    "record", _record_arguments, run_record, help="write a device's stream to a file",
    description="Writes the stream of DEVICE to FILE, for N bytes exactly or S seconds from the stream's start. A "
                "progress line goes to stderr when it is a terminal, and a summary at the end, also when "
                "interrupted (Ctrl-C or SIGTERM: exit status 130 or 143). The device delivers its stream in "
                "chunks of --chunk-size bytes. When FILE takes the data more slowly than the device makes it, up "
                "to --max-buffered-bytes (64 MiB) wait in memory; beyond that the device's further chunks are "
                "dropped: each run of drops is a gap, counted where it occurs (the summary gives the gaps and "
                "the events), the recording goes on, and the exit status is 1 unless --allow-drops. With --sigmf, "
                "FILE names a SigMF pair: the data goes to FILE.sigmf-data and, at the end however the recording "
                "ends, FILE.sigmf-meta describes it: --dtype, --channels, --sample-rate, the device's info, the start, and each gap and "
                "device error at its place.",
    epilog=f"Byte counts: {SIZE_HELP}. " + EXIT_STATUSES)
