// The Python class Device: the interface, its alias for Python-implemented
// devices, and the owning device handle as its holder.
#pragma once

#include <memory>

#include <pybind11/pybind11.h>

#include <tavo/device.hpp>

#include "py_device.hpp"

namespace pytavo {

using DeviceClass = pybind11::class_<tavo::Device, PyDevice, tavo::DeviceHandle>;

// The keep_alive of the handle that owns `device` (empty for devices made
// from Python). Call with the lock held, on a device owned by a Python object.
std::shared_ptr<const void> keep_alive_of(const tavo::Device& device);

void register_device(pybind11::module_& m);
void register_bulk_methods(DeviceClass& device);
void register_stream_methods(DeviceClass& device);

}  // namespace pytavo
