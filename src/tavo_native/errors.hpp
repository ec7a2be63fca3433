// How failures reach Python from the module's own functions, which are
// plain CPython functions and slots (see module.cpp): a C++ exception never
// crosses into the interpreter.
//
// All of it runs with the interpreter lock held.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

namespace tavo_native {

// Sets the Python error for the exception being handled: a pending Python
// error (pybind11::error_already_set) or one of the binding library's own
// (TypeError from the device check) as they are, std::bad_alloc as
// MemoryError, std::length_error as ValueError, any other std::exception as
// RuntimeError with its text (undecodable bytes kept as surrogates). Call
// only inside a catch block.
void set_error_from_exception() noexcept;

// Runs `body` and turns what it throws into the Python error, returning
// `failed` then.
template <typename Body, typename Result>
Result guarded(Body&& body, Result failed) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_exception();
        return failed;
    }
}

// The package's StreamError and Overflow classes, handed over once by the
// reader's Python module (tavo._reader). New references, or null with an
// error set (the classes not set yet, or their constructor failed).
void set_stream_error_types(PyObject* stream_error, PyObject* overflow);
PyObject* new_stream_error(const std::string& text);
PyObject* new_overflow(std::uint64_t dropped);

}  // namespace tavo_native
