// Bulk write and read: the device gets a pointer into the caller's own
// buffer, valid for the call only. No copy is made; the view is released
// when the call ends, normally or by an exception.
#include <cstdint>
#include <stdexcept>
#include <string>

#include "device_class.hpp"

namespace py = pybind11;

namespace pytavo {

namespace {

// The checks, in order, after the read-only test of read.
void check_byte_vector(const py::buffer_info& view) {
    if (view.ndim != 1) throw std::runtime_error("ndim != 1");
    if (view.format != "B") throw std::runtime_error("Unsupported buffer format!");
    if (view.strides[0] != 1) throw std::runtime_error("strides[0] != 1");
}

}  // namespace

void register_bulk_methods(DeviceClass& device) {
    using tavo::Device;
    device.def("write", [](Device& self, unsigned int addr, const py::buffer& data) -> std::uint64_t {
        // A strided view with its format; writability is not asked for.
        py::buffer_info view = data.request();
        check_byte_vector(view);
        const auto length = static_cast<std::size_t>(view.shape[0]);
        return self.write(addr, length, static_cast<const unsigned char*>(view.ptr));
    });
    device.def("read", [](Device& self, unsigned int addr, const py::buffer& data) -> std::uint64_t {
        py::buffer_info view = data.request();
        if (view.readonly) throw std::runtime_error("buffer is readonly");
        check_byte_vector(view);
        const auto length = static_cast<std::size_t>(view.shape[0]);
        return self.read(addr, length, static_cast<unsigned char*>(view.ptr));
    });
}

}  // namespace pytavo
