"""A device implemented in Python, driven through the module's native code.

    python3.12 python_device.py [PLUGIN]

`Scratchpad` subclasses pytavo_device.Device and defines only the pure
operations. Calling the interface's own methods on it (Device.method(obj,
...)) goes through native code, which calls back into the Python methods:
set_register_sync runs the interface's default body (set_register, then
send_registers), get_register_sync runs read_registers then get_register,
and bulk write/read hand the Python method a memoryview of a copy of the
caller's buffer (copied back after read). The same object can therefore stand in wherever a plugin device is
expected. With PLUGIN, the same helper functions also drive the simulator's
sim0, to show that both are reached the same way.
"""

import sys

import pytavo_device as tavo

RC = tavo.ReturnCode


class Scratchpad(tavo.Device):
    """Eight staged 32-bit registers at 0, 4, ..., 28 and 256 bytes of memory."""

    REGISTERS = range(0, 32, 4)

    def __init__(self):
        super().__init__()  # required: it creates the native half
        self.registers = dict.fromkeys(self.REGISTERS, 0)
        self.snapshot = dict(self.registers)
        self.staged = []
        self.memory = bytearray(256)
        self.calls = []

    def set_register(self, addr, value, mask):
        self.calls.append("set_register")
        self.staged.append((addr, value, mask))
        return RC.Success

    def send_registers(self):
        self.calls.append("send_registers")
        batch, self.staged = self.staged, []
        if any(addr not in self.registers for addr, _, _ in batch):
            return RC.Failure  # nothing of a bad batch is applied
        for addr, value, mask in batch:
            self.registers[addr] = (self.registers[addr] & ~mask) | (value & mask)
        return RC.Success

    def read_registers(self):
        self.calls.append("read_registers")
        self.snapshot = dict(self.registers)
        return RC.Success

    def get_register(self, addr):
        self.calls.append("get_register")
        return self.snapshot.get(addr, 0)

    def trigger(self, addr, value):
        return RC.Success if addr == 0 else RC.Failure

    # `data` is released when the call returns: copy out of it (write) or
    # into it (read). A view made from it and kept only reaches the module's
    # copy, never the caller's buffer.
    def write(self, addr, length, data):
        self.calls.append("write")
        count = max(0, min(length, len(self.memory) - addr))
        self.memory[addr:addr + count] = data[:count]
        return count

    def read(self, addr, length, data):
        self.calls.append("read")
        count = max(0, min(length, len(self.memory) - addr))
        data[:count] = self.memory[addr:addr + count]
        return count

    def get_info(self):
        return "Scratchpad: a device implemented in Python"


def exercise(device, scratch_addr):
    """Register and bulk round trips through the interface's native methods.
    Returns a list of problems (empty when everything matched)."""
    problems = []
    if tavo.Device.set_register_sync(device, scratch_addr, 0x12345678, 0x0000FFFF) != RC.Success:
        problems.append("masked write refused")
    value = tavo.Device.get_register_sync(device, scratch_addr)
    if value != 0x5678:
        problems.append(f"register read back {value!r}, expected 0x5678")
    if tavo.Device.set_register_sync(device, 0xFFFFFFF0, 1, 1) != RC.Failure:
        problems.append("write to an unmapped register was accepted")
    payload = bytes(range(100, 164))
    written = tavo.Device.write(device, 16, payload)
    back = bytearray(len(payload))
    read = tavo.Device.read(device, 16, back)
    if (written, read, bytes(back)) != (len(payload), len(payload), payload):
        problems.append(f"bulk round trip: wrote {written}, read {read}, equal {bytes(back) == payload}")
    return problems


def main(argv):
    pad = Scratchpad()
    problems = exercise(pad, 8)
    print(f"{tavo.Device.get_info(pad)}: native calls reached {len(pad.calls)} Python methods:")
    print("  " + ", ".join(pad.calls))
    # Streams are not forwarded to Python: the interface's default starts none.
    if pad.start_read_stream(0, lambda buffer, text: None) is not None:
        problems.append("a Python device started a stream")

    class Keeper(Scratchpad):
        def read(self, addr, length, data):
            self.kept = memoryview(data)  # outlives the call
            return 0

    keeper, target = Keeper(), bytearray(4)
    tavo.Device.read(keeper, 0, target)
    keeper.kept[:] = b"late"
    if target != bytearray(4):
        problems.append("a view kept beyond the call reached the caller's buffer")
    else:
        print("a view kept beyond the call reaches only the module's copy")

    if len(argv) > 1:
        device = tavo.get_device_manager(argv[1]).create_device("sim0")
        sim_problems = exercise(device, 0x10)
        print(f"{device.get_info()}: {'same results' if not sim_problems else sim_problems}")
        problems += sim_problems

    for problem in problems:
        print("problem:", problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
