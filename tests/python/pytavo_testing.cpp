// Test-only extension: calls a Device's operations from a native thread that
// does not hold the interpreter lock, as a plugin's own threads would.
#include <thread>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <tavo/device.hpp>

namespace py = pybind11;

namespace {

// Runs `op` on a new thread with the lock released; rethrows what it threw.
template <typename Op>
auto on_native_thread(Op op) {
    std::exception_ptr failure;
    decltype(op()) result{};
    {
        py::gil_scoped_release unlocked;
        std::thread worker([&] {
            try {
                result = op();
            } catch (...) {
                failure = std::current_exception();
            }
        });
        worker.join();
    }
    if (failure) std::rethrow_exception(failure);
    return result;
}

}  // namespace

PYBIND11_MODULE(pytavo_testing, m) {
    m.def("set_register_sync_on_thread", [](tavo::Device& device, unsigned a, unsigned v, unsigned mask) {
        return static_cast<int>(on_native_thread([&] { return device.set_register_sync(a, v, mask); }));
    });
    m.def("get_register_sync_on_thread", [](tavo::Device& device, unsigned a) {
        return on_native_thread([&] { return device.get_register_sync(a); });
    });
    m.def("write_on_thread", [](tavo::Device& device, unsigned a, py::bytes data) {
        std::string bytes = data;
        return on_native_thread([&] {
            return device.write(a, bytes.size(), reinterpret_cast<const unsigned char*>(bytes.data()));
        });
    });
    m.def("read_on_thread", [](tavo::Device& device, unsigned a, std::size_t n) {
        std::string bytes(n, '\0');
        auto count = on_native_thread([&] {
            return device.read(a, bytes.size(), reinterpret_cast<unsigned char*>(bytes.data()));
        });
        return py::make_tuple(count, py::bytes(bytes));
    });
}
