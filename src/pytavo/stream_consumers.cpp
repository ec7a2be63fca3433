#include "stream_consumers.hpp"

#include <functional>
#include <new>

#include <spdlog/spdlog.h>

#include "exit_guard.hpp"
#include "frame_block_cache.hpp"

namespace py = pybind11;

namespace pytavo {

namespace {

const std::string unsupported_view = "Unsupported data type: DataView";

void log_failure(const char* what) { spdlog::error("Error in callback: {}", what); }

// The text of the pending Python error, "Type: message"; clears it.
std::string take_error_text() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    std::string text = type ? reinterpret_cast<PyTypeObject*>(type)->tp_name : "unknown error";
    if (PyObject* message = value ? PyObject_Str(value) : nullptr) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(message, &size); utf8 && size) {
            text.append(": ").append(utf8, static_cast<std::size_t>(size));
        }
        Py_DECREF(message);
    }
    PyErr_Clear();
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return text;
}

// Turns the record into a new Python object that owns a moved copy of it.
template <typename Record>
PyObject* to_python(Record&& record) {
    return py::cast(std::move(record), py::return_value_policy::move).release().ptr();
}

}  // namespace

// Design note on the interpreter's exit (see exit_guard.hpp): the lock is
// taken only through the exit gate, so a worker never waits for the lock of
// a finalizing interpreter here. But Python code (the callback, or the
// finalizers its release runs) may let the lock go and ask for it back after
// finalization has begun; the interpreter then ends the thread with a forced
// unwind. Each section that holds the lock runs in run_python_section, which
// stops that unwind and parks the thread: the release runs in a destructor,
// which a forced unwind cannot leave without ending the process. Within a
// section, the lock and every Python object are held without RAII (nothing
// that touches Python may run as the section unwinds), and only
// std::exception is caught, so the unwind always reaches the section's start.
template <typename Record>
void CallbackConsumer<Record>::deliver(std::optional<Record>&& record, const std::string* text,
                                       const PieceKeeper* keeper) {
    if (callback.native != nullptr) {
        // A native function: no Python involved, so no lock.
        try {
            callback.native(std::move(record), text ? std::optional<std::string>(*text) : std::nullopt);
        } catch (const std::exception& e) {
            log_failure(e.what());
        }
        return;
    }
    if (!enter_gate()) return;  // the interpreter is going away: deliver nothing more
    run_python_section([&] {
        // A fresh thread state for this one delivery. In place rather than
        // RAII (see above), and not on the heap: this runs once per event.
        // Its frame stack comes from the blocks kept for stream workers.
        mark_stream_worker();
        alignas(py::gil_scoped_acquire) unsigned char storage[sizeof(py::gil_scoped_acquire)];
        auto* gil = new (storage) py::gil_scoped_acquire;
        leave_gate();
        call_python(std::move(record), text, keeper);
        gil->~gil_scoped_acquire();
    });
}

template <typename Record>
void CallbackConsumer<Record>::call_python(std::optional<Record>&& record, const std::string* text,
                                           [[maybe_unused]] const PieceKeeper* keeper) {
    if (!callback.function) {
        log_failure(std::bad_function_call().what());
        return;
    }
    PyObject* first = Py_NewRef(Py_None);
    [[maybe_unused]] DataView* view = nullptr;
    if (record) {
        try {
            Py_SETREF(first, to_python(std::move(*record)));
        } catch (const std::exception& e) {
            Py_DECREF(first);
            log_failure(e.what());
            return;
        }
        if constexpr (std::is_same_v<Record, DataView>) {
            view = reinterpret_cast<py::detail::instance*>(first)->get_value_and_holder().template value_ptr<DataView>();
        }
    }
    PyObject* second = text ? PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), nullptr)
                            : Py_NewRef(Py_None);
    PyObject* args = second ? PyTuple_Pack(2, first, second) : nullptr;
    PyObject* result = args ? PyObject_Call(callback.function.ptr(), args, nullptr) : nullptr;
    // A view's bytes stop being valid now: later exports see nothing. Exports
    // taken during the call cannot be revoked: the record keeps their bytes
    // until the last of them is released (the lock is held, as for every
    // change of the count).
    if constexpr (std::is_same_v<Record, DataView>) {
        if (view != nullptr) {
            if (view->exports > 0 && keeper != nullptr && keeper->stage != nullptr) {
                view->keep_alive = keeper->keep_alive;
                view->kept = keeper->stage->keep_piece();
            }
            view->data = nullptr;
            view->size = 0;
        }
    }
    if (result == nullptr) log_failure(take_error_text().c_str());
    Py_XDECREF(result);
    Py_XDECREF(args);
    Py_XDECREF(second);
    Py_DECREF(first);
}

template <typename Record>
void CallbackConsumer<Record>::release_callback() {
    if (!callback.function) return;
    PyObject* function = callback.function.release().ptr();
    // Through the gate for the whole section, not only until the lock is
    // held: the last reference's release can run Python code that lets the
    // lock go. Finalization waits until the section is done, for a few
    // seconds at most (see close_gate); past that, the section parks if the
    // interpreter ends it. This runs in a destructor too, which the
    // interpreter's unwind could not leave.
    if (!enter_gate()) return;  // the interpreter is going away: leak it
    run_python_section([function] {
        alignas(py::gil_scoped_acquire) unsigned char storage[sizeof(py::gil_scoped_acquire)];
        auto* gil = new (storage) py::gil_scoped_acquire;  // not RAII: see deliver
        Py_DECREF(function);
        gil->~gil_scoped_acquire();
    });
    leave_gate();
}

template class CallbackConsumer<ManagedBuffer>;
template class CallbackConsumer<DataView>;

void ManagedBufferConsumer::operator()(Event&& event) {
    switch (event.index()) {
    case 0:
        deliver(std::nullopt, nullptr);
        release_callback();  // no call follows a Stop
        break;
    case 1: deliver(std::nullopt, &std::get<1>(event).message); break;
    case 2: deliver(ManagedBuffer(std::move(std::get<2>(event)), keep_alive), nullptr); break;
    default: deliver(std::nullopt, &unsupported_view); break;
    }
}

void DataViewConsumer::operator()(Event&& event) {
    switch (event.index()) {
    case 0:
        deliver(std::nullopt, nullptr);
        release_callback();
        break;
    case 1: deliver(std::nullopt, &std::get<1>(event).message); break;
    case 2: {
        // Not from the alignment stage: the event keeps the bytes, and they
        // cannot outlive it.
        auto& owned = std::get<2>(event);
        deliver(DataView{owned.data.get(), owned.size}, nullptr);
        break;
    }
    default: {
        const auto& view = std::get<3>(event);
        deliver(DataView{view.data, view.size}, nullptr, &keeper);
        break;
    }
    }
}

}  // namespace pytavo
