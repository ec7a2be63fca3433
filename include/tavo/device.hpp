// The device interface that a Device Manager plugin implements.
//
// This header is a binary contract between the module and plugins compiled
// apart from it: the order of the virtual operations fixes their slots in the
// dispatch table, and std::string, std::optional, std::unique_ptr and
// exceptions cross the boundary by value. Build plugins with the same
// libstdc++ ABI (the default __cxx11 one; the headers refuse the old one) and
// -std=c++23 (-std=c++2b for clang++ before 17).
//
// Threads and the Python interpreter lock:
// - The module calls every device operation on the Python thread that called
//   the binding, holding the interpreter lock. A device operation therefore
//   must never wait for anything that needs that lock, such as a stream
//   callback in progress.
// - Several Python threads may call operations of one device; the lock
//   serialises them, except around DataStream::stop (and
//   DeviceManager::create_device), which run with the lock released while
//   other threads may call in. A device must allow that or serialise itself.
// - Destroying a sink joins the module's worker thread, which takes the
//   interpreter lock. A device destroys the sinks it took in
//   DataStream::stop() or on threads of its own: never inside
//   start_read_stream, and not while holding a lock that Python code may need.
//
// Failures: ordinary failures are results (Failure, or an empty optional).
// Any operation may instead throw an exception derived from std::exception;
// a std::runtime_error reaches Python as RuntimeError with its text, and
// std::bad_alloc as MemoryError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <tavo/stream_events.hpp>

namespace tavo {

// Result of device operations. Only Success counts as success; any other
// value, including values outside the enumeration, is a failure.
enum class BasicDeviceStatus : std::int32_t {
    Success = 0,
    Failure = 1,
};

// The device interface. A pure interface: no base, no data members.
// RegisterAddress and RegisterValue are the register operand types; the one
// instantiation the module uses is tavo::Device below.
template <typename RegisterAddress, typename RegisterValue, typename Status>
class BasicDevice {
public:
    // The handle of one running read stream, owned by the caller of
    // start_read_stream (the Python DataStream object).
    class DataStream {
    public:
        // The module may destroy a handle without calling stop() first (a
        // dropped, never-stopped stream). The destructor must end production
        // and release the sink. The module calls it without the interpreter
        // lock (while the interpreter exits, with it: destroying a sink then
        // leaves the module's worker behind instead of joining it), and a
        // handle must never wait for a callback forever.
        virtual ~DataStream() = default;

        // Ends the stream. Called with the interpreter lock released. A device
        // that pushes Stop here and keeps the sink until the handle is
        // destroyed lets every event produced before it reach the callback.
        //
        // Destroying a sink ends its delivery at once: the events it holds
        // are freed, not delivered. A plugin that pushes Stop and then
        // destroys the sink (here or on a thread of its own) therefore loses
        // every event not yet delivered, the Stop itself included: the
        // callback never sees (None, None). Keep the sink until the handle is
        // destroyed.
        virtual void stop() = 0;
    };

    using Sink = std23::move_only_function<void(tavo::DataStream::Event&&)>;

    // Deleting through a Device* destroys the implementation.
    virtual ~BasicDevice() = default;

    // Stages a write and sends it. The default is set_register followed by
    // send_registers, returning the latter's result (a Failure of
    // set_register is not reported when send_registers succeeds).
    virtual Status set_register_sync(RegisterAddress addr, RegisterValue value, RegisterValue mask) {
        (void)set_register(addr, value, mask);
        return send_registers();
    }

    // Stages a register write. The third operand means what the device
    // defines (a mask, for the project's simulator).
    virtual Status set_register(RegisterAddress addr, RegisterValue value, RegisterValue mask) = 0;

    // Sends the staged writes.
    virtual Status send_registers() = 0;

    // Reads the registers and returns one of them, or empty if reading
    // failed. The default is read_registers, then get_register on Success.
    virtual std::optional<RegisterValue> get_register_sync(RegisterAddress addr) {
        if (read_registers() != Status::Success) return std::nullopt;
        return get_register(addr);
    }

    // Returns one register from the last read_registers.
    virtual RegisterValue get_register(RegisterAddress addr) = 0;

    // Reads the device's registers.
    virtual Status read_registers() = 0;

    // Triggers the device; both operands mean what the device defines.
    virtual Status trigger(RegisterAddress addr, std::int32_t value) = 0;

    // Sends `length` bytes at `data`. The memory may be read-only and is
    // valid only during the call: the device must not modify or keep it.
    // Returns a count of the device's own definition.
    virtual std::size_t write(RegisterAddress addr, std::size_t length, const unsigned char* data) = 0;

    // Stores at most `length` bytes at `data`, which is valid only during
    // the call. Returns a count of the device's own definition.
    virtual std::size_t read(RegisterAddress addr, std::size_t length, unsigned char* data) = 0;

    // Starts a read stream. A device that accepts moves `sink` out and
    // returns a handle; its own threads then push events into the sink, one
    // thread at a time, ending with Stop. `chunk_size` 0 asks for the
    // device's default. Called with the interpreter lock held: never destroy
    // a sink here. The default starts nothing: the sink stays with the
    // caller, which destroys it.
    virtual std::optional<std::unique_ptr<DataStream>> start_read_stream(RegisterAddress addr, Sink&& sink,
                                                                         std::size_t chunk_size) {
        (void)addr;
        (void)sink;
        (void)chunk_size;
        return std::nullopt;
    }

    // A status text, or empty. UTF-8.
    virtual std::optional<std::string> get_status() { return std::nullopt; }

    // An information text, or empty. UTF-8.
    virtual std::optional<std::string> get_info() { return std::nullopt; }
};

using Device = BasicDevice<unsigned int, unsigned int, BasicDeviceStatus>;

// The deleter of an owning device handle. keep_alive is a shared owner that
// the handle holds as long as the device exists: a device that needs its
// manager or the plugin's code after the manager's last owner is gone puts
// an owner of them here. The device is deleted first, then keep_alive is
// released. A device's operations and destructor are always the plugin's
// code, so when create_device returns a handle whose keep_alive is empty,
// the module puts the manager's owner (which holds the library) there; a
// keep_alive the plugin filled is left as it is.
struct device_deleter {
    std::shared_ptr<const void> keep_alive;

    void operator()(Device* device) const noexcept {
        delete device;
    }
};

// The owning handle of a device: what DeviceManager::create_device returns.
using DeviceHandle = std::unique_ptr<Device, device_deleter>;

// Makes an owning handle for a new device that keeps `owner` alive until the
// device is gone.
template <typename Impl, typename... Args>
DeviceHandle make_device(std::shared_ptr<const void> owner, Args&&... args) {
    return DeviceHandle(new Impl(std::forward<Args>(args)...), device_deleter{std::move(owner)});
}

}  // namespace tavo
