// The manager interface and the entry point of a Device Manager plugin.
//
// A plugin is a shared library that exports `create_manager`: a data object
// holding the address of a factory (a variable of function-pointer type, not
// the function itself). The module opens the library by path, reads that
// pointer and calls the factory once per load. Export it with
//
//     TAVO_DEVICE_MANAGER_ENTRY(my_factory);
//
// where `tavo::DeviceManager* my_factory()` returns a new manager (or null)
// and reports failure by throwing an exception derived from std::exception.
//
// Ownership: the module takes the manager into a std::shared_ptr whose
// control block also owns the library. The manager is deleted (through its
// virtual destructor) while the library is still loaded, and the library is
// closed only after the control block is gone. shared_from_this() works once
// the factory has returned. Devices do not keep their manager alive: a device
// that needs the manager or the plugin's code puts an owner in its
// device_deleter::keep_alive (see tavo::make_device).
//
// Threads: the factory, info, location, list_devices and get_device_options
// run on the calling Python thread with the interpreter lock held;
// create_device runs with the lock released, so other Python threads may call
// into the same manager meanwhile.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <tavo/device.hpp>

namespace tavo {

class DeviceManager : public std::enable_shared_from_this<DeviceManager> {
public:
    virtual ~DeviceManager() = default;

    // A description of the manager. UTF-8.
    virtual std::string info() = 0;

    // Where the manager lives (for a plugin, typically its library file).
    virtual std::filesystem::path location() = 0;

    // The devices this manager can create. UTF-8, format of the plugin's.
    virtual std::string list_devices() = 0;

    // The options create_device accepts. UTF-8, format of the plugin's.
    virtual std::string get_device_options() = 0;

    // Creates the named device; may return an empty handle. Called with the
    // interpreter lock released.
    virtual std::unique_ptr<Device, device_deleter> create_device(const std::string& name) = 0;
};

// The type of the factory stored at `create_manager`.
using ManagerFactory = DeviceManager* (*)();

}  // namespace tavo

// Exports `factory` (a `tavo::DeviceManager* ()` function) as the plugin's
// entry point: an unmangled, default-visibility variable `create_manager`
// holding the factory's address.
#define TAVO_DEVICE_MANAGER_ENTRY(factory)                                              \
    extern "C" __attribute__((visibility("default"))) const ::tavo::ManagerFactory \
        create_manager = &(factory)
