"""The `tavo` command: the package's public API on the command line.

    tavo plugins [--json]
    tavo devices [PLUGIN] [--json]
    tavo info PLUGIN DEVICE [--json]
    tavo info FILE.sigmf-meta [--json]
    tavo reg PLUGIN DEVICE [--map FILE] read ADDR [COUNT] [--json]
    tavo reg PLUGIN DEVICE [--map FILE] read NAME [--json]
    tavo reg PLUGIN DEVICE [--map FILE] write ADDR VALUE [MASK]
    tavo reg PLUGIN DEVICE [--map FILE] write NAME [VALUE] [FIELD=VALUE ...]
    tavo reg PLUGIN DEVICE [--map FILE] dump [--json]
    tavo record PLUGIN DEVICE -o FILE (--bytes N | --seconds S) [--sigmf [--dtype T] ...] [options]
    tavo --version

PLUGIN is a short name found on the plugin path (`sim`) or a file given
with a "/"; DEVICE is the plugin's own device string (`sim0:rate=100`). Exit
status: 0 done, 1 a plugin, device, stream or file failure, 2 bad usage
(also a register, field or enum name the register map does not have),
130 interrupted, 141 a reader that closed the output early (as `cat`), 143
a recording ended by SIGTERM; every failure is one line "tavo: error: ..."
on stderr, never a traceback.
The command adds nothing to what the package offers: each subcommand is a
few calls of it and some printing.

Start-up: each module imports what its command needs when it runs, so that
`tavo reg` costs little more than the interpreter's own start (the stream
reader, `json` and `asyncio` are not imported for it).
"""

from __future__ import annotations

import argparse
import io
import os
import sys

import tavo

from ._cli_args import (BROKEN_PIPE, EXIT_STATUSES, FAILURE, INTERRUPTED, USAGE, CommandError, Parser, UsageError,
                        add_json_flag, say, stdout)
from ._cli_commands import LOOK_COMMANDS
from ._cli_record import RECORD_COMMAND

# The commands with a JSON form; `--json` with another one is a usage error.
_JSON_COMMANDS = {"plugins", "devices", "info", "read", "dump"}


class _Version(argparse.Action):
    def __init__(self, option_strings: list[str], dest: str, **kwargs) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS,
                         help="print the versions of the package, the module and Python, and exit")

    def __call__(self, parser, namespace, values, option_string=None) -> None:
        import pytavo_device
        # The module carries no version of its own: it is the build's, which
        # the package records, and its file tells which build it is.
        print(f"tavo {tavo.__version__}\n"
              f"pytavo_device {tavo.__version__} ({pytavo_device.__file__})\n"
              f"Python {sys.version.split()[0]} ({sys.executable})", file=stdout())
        parser.exit()


def make_parser(only: str | None = None) -> argparse.ArgumentParser:
    """The command's parser. With `only`, the name of a subcommand, that
    subcommand alone is built: a run parses one, and building all of them
    would cost `tavo reg` a tenth of its start-up. Without it (or with a
    name that is no subcommand, for the message that lists them) all are."""
    parser = Parser(prog="tavo", description="Find plugins, look at devices, access registers, record streams.",
                    epilog="Numbers are decimal or 0x hexadecimal. " + EXIT_STATUSES)
    parser.add_argument("--version", action=_Version)
    add_json_flag(parser, top=True)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    every = LOOK_COMMANDS + [RECORD_COMMAND]
    for command in every:
        if only in (None, command.name) or all(only != known.name for known in every):
            subparser = commands.add_parser(command.name, **command.texts)
            command.add_arguments(subparser)
            if command.run is not None:
                subparser.set_defaults(run=command.run)
    return parser


def _named_command(argv: list[str]) -> str | None:
    """The subcommand `argv` names: its first word that is no option (the
    command's own options take no value)."""
    return next((word for word in argv if not word.startswith("-")), None)


def _check_combinations(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    # A subcommand's checks across its arguments, before anything is loaded.
    if getattr(args, "check", None) is not None:
        args.check(parser, args)
    if args.json and getattr(args, "action", args.command) not in _JSON_COMMANDS:
        parser.error(f"--json: '{getattr(args, 'action', args.command)}' prints no JSON")


def _describe(error: BaseException) -> str:
    """The failure as one line (a plugin's device list spans several)."""
    text = str(error)
    if isinstance(error, MemoryError):
        text = "out of memory" + (f": {text}" if text else "")
    lines = [" ".join(line.split()) for line in text.splitlines()]
    return "; ".join(line for line in lines if line) or type(error).__name__


def _prepare_standard_streams() -> None:
    # A standard descriptor that was closed when the process started is the
    # next one a file gets, and the recording would then be "stdout", where
    # the module's log line and any plugin's output go: /dev/null holds it
    # instead (sys.stdout or sys.stderr stays None, so nothing is printed
    # there).
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
    # Names (of files, plugins, devices) that are not valid UTF-8 are
    # printed as the bytes they are, as `ls` does, under any locale.
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(errors="surrogateescape")


def _reader_gone() -> int:
    # The reader of stdout (or of the output pipe) went away: like `cat`,
    # no word, and the status of a process SIGPIPE ended. What is still
    # buffered for stdout can never be written; /dev/null takes it, so that
    # the interpreter's flush at exit neither fails nor complains.
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.close(null)
    return BROKEN_PIPE


def _run(argv: list[str] | None) -> int:
    whole_process = argv is None
    if argv is None:
        argv = sys.argv[1:]
    parser = make_parser(_named_command(argv))
    try:
        args = parser.parse_args(argv)
        _check_combinations(parser, args)
        args.whole_process = whole_process
    except SystemExit as e:  # --help, --version, or a usage error already reported
        status = e.code if isinstance(e.code, int) else USAGE
    else:
        try:
            status = args.run(args)
        # The failures a user or a plugin can cause: a plugin not found or not
        # loadable, a device string the plugin refuses, a plugin that makes no
        # device, a text that is not UTF-8, a refused operation or stream, a
        # file that cannot be written, memory the device asked for that is not
        # there. Anything else is a fault of this program and keeps its
        # traceback.
        except (CommandError, tavo.TavoError, RuntimeError, LookupError, UnicodeError, MemoryError) as e:
            status, failure = USAGE if isinstance(e, UsageError) else FAILURE, e
        except OSError as e:
            if isinstance(e, BrokenPipeError):
                raise
            status, failure = FAILURE, e
        else:
            failure = None
        if failure is not None:
            if sys.stdout is not None:
                sys.stdout.flush()  # what was printed comes before the message
            say(f"tavo: error: {_describe(failure)}")
    if sys.stdout is not None:
        sys.stdout.flush()  # a reader that went away shows here, not at exit
    return status


def main(argv: list[str] | None = None) -> int:
    """Runs the command with `argv` (default: the process's arguments) and
    returns its exit status.

    Without `argv`, main is the program: once a signal has stopped a
    recording, later SIGINT and SIGTERM are only noted until the process
    exits, so that a burst of Ctrl-C ends it with its status and summary
    and no traceback. With `argv`, the caller's handlers are restored."""
    _prepare_standard_streams()
    try:
        return _run(argv)
    except BrokenPipeError:
        return _reader_gone()
    except KeyboardInterrupt:
        return INTERRUPTED
