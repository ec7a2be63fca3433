// Reaching the native device behind a pytavo_device.Device.
//
// The two extension modules are built with the same binding library and so
// share its process-wide type registry: pytavo_device registered
// tavo::Device there, and this module finds it by its C++ type. Nothing is
// added to pytavo_device, and nothing of it is linked in here.
//
// Called with the interpreter lock held.
#pragma once

#include <Python.h>

#include <memory>

#include <tavo/device.hpp>

namespace tavo_native {

struct DeviceAccess {
    tavo::Device* device;
    // The device handle's keep_alive: the plugin code that runs the stream's
    // handle and frees its chunks. Held as long as either may still run.
    std::shared_ptr<const void> keep_alive;
};

// Throws pybind11::type_error for anything that is not a pytavo_device.Device
// (or a Python subclass of it) with its native object; also when
// pytavo_device was never imported, since then no object can be one.
DeviceAccess reach_device(PyObject* object);

}  // namespace tavo_native
