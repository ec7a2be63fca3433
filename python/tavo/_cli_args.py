"""What every subcommand of the `tavo` command shares: its exit statuses,
the failure it reports in one line, the argument parser that reports usage
errors in one line, and the number types of its arguments."""

from __future__ import annotations

import argparse
import math
import re
import sys
from typing import NoReturn

SUCCESS, FAILURE, USAGE, INTERRUPTED = 0, 1, 2, 130
U32_MAX = 0xFFFFFFFF
_NUMBER = re.compile(r"(-?)(?:0[xX]([0-9a-fA-F]+)|([0-9]+))")


class CommandError(Exception):
    """A failure the command reports in one line and exits 1 for."""


class Parser(argparse.ArgumentParser):
    """argparse would print the whole usage before the message: one line
    says it, and names the help that has the rest. Exits 2."""

    def error(self, message: str) -> NoReturn:
        sys.stderr.write(f"tavo: error: {message} (see '{self.prog} --help')\n")
        sys.exit(USAGE)


def add_plugin_and_device(parser: argparse.ArgumentParser, device: bool = True) -> None:
    parser.add_argument("plugin", metavar="PLUGIN", help="plugin short name (sim) or file")
    if device:
        parser.add_argument("device", metavar="DEVICE", help="the plugin's device string (sim0:rate=100)")


def integer(text: str) -> int:
    """A whole number in decimal or 0x hexadecimal (argparse `type`)."""
    match = _NUMBER.fullmatch(text)
    if match is None:
        raise argparse.ArgumentTypeError(f"not a number: {text!r} (decimal or 0x hexadecimal)")
    value = int(match[2], 16) if match[2] else int(match[3])
    return -value if match[1] else value


def u32(text: str) -> int:
    """An unsigned 32-bit number. Checked while the arguments are parsed, so
    a value out of range is refused before any device is opened."""
    value = integer(text)
    if not 0 <= value <= U32_MAX:
        raise argparse.ArgumentTypeError(f"{text} is out of range 0..0x{U32_MAX:X}")
    return value


def positive(text: str) -> int:
    value = integer(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text} is not a positive number")
    return value


def not_negative(text: str) -> int:
    value = integer(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text} is negative")
    return value


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"{text} is not a positive number of seconds")
    return value
