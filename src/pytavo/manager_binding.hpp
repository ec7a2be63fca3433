// The DeviceManager class and the module function get_device_manager.
#pragma once

#include <pybind11/pybind11.h>

namespace pytavo {

void register_device_manager(pybind11::module_& m);
void register_get_device_manager(pybind11::module_& m);

}  // namespace pytavo
