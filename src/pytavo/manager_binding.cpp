// A DeviceManager object shares the owner the loader built (whose deleter
// holds the plugin library); devices it creates are not linked to it.
#include "manager_binding.hpp"

#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include "tavo/device_manager_loader.hpp"

#include "device_class.hpp"

namespace py = pybind11;

namespace pytavo {

void register_device_manager(py::module_& m) {
    using tavo::DeviceManager;
    py::class_<DeviceManager, std::shared_ptr<DeviceManager>>(m, "DeviceManager")
        .def("info", &DeviceManager::info)
        .def("location", &DeviceManager::location)
        .def("list_devices", &DeviceManager::list_devices)
        .def("get_device_options", &DeviceManager::get_device_options)
        // The name is the binding's own copy, valid through the unlocked call.
        .def("create_device", &DeviceManager::create_device, py::call_guard<py::gil_scoped_release>());
}

void register_get_device_manager(py::module_& m) {
    // Loads with the lock held: the library's initializers and the factory
    // run under it.
    m.def("get_device_manager", &tavo::get_device_manager);
}

}  // namespace pytavo
