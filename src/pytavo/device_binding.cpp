// The Device class: construction, representation, register operations,
// trigger, status and info. Each operation is bound directly to the
// interface's virtual function, so a plugin device and a Python-implemented
// one (through PyDevice) are reached the same way. Every call keeps the
// interpreter lock for the whole device operation.
#include <fmt/format.h>
#include <pybind11/stl.h>

#include "device_class.hpp"

namespace py = pybind11;

namespace pytavo {

std::shared_ptr<const void> keep_alive_of(const tavo::Device& device) {
    auto* type = py::detail::get_type_info(typeid(tavo::Device));
    py::handle self = py::detail::get_object_handle(&device, type);
    if (!self) return {};
    auto* instance = reinterpret_cast<py::detail::instance*>(self.ptr());
    auto v_h = instance->get_value_and_holder(type);
    if (!v_h.holder_constructed()) return {};
    return v_h.holder<tavo::DeviceHandle>().get_deleter().keep_alive;
}

void register_device(py::module_& m) {
    using tavo::Device;
    DeviceClass device(m, "Device");
    // The interface is abstract: Device() always makes the alias.
    device.def(py::init<>())
        .def("__repr__",
             [](const Device& self) { return fmt::format("<pytavo_device.Device at {}>", fmt::ptr(&self)); })
        .def("set_register_sync", &Device::set_register_sync)
        .def("set_register", &Device::set_register)
        .def("send_registers", &Device::send_registers)
        .def("get_register_sync", &Device::get_register_sync)
        .def("get_register", &Device::get_register)
        .def("read_registers", &Device::read_registers)
        .def("trigger", &Device::trigger);
    register_bulk_methods(device);
    register_stream_methods(device);
    device.def("get_status", &Device::get_status).def("get_info", &Device::get_info);
}

}  // namespace pytavo
