"""The simulator's stream content, for checking received data: stream byte i
is byte (i mod 4) of the little-endian uint32 (seed + i // 4) mod 2**32."""

import array
import sys


def expected(seed, offset, count):
    """The `count` bytes the simulator sends from stream byte `offset` on."""
    first = offset // 4
    words = (offset % 4 + count + 3) // 4
    begin = (seed + first) & 0xFFFFFFFF
    if begin + words <= 2**32:
        values = array.array("I", range(begin, begin + words))  # built in C, fast enough for a demo
    else:
        values = array.array("I", ((begin + k) & 0xFFFFFFFF for k in range(words)))
    if sys.byteorder != "little":
        values.byteswap()
    skip = offset % 4
    return values.tobytes()[skip:skip + count]


class Checker:
    """Follows a stream chunk by chunk and counts what did not match."""

    def __init__(self, seed=0):
        self.seed = seed
        self.offset = 0
        self.mismatches = 0

    def feed(self, data):
        data = bytes(data)
        if data != expected(self.seed, self.offset, len(data)):
            self.mismatches += 1
        self.offset += len(data)
