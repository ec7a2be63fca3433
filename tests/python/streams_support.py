"""Helpers for stream tests: a callback that records every call, and a
wait for the stream's end."""

import threading
import time


class Recorder:
    """Records callback calls as (kind, payload): ("data", bytes),
    ("error", text) or ("stop", None). Copies data inside the call."""

    def __init__(self, keep=False):
        self.calls = []
        self.kept = []
        self.keep = keep
        self.ended = threading.Event()

    def __call__(self, buffer, text):
        if buffer is not None:
            self.calls.append(("data", bytes(buffer)))
            if self.keep:
                self.kept.append(buffer)
        elif text is not None:
            self.calls.append(("error", text))
        else:
            self.calls.append(("stop", None))
            self.ended.set()

    def wait(self, timeout=10):
        if not self.ended.wait(timeout):
            raise AssertionError(f"stream did not end; calls so far: {self.calls[-5:]}")
        return self.calls


def wait_until(predicate, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.005)
    return False


def probe_bytes(start, count):
    """The probe plugin's stream content: byte k of the stream is k mod 251."""
    return bytes((start + k) % 251 for k in range(count))
