#include "py_device.hpp"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

namespace py = pybind11;

namespace pytavo {

Status PyDevice::set_register_sync(unsigned int addr, unsigned int value, unsigned int mask) {
    PYBIND11_OVERRIDE(Status, Device, set_register_sync, addr, value, mask);
}

Status PyDevice::set_register(unsigned int addr, unsigned int value, unsigned int mask) {
    PYBIND11_OVERRIDE_PURE(Status, Device, set_register, addr, value, mask);
}

Status PyDevice::send_registers() { PYBIND11_OVERRIDE_PURE(Status, Device, send_registers, ); }

std::optional<unsigned int> PyDevice::get_register_sync(unsigned int addr) {
    PYBIND11_OVERRIDE(std::optional<unsigned int>, Device, get_register_sync, addr);
}

unsigned int PyDevice::get_register(unsigned int addr) {
    PYBIND11_OVERRIDE_PURE(unsigned int, Device, get_register, addr);
}

Status PyDevice::read_registers() { PYBIND11_OVERRIDE_PURE(Status, Device, read_registers, ); }

Status PyDevice::trigger(unsigned int addr, std::int32_t value) {
    PYBIND11_OVERRIDE_PURE(Status, Device, trigger, addr, value);
}

std::optional<std::string> PyDevice::get_status() {
    PYBIND11_OVERRIDE(std::optional<std::string>, Device, get_status, );
}

std::optional<std::string> PyDevice::get_info() {
    PYBIND11_OVERRIDE(std::optional<std::string>, Device, get_info, );
}

namespace {

// Calls the override with (addr, length, memoryview over the caller's bytes)
// and releases the view before returning, whatever the override did. The
// caller holds the interpreter lock.
std::size_t call_with_view(const py::function& override, unsigned int addr, std::size_t length,
                           py::memoryview view) {
    py::object result;
    try {
        result = override(addr, length, view);
    } catch (...) {
        // The override's own exception matters more than a failed release.
        if (PyObject* done = PyObject_CallMethod(view.ptr(), "release", nullptr)) {
            Py_DECREF(done);
        } else {
            PyErr_Clear();
        }
        throw;
    }
    // Fails with BufferError if Python code still exports the view: the bytes
    // are the caller's only for this call.
    view.attr("release")();
    return result.cast<std::size_t>();
}

}  // namespace

std::size_t PyDevice::write(unsigned int addr, std::size_t length, const unsigned char* data) {
    {
        py::gil_scoped_acquire gil;
        py::function override = py::get_override(static_cast<const Device*>(this), "write");
        if (override) {
            // The bytes may be read-only memory: the view is read-only too.
            auto view = py::memoryview::from_memory(data, static_cast<py::ssize_t>(length));
            return call_with_view(override, addr, length, std::move(view));
        }
    }
    py::pybind11_fail("Tried to call pure virtual function \"Device::write\"");
}

std::size_t PyDevice::read(unsigned int addr, std::size_t length, unsigned char* data) {
    {
        py::gil_scoped_acquire gil;
        py::function override = py::get_override(static_cast<const Device*>(this), "read");
        if (override) {
            auto view = py::memoryview::from_memory(data, static_cast<py::ssize_t>(length), false);
            return call_with_view(override, addr, length, std::move(view));
        }
    }
    py::pybind11_fail("Tried to call pure virtual function \"Device::read\"");
}

}  // namespace pytavo
