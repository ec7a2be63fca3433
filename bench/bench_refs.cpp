// bench_refs: the bench-only extension module holding the references of the
// Python figures. Import pytavo_device first: the native caller receives its
// Device objects, whose class that module registers.
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <pybind11/pybind11.h>

#include <tavo/device.hpp>

#include "bench_refs.hpp"

namespace py = pybind11;

namespace bench {

namespace {

// Register operations that do nothing, bound the way the module binds the
// real ones (a member pointer to a virtual function), so a call to them
// costs exactly the binding's dispatch and conversions.
class NoopDevice {
public:
    virtual ~NoopDevice() = default;
    virtual unsigned int get_register(unsigned int addr) { return addr; }
    virtual tavo::BasicDeviceStatus set_register(unsigned int, unsigned int, unsigned int) {
        return tavo::BasicDeviceStatus::Success;
    }
};

// The same buffer checks as the module's bulk calls, so that the copy below
// differs from a device write only by what the device does.
unsigned char* bytes_of(const py::buffer_info& view) {
    if (view.ndim != 1 || view.format != "B" || view.strides[0] != 1) throw std::runtime_error("need bytes");
    return static_cast<unsigned char*>(view.ptr);
}

std::size_t copy(const py::buffer& destination, const py::buffer& source) {
    py::buffer_info to = destination.request(true);
    py::buffer_info from = source.request();
    const auto length = static_cast<std::size_t>(std::min(to.shape[0], from.shape[0]));
    std::memcpy(bytes_of(to), bytes_of(from), length);
    return length;
}

// One memset pass over a buffer larger than the caches; the buffer is
// touched once before timing, so no page fault is counted.
double memset_pass(std::size_t size) {
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[size]);
    std::memset(buffer.get(), 1, size);
    const auto start = std::chrono::steady_clock::now();
    std::memset(buffer.get(), 2, size);
    const auto end = std::chrono::steady_clock::now();
    // Keeps the timed store from being dropped as dead.
    if (buffer[size / 2] != 2) throw std::runtime_error("memset failed");
    return std::chrono::duration<double>(end - start).count();
}

// A native caller of a device: calls get_register through the interface
// `calls` times. For a Python-implemented device each call is forwarded to
// its Python override. The lock stays held, as in any native code called
// from Python.
double call_get_register(tavo::Device& device, unsigned int addr, std::uint64_t calls) {
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t k = 0; k < calls; ++k) (void)device.get_register(addr);  // a virtual call: not elided
    const auto end = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(end - start).count();
}

}  // namespace

}  // namespace bench

PYBIND11_MODULE(bench_refs, m) {
    using namespace bench;
    py::module_::import("pytavo_device");  // registers Device and ReturnCode
    py::class_<NoopDevice>(m, "NoopDevice")
        .def(py::init<>())
        .def("get_register", &NoopDevice::get_register)
        .def("set_register", &NoopDevice::set_register);
    m.def("copy", &copy, "memcpy from source into destination; returns the byte count");
    m.def("memset_pass", &memset_pass, "seconds of one memset over a fresh, pre-touched buffer of size bytes");
    m.def("call_get_register", &call_get_register, "seconds of calls native calls of device.get_register");
    m.def("sim_production", &sim_production, "seconds of the simulator's production into a freeing sink");
    m.def("delivery_floor", &delivery_floor, "seconds of the bare lock-and-call delivery of events + 1 calls",
          py::arg("callback"), py::arg("item"), py::arg("events"), py::arg("kept_thread_state") = false);
}
