#include "py_device.hpp"

#include <stdexcept>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

namespace py = pybind11;

namespace pytavo {

namespace {

// Looks up the Python override of `name` and calls it with `args`; returns
// its converted result, or nothing when there is no override. Holds the
// interpreter lock only inside: the caller runs defaults and errors without
// it.
template <typename Result, typename... Args>
std::optional<Result> call_override(const PyDevice* self, const char* name, Args... args) {
    py::gil_scoped_acquire gil;
    py::function override = py::get_override(static_cast<const Device*>(self), name);
    if (!override) return std::nullopt;
    py::object result = override(args...);
    try {
        return py::detail::cast_safe<Result>(std::move(result));
    } catch (const py::reference_cast_error&) {
        // None for a status. The binding library would report this as an
        // argument mismatch of the outer call; it is the override's fault.
        throw std::runtime_error("");
    }
}

[[noreturn]] void pure(const char* message) { py::pybind11_fail(message); }

}  // namespace

Status PyDevice::set_register_sync(unsigned int addr, unsigned int value, unsigned int mask) {
    if (auto r = call_override<Status>(this, "set_register_sync", addr, value, mask)) return *r;
    return Device::set_register_sync(addr, value, mask);
}

Status PyDevice::set_register(unsigned int addr, unsigned int value, unsigned int mask) {
    if (auto r = call_override<Status>(this, "set_register", addr, value, mask)) return *r;
    pure("Tried to call pure virtual function \"Device::set_register\"");
}

Status PyDevice::send_registers() {
    if (auto r = call_override<Status>(this, "send_registers")) return *r;
    pure("Tried to call pure virtual function \"Device::send_registers\"");
}

std::optional<unsigned int> PyDevice::get_register_sync(unsigned int addr) {
    if (auto r = call_override<std::optional<unsigned int>>(this, "get_register_sync", addr)) return *r;
    return Device::get_register_sync(addr);
}

unsigned int PyDevice::get_register(unsigned int addr) {
    if (auto r = call_override<unsigned int>(this, "get_register", addr)) return *r;
    pure("Tried to call pure virtual function \"Device::get_register\"");
}

Status PyDevice::read_registers() {
    if (auto r = call_override<Status>(this, "read_registers")) return *r;
    pure("Tried to call pure virtual function \"Device::read_registers\"");
}

Status PyDevice::trigger(unsigned int addr, std::int32_t value) {
    if (auto r = call_override<Status>(this, "trigger", addr, value)) return *r;
    pure("Tried to call pure virtual function \"Device::trigger\"");
}

std::optional<std::string> PyDevice::get_status() {
    if (auto r = call_override<std::optional<std::string>>(this, "get_status")) return *r;
    return Device::get_status();
}

std::optional<std::string> PyDevice::get_info() {
    if (auto r = call_override<std::optional<std::string>>(this, "get_info")) return *r;
    return Device::get_info();
}

namespace {

// Releases the view handed to an override. After the override's own
// failure, a failed release must not replace that failure.
void release_quietly(const py::memoryview& view) {
    if (PyObject* done = PyObject_CallMethod(view.ptr(), "release", nullptr)) {
        Py_DECREF(done);
    } else {
        PyErr_Clear();
    }
}

// Calls the override of write or read with (addr, length, memoryview over
// the caller's bytes) and releases the view before returning, whatever the
// override did.
template <typename Bytes>
std::optional<std::size_t> call_with_view(const PyDevice* self, const char* name, unsigned int addr,
                                          std::size_t length, Bytes* data) {
    py::gil_scoped_acquire gil;
    py::function override = py::get_override(static_cast<const Device*>(self), name);
    if (!override) return std::nullopt;
    // read-only for write (the caller's memory may be read-only), writable for read
    auto view = std::is_const_v<Bytes>
                    ? py::memoryview::from_memory(static_cast<const void*>(data), static_cast<py::ssize_t>(length))
                    : py::memoryview::from_memory(const_cast<unsigned char*>(data),
                                                  static_cast<py::ssize_t>(length), false);
    py::object result;
    try {
        result = override(addr, length, view);
    } catch (...) {
        release_quietly(view);
        throw;
    }
    // The bytes are the caller's only for this call. Views derived from ours
    // (memoryview(view), slices) share its managed buffer and would survive
    // its release: report them rather than let them pass unnoticed.
    const auto* managed = reinterpret_cast<PyMemoryViewObject*>(view.ptr())->mbuf;
    if (managed->exports > 1) {
        release_quietly(view);
        throw py::buffer_error(std::string("Device.") + name + " kept a view of the device's bytes beyond the call");
    }
    view.attr("release")();
    return result.cast<std::size_t>();
}

}  // namespace

std::size_t PyDevice::write(unsigned int addr, std::size_t length, const unsigned char* data) {
    if (auto r = call_with_view(this, "write", addr, length, data)) return *r;
    pure("Tried to call pure virtual function \"Device::write\"");
}

std::size_t PyDevice::read(unsigned int addr, std::size_t length, unsigned char* data) {
    if (auto r = call_with_view(this, "read", addr, length, data)) return *r;
    pure("Tried to call pure virtual function \"Device::read\"");
}

}  // namespace pytavo
