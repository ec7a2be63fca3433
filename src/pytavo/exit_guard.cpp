#include "exit_guard.hpp"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

#include <pybind11/pybind11.h>

#include "tavo/stream_queue.hpp"

namespace py = pybind11;

namespace pytavo {

namespace {

// The gate: the closed flag in the top bit, the threads admitted and not yet
// holding the lock (or not yet done, for a whole section) below it.
constexpr std::uint64_t closed_flag = std::uint64_t{1} << 63;
std::atomic<std::uint64_t> gate{0};

bool armed = false;  // guarded by the interpreter lock

// Admissions this thread holds. A thread inside a whole section (which the
// closing thread waits for) is admitted again at once: turning it away would
// leave it parked inside the section, and finalization waiting for it.
thread_local unsigned admissions = 0;

// Runs on the finalizing thread, with the lock held.
void close_gate() {
    gate.fetch_or(closed_flag, std::memory_order_acq_rel);
    tavo::DataStream::abandon_workers();
    if (!Py_IsInitialized()) return;  // too late to wait: nobody can take the lock now
    // The admitted threads wait for the lock this thread holds: hand it over
    // until none is left. Each needs it for a moment, except a callback's
    // release, which runs the callback's finalizers; the wait is bounded so
    // that one blocked forever cannot hang the exit. A release still running
    // after it is ended by the interpreter if it asks for the lock again,
    // and then parks (run_python_section).
    Py_BEGIN_ALLOW_THREADS
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((gate.load(std::memory_order_acquire) & ~closed_flag) != 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    Py_END_ALLOW_THREADS
}

// A child made by fork() has only the forking thread (this one, in the
// child): of the threads counted in the gate, only it can still leave.
void forget_other_threads() noexcept {
    const std::uint64_t closed = gate.load(std::memory_order_relaxed) & closed_flag;
    gate.store(closed | (admissions > 0 ? 1 : 0), std::memory_order_relaxed);
}

// Whether the interpreter's exit has begun: Py_FinalizeEx runs threading's
// shutdown, which sets this flag, before the atexit handlers.
bool interpreter_exiting() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    bool exiting = true;  // in doubt, stop deliveries rather than risk the process
    PyObject* name = PyUnicode_FromString("threading");
    if (PyObject* threading = name ? PyImport_GetModule(name) : nullptr) {
        if (PyObject* flag = PyObject_GetAttrString(threading, "_SHUTTING_DOWN")) {
            exiting = PyObject_IsTrue(flag) != 0;
            Py_DECREF(flag);
        }
        Py_DECREF(threading);
    }
    Py_XDECREF(name);
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return exiting;
}

int rearm(void*) {
    try {
        install_exit_guard();
    } catch (const py::error_already_set&) {
        PyErr_Clear();  // the next stream start arms it again
    }
    return 0;
}

// The exit hook. The token is the argument of an atexit registration, so it
// is freed when atexit frees its registrations: at exit that is after the
// last handler has returned, whatever the order in which handlers were
// registered, and before the runtime is marked finalizing (nothing runs in
// between). A handler itself would not do: handlers run in reverse order of
// registration, so every handler registered before it would run after it;
// threading's exit hooks run before all atexit handlers, and Py_AtExit
// functions and module teardown after the runtime is marked finalizing.
// The token also dies when the registration is dropped early (atexit's
// private _clear or _run_exitfuncs): then the interpreter is not exiting,
// and the hook is armed again on the main thread's next check for pending
// calls (not from here: atexit may be freeing its registrations right now).
void on_token_freed(PyObject*) {
    armed = false;
    if (interpreter_exiting()) {
        close_gate();
    } else {
        (void)Py_AddPendingCall(&rearm, nullptr);  // if refused, the next stream start arms it
    }
}

}  // namespace

void install_exit_guard() {
    if (armed || python_exiting()) return;
    static std::once_flag fork_handler;
    std::call_once(fork_handler, [] { pthread_atfork(nullptr, nullptr, &forget_other_threads); });
    py::module_::import("threading");  // for interpreter_exiting()
    auto token = py::reinterpret_steal<py::object>(PyCapsule_New(&gate, "pytavo_device.exit_token", &on_token_freed));
    if (!token) throw py::error_already_set();
    py::module_::import("atexit").attr("register")(py::cpp_function([](const py::handle&) {}), token);
    armed = true;
}

bool python_exiting() noexcept {
    return (gate.load(std::memory_order_acquire) & closed_flag) != 0 || !Py_IsInitialized();
}

bool enter_gate() noexcept {
    if (admissions > 0) {
        ++admissions;
        return true;
    }
    if (gate.load(std::memory_order_acquire) & closed_flag) return false;
    if (gate.fetch_add(1, std::memory_order_acq_rel) & closed_flag) {
        gate.fetch_sub(1, std::memory_order_acq_rel);
        return false;
    }
    admissions = 1;
    return true;
}

void leave_gate() noexcept {
    if (--admissions == 0) gate.fetch_sub(1, std::memory_order_acq_rel);
}

void retake_lock(PyThreadState* state) noexcept {
    if (enter_gate()) {
        PyEval_RestoreThread(state);
        leave_gate();
        return;
    }
    // Turned away: this is a daemon thread of an exiting process. Returning
    // to Python is impossible and ending the thread could abort the process.
    park_thread();
}

void park_thread() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace pytavo
