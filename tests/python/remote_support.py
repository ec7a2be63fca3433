"""tavo-server for the remote tests: started on an ipc:// endpoint in a
temporary folder (or on loopback), its log collected line by line, and
always stopped: SIGTERM, then SIGKILL if it does not exit in time."""

import os
import pathlib
import selectors
import signal
import subprocess
import tempfile
import threading
import time

import tavo

import support

SERVER = pathlib.Path(os.environ.get("TAVO_SERVER", support.PLUGIN_DIR.parent / "bin" / "tavo-server"))
REMOTE = support.PLUGIN_DIR / "libtavo_remote.so"


class Server:
    """A running tavo-server serving `plugin`. A context manager; `stop`
    returns the exit status."""

    def __init__(self, plugin="sim", *options, endpoint=None, env=None):
        self._tmp = tempfile.TemporaryDirectory(prefix="tavo-remote-")
        self.endpoint = endpoint or f"ipc://{self._tmp.name}/server.sock"
        self.lines = []
        self._ended = False
        self._changed = threading.Condition()
        self.process = subprocess.Popen([str(SERVER), str(plugin), "--bind", self.endpoint, *map(str, options)],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                        text=True, env=dict(os.environ, **(env or {})))
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        try:
            line = self.wait_for_log("listening on ", timeout=30)
        except BaseException:
            self.stop()
            raise
        self.endpoint = line.split("listening on ", 1)[1].split()[0]  # a tcp port given as * is resolved

    def _read(self):
        for line in self.process.stderr:
            with self._changed:
                self.lines.append(line.rstrip("\n"))
                self._changed.notify_all()
        with self._changed:
            self._ended = True
            self._changed.notify_all()

    def log(self):
        with self._changed:
            return "\n".join(self.lines)

    def wait_for_log(self, text, timeout=10, start=0):
        """The first log line from line `start` on that contains `text`.
        Raises AssertionError, with the log, after `timeout` seconds or
        when the server exits first."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                for line in self.lines[start:]:
                    if text in line:
                        return line
                left = deadline - time.monotonic()
                if self._ended or left <= 0:
                    raise AssertionError(f"tavo-server logged no {text!r} within {timeout} s:\n" + "\n".join(self.lines))
                self._changed.wait(left)

    def count_log(self, text):
        with self._changed:
            return sum(text in line for line in self.lines)

    def device(self, name):
        return tavo.open_device(REMOTE, f"{self.endpoint}/{name}")

    def rss_kib(self):
        with open(f"/proc/{self.process.pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        raise AssertionError("no VmRSS")

    def signal(self, number):
        self.process.send_signal(number)

    def stop(self, timeout=30):
        """SIGTERM (unless it has exited), then the exit status; SIGKILL and
        AssertionError if it does not exit within `timeout` seconds."""
        try:
            if self.process.poll() is None:
                self.process.send_signal(signal.SIGCONT)  # in case a test froze it
                self.process.send_signal(signal.SIGTERM)
            try:
                return self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout)
                raise AssertionError(f"tavo-server did not stop within {timeout} s:\n{self.log()}") from None
        finally:
            self._reader.join(timeout)
            self.process.stderr.close()
            self._tmp.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.stop()


def read_line(process, timeout):
    """The next line of `process`'s stdout (text mode), or AssertionError
    after `timeout` seconds."""
    with selectors.DefaultSelector() as selector:
        selector.register(process.stdout, selectors.EVENT_READ)
        if not selector.select(timeout):
            raise AssertionError(f"no line from pid {process.pid} within {timeout} s")
    return process.stdout.readline()
