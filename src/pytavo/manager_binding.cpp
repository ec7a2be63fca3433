// A DeviceManager object shares the owner the loader built (whose deleter
// holds the plugin library); devices it creates are not linked to it.
#include "manager_binding.hpp"

#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include "tavo/device_manager_loader.hpp"

#include "device_class.hpp"
#include "exit_guard.hpp"

namespace py = pybind11;

namespace pytavo {

namespace {

// Every method of a device, and its destructor, is the plugin's code, so a
// device must never outlive the library. A handle whose keep_alive is empty
// gets the manager's owner (whose deleter holds the library); a handle the
// plugin filled is left exactly as it came.
tavo::DeviceHandle create_device(tavo::DeviceManager& manager, const std::string& name) {
    // The loader's owner, through the manager's enable_shared_from_this base.
    // Taken by reference rather than as the holder, so that an instance whose
    // __init__ never ran is refused like every other one.
    std::shared_ptr<tavo::DeviceManager> owner = manager.weak_from_this().lock();
    // The name is the binding's own copy, valid through the unlocked call;
    // the manager's Python object is held by the call meanwhile. The lock is
    // taken back through the exit gate (armed here, as a device may be made
    // before any stream starts): a daemon thread coming back after the
    // interpreter began to finalize parks instead of being ended, which
    // would abort the process from this frame.
    install_exit_guard();
    tavo::DeviceHandle device;
    without_lock([&] { device = manager.create_device(name); });
    if (device && !device.get_deleter().keep_alive) device.get_deleter().keep_alive = std::move(owner);
    return device;
}

}  // namespace

void register_device_manager(py::module_& m) {
    using tavo::DeviceManager;
    py::class_<DeviceManager, std::shared_ptr<DeviceManager>>(m, "DeviceManager")
        .def("info", &DeviceManager::info)
        .def("location", &DeviceManager::location)
        .def("list_devices", &DeviceManager::list_devices)
        .def("get_device_options", &DeviceManager::get_device_options)
        .def("create_device", &create_device);
}

void register_get_device_manager(py::module_& m) {
    // Loads with the lock held: the library's initializers and the factory
    // run under it.
    m.def("get_device_manager", &tavo::get_device_manager);
}

}  // namespace pytavo
