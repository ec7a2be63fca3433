#include "py_device.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <type_traits>

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
void release_quietly(const py::object& view) {
    if (PyObject* done = PyObject_CallMethod(view.ptr(), "release", nullptr)) {
        Py_DECREF(done);
    } else {
        PyErr_Clear();
    }
}

// The module's own copy of the caller's bytes: bytes for write, a bytearray
// for read (which the override fills).
py::object copy_of(const unsigned char* data, std::size_t length, bool writable) {
    if (length > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::length_error("length too large for Python");
    const auto* bytes = reinterpret_cast<const char*>(data);
    const auto size = static_cast<Py_ssize_t>(length);
    auto copy = py::reinterpret_steal<py::object>(writable ? PyByteArray_FromStringAndSize(bytes, size)
                                                           : PyBytes_FromStringAndSize(bytes, size));
    if (!copy) throw py::error_already_set();
    return copy;
}

// Copies what a read override left in the module's bytearray into the
// caller's memory. The override may have shrunk it (through the view's obj,
// after releasing the view): only the bytes still there are copied.
void copy_back(const py::object& copy, unsigned char* data, std::size_t length) {
    const auto available = static_cast<std::size_t>(PyByteArray_GET_SIZE(copy.ptr()));
    const std::size_t count = std::min(length, available);
    if (count) std::memcpy(data, PyByteArray_AS_STRING(copy.ptr()), count);
}

// Calls the override of write or read with (addr, length, memoryview). The
// view is over the module's copy of the caller's bytes, never over the
// caller's memory itself: whatever the override keeps (the view, slices or
// views derived from it, its obj) reaches only that copy, which lives as
// long as anything keeps it, however the call ends. For read the copy goes
// back into the caller's memory when the override returns or raises, so
// what it wrote lands there as if written in place. Our view is released
// after the call either way.
template <typename Bytes>
std::optional<std::size_t> call_with_copy(const PyDevice* self, const char* name, unsigned int addr,
                                          std::size_t length, Bytes* data) {
    constexpr bool reading = !std::is_const_v<Bytes>;
    py::gil_scoped_acquire gil;
    py::function override = py::get_override(static_cast<const Device*>(self), name);
    if (!override) return std::nullopt;
    py::object copy = copy_of(data, length, reading);
    auto view = py::reinterpret_steal<py::object>(PyMemoryView_FromObject(copy.ptr()));
    if (!view) throw py::error_already_set();
    py::object result;
    try {
        result = override(addr, length, view);
    } catch (...) {
        if constexpr (reading) copy_back(copy, data, length);
        release_quietly(view);
        throw;
    }
    if constexpr (reading) copy_back(copy, data, length);
    release_quietly(view);
    return result.cast<std::size_t>();
}

}  // namespace

std::size_t PyDevice::write(unsigned int addr, std::size_t length, const unsigned char* data) {
    if (auto r = call_with_copy(this, "write", addr, length, data)) return *r;
    pure("Tried to call pure virtual function \"Device::write\"");
}

std::size_t PyDevice::read(unsigned int addr, std::size_t length, unsigned char* data) {
    if (auto r = call_with_copy(this, "read", addr, length, data)) return *r;
    pure("Tried to call pure virtual function \"Device::read\"");
}

}  // namespace pytavo
