#include "stream_consumers.hpp"

#include <functional>

#include <spdlog/spdlog.h>

#include "exit_guard.hpp"

namespace py = pybind11;

namespace pytavo {

namespace {

const std::string unsupported_view = "Unsupported data type: DataView";

void log_failure(const char* what) { spdlog::error("Error in callback: {}", what); }

}  // namespace

template <typename Record>
void CallbackConsumer<Record>::deliver(std::optional<Record>&& record, const std::string* text) {
    if (callback.native != nullptr) {
        // A native function: no Python involved, so no lock.
        try {
            callback.native(std::move(record), text ? std::optional<std::string>(*text) : std::nullopt);
        } catch (const std::exception& e) {
            log_failure(e.what());
        }
        return;
    }
    // Only std::exception is caught: a thread ended by the exiting
    // interpreter unwinds through here and must not be stopped.
    py::gil_scoped_acquire gil;
    try {
        if (!callback.function) throw std::bad_function_call();
        DataView* view_record = nullptr;
        py::object first = py::none();
        if (record) {
            first = py::cast(std::move(*record), py::return_value_policy::move);
            if constexpr (std::is_same_v<Record, DataView>) view_record = first.cast<DataView*>();
        }
        py::object second = py::none();
        if (text) {
            PyObject* decoded = PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), nullptr);
            if (decoded == nullptr) throw py::error_already_set();
            second = py::reinterpret_steal<py::object>(decoded);
        }
        py::tuple args = py::make_tuple(std::move(first), std::move(second));
        PyObject* result = PyObject_Call(callback.function.ptr(), args.ptr(), nullptr);
        // The view's bytes stop being valid now: later exports see nothing.
        if (view_record != nullptr) *view_record = DataView{nullptr, 0};
        if (result == nullptr) throw py::error_already_set();
        Py_DECREF(result);
    } catch (py::error_already_set& e) {
        log_failure(e.what());
    } catch (const std::exception& e) {
        log_failure(e.what());
    }
}

template <typename Record>
void CallbackConsumer<Record>::release_callback() {
    if (!callback.function) return;
    if (python_exiting()) {
        (void)callback.function.release();  // taking the lock now would end this thread
        return;
    }
    py::gil_scoped_acquire gil;
    callback.function = py::object();
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
        auto& owned = std::get<2>(event);  // the event keeps the bytes
        deliver(DataView{owned.data.get(), owned.size}, nullptr);
        break;
    }
    default: {
        const auto& view = std::get<3>(event);
        deliver(DataView{view.data, view.size}, nullptr);
        break;
    }
    }
}

}  // namespace pytavo
