#include "errors.hpp"

#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace tavo_native {

namespace {

// Kept for the life of the process: the classes outlive every reader.
PyObject* stream_error_type = nullptr;
PyObject* overflow_type = nullptr;

void set_text(PyObject* type, const char* what) {
    PyObject* text = PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)), "surrogateescape");
    if (text == nullptr) return;  // no memory for the text: that error stands
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

}  // namespace

void set_error_from_exception() noexcept {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error& e) {
        set_text(PyExc_ValueError, e.what());
    } catch (const std::exception& e) {
        set_text(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown native failure");
    }
}

void set_stream_error_types(PyObject* stream_error, PyObject* overflow) {
    Py_XSETREF(stream_error_type, Py_NewRef(stream_error));
    Py_XSETREF(overflow_type, Py_NewRef(overflow));
}

PyObject* new_stream_error(const std::string& text) {
    if (stream_error_type == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "tavo._native: the stream error types are not set");
        return nullptr;
    }
    // A device's text is not always UTF-8: a stray byte must not hide the error.
    PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (message == nullptr) return nullptr;
    PyObject* error = PyObject_CallOneArg(stream_error_type, message);
    Py_DECREF(message);
    return error;
}

PyObject* new_overflow(std::uint64_t dropped) {
    if (overflow_type == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "tavo._native: the stream error types are not set");
        return nullptr;
    }
    PyObject* count = PyLong_FromUnsignedLongLong(dropped);
    if (count == nullptr) return nullptr;
    PyObject* error = PyObject_CallOneArg(overflow_type, count);
    Py_DECREF(count);
    return error;
}

}  // namespace tavo_native
