// The floor of the stream delivery path: per event, one scoped lock
// acquisition on a thread without a thread state, one two-tuple and one call.
// With kept_thread_state, the thread keeps one thread state and only
// releases and retakes the lock per event: the cost of lock and call alone.
#include <chrono>
#include <optional>
#include <thread>

#include "bench_refs.hpp"

namespace py = pybind11;

namespace bench {

double delivery_floor(const py::object& callback, const py::object& item, std::uint64_t events,
                      bool kept_thread_state) {
    double seconds = 0;
    // The thread borrows callback and item: the caller keeps them alive, and
    // every use is under the lock, which this thread holds only per call.
    auto deliver = [&] {
        std::optional<py::gil_scoped_acquire> kept;
        PyThreadState* saved = nullptr;
        if (kept_thread_state) {
            kept.emplace();
            saved = PyEval_SaveThread();  // from here the lock is taken per event, as below
        }
        const auto start = std::chrono::steady_clock::now();
        for (std::uint64_t k = 0; k <= events; ++k) {
            py::gil_scoped_acquire gil;  // with a kept thread state: just the lock
            py::tuple args = k < events ? py::make_tuple(item, py::none()) : py::make_tuple(py::none(), py::none());
            PyObject* result = PyObject_Call(callback.ptr(), args.ptr(), nullptr);
            if (result == nullptr) {
                PyErr_Clear();  // reported as a wrong count by the caller's check
                continue;
            }
            Py_DECREF(result);
        }
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (saved) PyEval_RestoreThread(saved);  // kept's destructor needs the lock
    };
    py::gil_scoped_release unlocked;
    std::thread(deliver).join();
    return seconds;
}

}  // namespace bench
