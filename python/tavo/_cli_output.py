"""The output of `tavo record`: a new file, an existing file with
--overwrite, a FIFO or device, or stdout.

The count it keeps, `written`, is always the number of bytes the file
received, whatever interrupts the writing: the summary a recording prints
must equal the file. Small chunks are gathered into one write; large ones go
to the file as they are, without a copy.
"""

from __future__ import annotations

import os
import stat
import sys

from ._cli_args import CommandError

WRITE_BUFFER = 64 * 1024  # chunks this large go to the file without a copy; smaller ones are gathered


class OutputError(CommandError):
    """Writing failed: the message names the file and the bytes it holds."""


class Output:
    """The file a recording writes; `name` is how messages call it. Opening
    a FIFO waits for its reader (interruptible by signals)."""

    def __init__(self, path: str, overwrite: bool) -> None:
        self.name = "stdout" if path == "-" else path
        self._path = path
        self._created = False  # made by this run: removed if the stream never starts
        self._truncate = False  # an existing file, emptied once the stream runs
        # One entry per write: the byte count os.write returned (see _write_all).
        self._counts = [0]
        self._gathered = bytearray()
        if path == "-":
            if sys.stdout is None:
                raise CommandError("stdout is closed")
            self.fd, self._owned = 1, False  # the process's stdout, left open
            return
        self._owned = True
        try:
            self.fd = self._open(path, overwrite)
        except FileExistsError:
            raise CommandError(f"{path} exists; --overwrite replaces it") from None
        except OSError as e:
            raise CommandError(f"cannot open {path}: {e.strerror or e}") from None

    def _open(self, path: str, overwrite: bool) -> int:
        try:
            mode = os.stat(path).st_mode
        except FileNotFoundError:
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
            self._created = True
            return fd
        if stat.S_ISREG(mode):
            # A recording is data nobody can make again: an existing file is
            # only replaced when asked, and only once the stream is running.
            if not overwrite:
                raise FileExistsError
            self._truncate = True
        return os.open(path, os.O_WRONLY | os.O_CLOEXEC)  # a FIFO waits here for its reader

    @property
    def written(self) -> int:
        """The bytes the file has received."""
        return sum(self._counts)

    def begin(self) -> None:
        """The stream runs: an existing file given with --overwrite is emptied."""
        if self._truncate:
            try:
                os.ftruncate(self.fd, 0)
            except OSError as e:
                raise OutputError(f"emptying {self.name} failed: {e.strerror or e}") from None

    def write(self, chunk: memoryview) -> None:
        if len(self._gathered) + chunk.nbytes > WRITE_BUFFER:
            self.flush()
        if chunk.nbytes >= WRITE_BUFFER:
            self._write_all(chunk)
        else:
            self._gathered += chunk

    def flush(self) -> None:
        """Writes what was gathered. Bytes whose write was cut short (an
        interrupt, a failure) are dropped, never written twice."""
        if self._gathered:
            data, self._gathered = self._gathered, bytearray()
            self._write_all(data)

    def _write_all(self, data) -> None:
        counts, view = self._counts, memoryview(data).cast("B")
        try:
            while view:
                # The count lands in `counts` inside C code (list.extend over
                # map), before the interpreter looks for signals again: a
                # KeyboardInterrupt raised as soon as os.write returns finds
                # its bytes counted. One raised while the write waits (EINTR)
                # comes before any byte of it was written.
                counts.extend(map(os.write, (self.fd,), (view,)))
                view = view[counts[-1]:]
                if len(counts) > 256:
                    counts[:] = (sum(counts),)  # one slice assignment: interrupted before or after, never halfway
        except BrokenPipeError:
            raise  # the reader went away: the command ends as `cat` does
        except OSError as e:
            raise OutputError(f"writing {self.name} failed after {self.written} bytes: {e.strerror or e}") from None

    def discard(self) -> None:
        """The stream never started: a file this run made is removed (if it
        is still the one it made), an existing one is left as it was."""
        if self._created:
            try:
                if os.path.samestat(os.stat(self._path), os.fstat(self.fd)):
                    os.unlink(self._path)
            except OSError:
                pass
        self.close()

    def close(self) -> None:
        if self._owned:
            self._owned = False
            try:
                os.close(self.fd)
            except OSError as e:
                raise OutputError(f"closing {self.name} failed after {self.written} bytes: {e.strerror or e}") \
                    from None
