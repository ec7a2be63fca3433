"""What every subcommand of the `tavo` command shares: its exit statuses,
the failure it reports in one line, the argument parser that reports usage
errors in one line, and the types of its arguments, each with its range,
so that no value out of range gets past the parser."""

from __future__ import annotations

import argparse
import os
import re
import sys

TYPE_CHECKING = False  # as in tavo/__init__: typing costs start-up
if TYPE_CHECKING:
    from typing import NoReturn

SUCCESS, FAILURE, USAGE = 0, 1, 2
INTERRUPTED = 128 + 2  # SIGINT: Ctrl-C
BROKEN_PIPE = 128 + 13  # SIGPIPE: the status of a process the signal ended, as `cat` has in `cat f | head`
TERMINATED = 128 + 15  # SIGTERM, during a recording (otherwise the signal ends the process)
U32_MAX = 0xFFFFFFFF
MAX_BYTES = 2**63 - 1  # the largest file size
MAX_PIECE = 2**30  # a chunk or an aligned piece is held in memory whole: at most 1 GiB
MAX_SECONDS = 10**9  # about 31 years; longer waits overflow the timer
EXIT_STATUSES = ("Exit status: 0 done, 1 a plugin, device, stream or file failure, 2 bad usage, 130 interrupted "
                 "(Ctrl-C), 141 the output's reader went away (as `cat` in `cat f | head`), 143 a recording ended "
                 "by SIGTERM.")
_NUMBER = re.compile(r"(-?)(?:0[xX]([0-9a-fA-F]+)|([0-9]+))")
# Byte counts: SI suffixes are powers of 10, IEC ones powers of 2.
SIZE_SUFFIXES = {"": 1, "k": 10**3, "M": 10**6, "G": 10**9, "T": 10**12,
                 "Ki": 2**10, "Mi": 2**20, "Gi": 2**30, "Ti": 2**40}
SIZE_HELP = "k, M, G, T are powers of 1000 and Ki, Mi, Gi, Ti powers of 1024 (200M, 1G, 4Ki)"
_SIZE = re.compile(r"(0[xX][0-9a-fA-F]+|[0-9]+)([a-zA-Z]*)")


class CommandError(Exception):
    """A failure the command reports in one line and exits 1 for."""


class UsageError(CommandError):
    """A mistake on the command line that only shows once a file is read (a
    register name the map does not have): one line, and exit 2 as for the
    mistakes the parser finds."""


class _Formatter(argparse.HelpFormatter):
    """argparse's formatter, which imports `shutil` (and its compression
    modules) for the terminal's width each time a parser is made: a tenth
    of the command's start-up. The width is found here as shutil finds it."""

    def __init__(self, prog: str, indent_increment: int = 2, max_help_position: int = 24,
                 width: int | None = None) -> None:
        if width is None:
            width = _columns() - 2
        super().__init__(prog, indent_increment, max_help_position, width)


_terminal_columns: list[int] = []  # found once: argparse makes a formatter for every argument


def _columns() -> int:
    if not _terminal_columns:
        try:
            columns = int(os.environ["COLUMNS"])
        except (KeyError, ValueError):
            try:
                columns = os.get_terminal_size(sys.__stdout__.fileno()).columns or 80
            except (AttributeError, ValueError, OSError):
                columns = 80
        _terminal_columns.append(columns)
    return _terminal_columns[0]


class Parser(argparse.ArgumentParser):
    """argparse would print the whole usage before the message: one line
    says it, and names the help that has the rest. Exits 2."""

    def __init__(self, *args, **kwargs) -> None:
        kwargs.setdefault("formatter_class", _Formatter)
        super().__init__(*args, **kwargs)

    def error(self, message: str) -> NoReturn:
        if sys.stderr is not None:
            sys.stderr.write(f"tavo: error: {message} (see '{self.prog} --help')\n")
        sys.exit(USAGE)


class Command:
    """A subcommand: the texts of its parser, the function that adds its
    arguments, and the one that runs it. The arguments are added only to the
    subcommand a run names (see _cli.make_parser)."""

    def __init__(self, name: str, add_arguments, run, **texts: str) -> None:
        self.name, self.add_arguments, self.run, self.texts = name, add_arguments, run, texts


def add_json_flag(parser: argparse.ArgumentParser, top: bool = False) -> None:
    """`--json`, on the command and on the subcommands that print. Only the
    top level has a default: a subcommand that is not given the flag leaves
    what an earlier place set, so `--json` counts wherever it stands."""
    parser.add_argument("--json", action="store_true", default=False if top else argparse.SUPPRESS,
                        help="print JSON, for scripts")


def add_plugin_and_device(parser: argparse.ArgumentParser, device: bool = True, plugin_optional: bool = False,
                          device_optional: bool = False) -> None:
    parser.add_argument("plugin", metavar="PLUGIN", nargs="?" if plugin_optional else None,
                        help="a plugin's short name, looked up on the plugin path (sim), or its file, "
                             "given with a / (./libtavo_sim.so)")
    if device:
        parser.add_argument("device", metavar="DEVICE", type=device_string, nargs="?" if device_optional else None,
                            help="the plugin's device string (sim0:rate=100)")


def device_string(text: str) -> str:
    """A device string goes to the plugin as UTF-8: one that is not (an
    argument of other bytes) is refused here."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise argparse.ArgumentTypeError(f"not valid UTF-8: {text!r}") from None
    return text


def integer(text: str) -> int:
    """A whole number in decimal or 0x hexadecimal (argparse `type`)."""
    match = _NUMBER.fullmatch(text)
    if match is None:
        raise argparse.ArgumentTypeError(f"not a number: {text!r} (decimal or 0x hexadecimal)")
    value = int(match[2], 16) if match[2] else int(match[3])
    return -value if match[1] else value


def _in_range(value: int, text: str, low: int, high: int) -> int:
    if not low <= value <= high:
        raise argparse.ArgumentTypeError(f"{text} is out of range {low}..{high:#x}" if high > 0xFFFF else
                                         f"{text} is out of range {low}..{high}")
    return value


def u32(text: str) -> int:
    """An unsigned 32-bit number. Checked while the arguments are parsed, so
    a value out of range is refused before any device is opened."""
    value = integer(text)
    if not 0 <= value <= U32_MAX:
        raise argparse.ArgumentTypeError(f"{text} is out of range 0..0x{U32_MAX:X}")
    return value


def register_count(text: str) -> int:
    """A number of registers: 1 up to all 2^30 register addresses 4 apart."""
    value = integer(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text} is not a positive number")
    return _in_range(value, text, 1, (U32_MAX >> 2) + 1)


def size(text: str) -> int:
    """A byte count, decimal or 0x hexadecimal, with an optional suffix of
    SIZE_SUFFIXES."""
    match = _SIZE.fullmatch(text)
    if match is None or match[2] not in SIZE_SUFFIXES:
        raise argparse.ArgumentTypeError(f"not a byte count: {text!r} (a number, optionally with a suffix: "
                                         f"{SIZE_HELP})")
    return int(match[1], 0) * SIZE_SUFFIXES[match[2]]


def sized(low: int, high: int):
    """The argparse type of a byte count in low..high."""
    def parse(text: str) -> int:
        value = size(text)
        if value < low:
            raise argparse.ArgumentTypeError(f"{text} is {'not a positive number' if low == 1 else 'too small'}")
        if value > high:
            raise argparse.ArgumentTypeError(f"{text} is out of range {low}..{high} bytes")
        return value
    parse.__name__ = "byte count"
    return parse


def positive_number(text: str, unit: str) -> float:
    """A number above 0 (not NaN; perhaps infinite) of `unit`s, "seconds"."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of {unit}: {text!r}") from None
    if not value > 0:  # (nor NaN)
        raise argparse.ArgumentTypeError(f"{text} is not a positive number of {unit}")
    return value


def seconds(text: str) -> float:
    value = positive_number(text, "seconds")
    if not value <= MAX_SECONDS:  # (nor infinity)
        raise argparse.ArgumentTypeError(f"{text} is out of range: at most {MAX_SECONDS} seconds")
    return value


# -- output ------------------------------------------------------------------

def stdout():
    """sys.stdout, or CommandError if the process was started with it closed
    (Python then sets it to None, and `print` would drop every line)."""
    if sys.stdout is None:
        raise CommandError("stdout is closed")
    return sys.stdout


def print_json(value: object) -> None:
    import json  # here: most runs print no JSON
    print(json.dumps(value, indent=2), file=stdout())


def say(text: str) -> None:
    """A line for the user on stderr; nothing if stderr is closed (the exit
    status still tells)."""
    if sys.stderr is not None:
        print(text, file=sys.stderr)
