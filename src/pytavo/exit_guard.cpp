#include "exit_guard.hpp"

#include <pybind11/pybind11.h>

#include "tavo/stream_queue.hpp"

namespace py = pybind11;

namespace pytavo {

void install_exit_guard() {
    static bool installed = false;  // guarded by the interpreter lock
    if (installed) return;
    py::module_::import("atexit").attr("register")(
        py::cpp_function([] { tavo::DataStream::abandon_workers(); }));
    installed = true;
}

// The atexit hook runs before finalization proper, so the flag it sets
// covers finalization too. (No private interpreter API here: the module must
// stay loadable by other interpreters for their import to be refused.)
bool python_exiting() noexcept { return tavo::DataStream::workers_abandoned() || !Py_IsInitialized(); }

}  // namespace pytavo
