"""`tavo record --sigmf`: a recording as a SigMF pair. NAME.sigmf-data gets
the stream's bytes exactly as a plain recording's file does; NAME.sigmf-meta
says what they are (sample type, channels, rate, device, start) and where
the stream had gaps and device errors, at their byte offsets in the data.

The metadata is written once the data file is closed, however the recording
ended (its length, --seconds, a signal, a failed write), so that it describes
the data the file holds. Nothing is written when the stream never started.

Every `tavo` command imports this module with the record command's parser:
the SigMF and sample modules (json, datetime, typing, ...) are imported only
when a recording, or its --dtype, needs them.
"""

from __future__ import annotations

import argparse
import os

from ._cli_args import U32_MAX, CommandError, integer, positive_number

TYPE_CHECKING = False  # see tavo/__init__
if TYPE_CHECKING:
    from ._samples import SampleFormat

DEFAULT_DTYPE = "u1"  # without --dtype the metadata says what the stream is: bytes
# The options that only mean something for a SigMF recording, as (option, its dest).
SIGMF_ONLY = (("--dtype", "dtype"), ("--channels", "channels"), ("--sample-rate", "sample_rate"),
              ("--description", "description"))


def sample_type(text: str) -> SampleFormat:
    """--dtype: a sample type SigMF can name, so that a 64-bit integer type is
    refused while the arguments are parsed, before the stream starts."""
    from ._samples import SampleFormat
    from ._sigmf import sigmf_datatype
    try:
        sample_format = SampleFormat.parse(text)
        sigmf_datatype(sample_format)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
    return sample_format


def channel_count(text: str) -> int:
    value = integer(text)
    if not 1 <= value <= U32_MAX:
        raise argparse.ArgumentTypeError(f"{text} is out of range 1..0x{U32_MAX:X}")
    return value


def sample_rate(text: str) -> float:
    value = positive_number(text, "samples per second")
    if value == float("inf"):
        raise argparse.ArgumentTypeError(f"{text} is not a finite number of samples per second")
    return value


def add_sigmf_arguments(record: argparse.ArgumentParser) -> None:
    record.add_argument("--sigmf", action="store_true",
                        help="write a SigMF recording: the data to FILE.sigmf-data and, at the end, its "
                             "description to FILE.sigmf-meta (sample type, device, start, and each gap and "
                             "device error at its place in the data); not to stdout")
    record.add_argument("--dtype", type=sample_type, metavar="T",
                        help="with --sigmf: the type of a sample, a struct code after <, > or = (<h, >H, =f) or "
                             "a NumPy name (int16, <u2, <f4); default u1, the stream's bytes. 64-bit integers "
                             "have no SigMF type and are refused")
    record.add_argument("--channels", type=channel_count, metavar="N",
                        help="with --sigmf: samples per frame, one per channel (default 1)")
    record.add_argument("--sample-rate", type=sample_rate, metavar="HZ",
                        help="with --sigmf: frames per second, noted as the sample rate (1e6); none if not given")
    record.add_argument("--description", metavar="TEXT", help="with --sigmf: a description of the recording")


def check_sigmf_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if not args.sigmf:
        for option, dest in SIGMF_ONLY:
            if getattr(args, dest) is not None:
                parser.error(f"{option} describes a SigMF recording: it needs --sigmf")
        return
    if args.output == "-":
        parser.error("--sigmf writes two files, NAME.sigmf-data and NAME.sigmf-meta: -o names them, not stdout")
    from ._sigmf import sigmf_paths
    try:
        sigmf_paths(args.output)
    except ValueError:  # "." or "": no name to add the suffixes to
        parser.error(f"-o {args.output!r} is no name for a recording's files")


class SigmfRecording:
    """The metadata half of a --sigmf recording: made before the stream
    starts (it refuses an existing NAME.sigmf-meta unless --overwrite, and
    asks the device for its info), then `started`, `begin` and `write` as
    the recording goes. All on the main thread."""

    def __init__(self, args: argparse.Namespace, device) -> None:
        import tavo
        from ._samples import SampleFormat
        from ._sigmf import sigmf_paths
        self.data_path, self.meta_path = sigmf_paths(args.output)
        self.overwrite = args.overwrite
        if not self.overwrite and os.path.lexists(self.meta_path):
            raise CommandError(f"{self.meta_path} exists; --overwrite replaces it")
        self.format = SampleFormat.parse(args.dtype or DEFAULT_DTYPE, args.channels or 1)
        self.sample_rate, self.description = args.sample_rate, args.description
        self.recorder = f"tavo {tavo.__version__}"
        self.hw = device.get_info()  # None when the device gives none: no core:hw then
        self.start = None

    def started(self) -> None:
        """The stream starts now: the capture's datetime."""
        import datetime
        self.start = datetime.datetime.now(datetime.timezone.utc)

    def begin(self) -> None:
        """The stream runs and the data file is emptied (--overwrite): an
        old metadata file goes too, so that it never describes the new data."""
        if self.overwrite:
            try:
                os.unlink(self.meta_path)
            except FileNotFoundError:
                pass
            except OSError as e:
                raise CommandError(f"removing {self.meta_path} failed: {e.strerror or e}") from None

    def write(self, marks: list[tuple[int, int | str]], written: int) -> None:
        """Writes NAME.sigmf-meta for the `written` bytes of the data file;
        `marks` are the gaps (offset, events dropped) and device errors
        (offset, text) in stream order, the offsets in bytes taken from the
        stream. A write cut short leaves the file shorter than what was
        taken: a mark past its end is noted at its end, so the counts still
        add up to the summary's."""
        from ._sigmf import SigmfWriter
        writer = SigmfWriter(self.format, sample_rate=self.sample_rate, hw=self.hw, recorder=self.recorder,
                             description=self.description, start=self.start)
        for offset, what in marks:
            if isinstance(what, int):
                writer.gap(min(offset, written), what)
            else:
                writer.error(min(offset, written), what)
        try:
            writer.write(self.meta_path)
        except OSError as e:
            raise CommandError(f"writing {self.meta_path} failed: {e.strerror or e}") from None
