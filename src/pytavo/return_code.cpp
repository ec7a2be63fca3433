// ReturnCode: the Python face of tavo::BasicDeviceStatus, the binding
// library's standard enumeration without arithmetic. Equality holds only
// between ReturnCode objects; integers that name no member are kept as they
// are and named "???".
#include <pybind11/pybind11.h>

#include <tavo/device.hpp>

namespace py = pybind11;

namespace pytavo {

void register_return_code(py::module_& m) {
    py::enum_<tavo::BasicDeviceStatus>(m, "ReturnCode")
        .value("Success", tavo::BasicDeviceStatus::Success)
        .value("Failure", tavo::BasicDeviceStatus::Failure);
}

}  // namespace pytavo
