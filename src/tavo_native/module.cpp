// tavo._native: the compiled half of the `tavo` package.
//
// It pulls read streams of the devices that pytavo_device makes (Reader,
// Chunk), reaching their native device through the binding library's shared
// type registry (device_access.hpp). Built with the same binding library as
// pytavo_device, by the same CMake, and installed inside the package.
//
// The types are plain CPython types rather than bound classes: iteration
// and the buffer protocol are their slots, called by the interpreter
// directly, once per chunk. The binding library serves the module's entry
// and the registry.
#include <pybind11/pybind11.h>

#include "chunk.hpp"
#include "errors.hpp"
#include "reader.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_native, m) {
    m.doc() = "The compiled half of the tavo package: read streams pulled without a worker thread.";
    if (!tavo_native::add_chunk_type(m.ptr()) || !tavo_native::add_reader_type(m.ptr())) {
        throw py::error_already_set();
    }
    // The package's exception classes, set once by tavo._reader.
    m.def("_set_error_types", [](const py::type& stream_error, const py::type& overflow) {
        tavo_native::set_stream_error_types(stream_error.ptr(), overflow.ptr());
    });
}
