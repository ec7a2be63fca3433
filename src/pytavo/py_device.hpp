// pytavo::PyDevice: the native face of a device implemented in Python.
//
// Every Device object created from Python (Device() or a subclass) holds one.
// Each operation native code calls on it looks up a Python method of the same
// name on the Python object (found through the binding library's registry of
// live instances) and calls it; without one it runs the interface's default
// body, or fails with "Tried to call pure virtual function "Device::<name>"".
//
// Threads: every operation takes the interpreter lock itself, so any thread
// may call it, and a thread that already holds the lock keeps it. The lock is
// held only for the lookup, the Python call and the conversions; it is
// released before a default body or a pure-operation error runs.
//
// write/read hand the override a memoryview of the module's own copy of the
// caller's bytes: read-only for write, writable for read (copied back into
// the caller's memory when the override ends). Nothing the override keeps can
// reach the caller's memory after the call. The view itself is released when
// the call returns, so using it later raises ValueError.
#pragma once

#include <tavo/device.hpp>

#include "instance_guard.hpp"

namespace pytavo {

// The override macros name the class in their messages ("Device::..."), so
// the interface goes by that name here.
using Device = tavo::Device;
using Status = tavo::BasicDeviceStatus;

class PyDevice final : public Device {
public:
    PyDevice() = default;

    Status set_register_sync(unsigned int addr, unsigned int value, unsigned int mask) override;
    Status set_register(unsigned int addr, unsigned int value, unsigned int mask) override;
    Status send_registers() override;
    std::optional<unsigned int> get_register_sync(unsigned int addr) override;
    unsigned int get_register(unsigned int addr) override;
    Status read_registers() override;
    Status trigger(unsigned int addr, std::int32_t value) override;
    std::size_t write(unsigned int addr, std::size_t length, const unsigned char* data) override;
    std::size_t read(unsigned int addr, std::size_t length, unsigned char* data) override;
    std::optional<std::string> get_status() override;
    std::optional<std::string> get_info() override;
    // start_read_stream is not forwarded: the interface default returns no
    // stream and leaves the sink to the caller.
};

}  // namespace pytavo
