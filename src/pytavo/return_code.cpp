// ReturnCode: the Python face of tavo::BasicDeviceStatus, the binding
// library's standard enumeration without arithmetic. Equality holds only
// between ReturnCode objects; integers that name no member are kept as they
// are and named "???".
#include <pybind11/pybind11.h>

#include <tavo/device.hpp>

#include "instance_guard.hpp"

namespace py = pybind11;

namespace pytavo {

void register_return_code(py::module_& m) {
    py::enum_<tavo::BasicDeviceStatus>(m, "ReturnCode")
        .value("Success", tavo::BasicDeviceStatus::Success)
        .value("Failure", tavo::BasicDeviceStatus::Failure)
        // Pickled (and copied) as a call with the integer, under every
        // protocol: protocols 0 and 1 would otherwise call the binding
        // library's base type, which cannot make an instance.
        .def("__reduce__", [](const py::object& self) {
            return py::make_tuple(py::type::of(self), py::make_tuple(py::int_(self)));
        });
}

}  // namespace pytavo
