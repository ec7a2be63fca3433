#include "streams.hpp"

#include <cstdint>
#include <optional>
#include <stdexcept>

#include <pybind11/stl.h>

#include "tavo/stream_queue.hpp"

#include "device_class.hpp"
#include "exit_guard.hpp"
#include "frame_block_cache.hpp"
#include "stream_consumers.hpp"

namespace py = pybind11;

namespace pytavo {

void StreamHandleDeleter::operator()(NativeStream* handle) const noexcept {
    // The binding library destroys holders with the lock held. Release it
    // while the device stops and joins (not once the process is exiting:
    // see without_lock). This is a noexcept frame: the lock is taken back
    // through the exit gate, never by a call that could end the thread.
    if (PyGILState_Check()) {
        without_lock([handle] { delete handle; });
        return;
    }
    delete handle;
}

void PyDataStream::stop() { PYBIND11_OVERRIDE_PURE(void, NativeStream, stop, ); }

namespace {

// stop() and __exit__: the device stops with the lock released.
void stop_unlocked(NativeStream& stream) {
    without_lock([&stream] { stream.stop(); });
}

}  // namespace

void register_data_stream(py::module_& m) {
    py::class_<NativeStream, PyDataStream, StreamHandle>(m, "DataStream")
        .def("stop", &stop_unlocked)
        .def("__enter__", [](NativeStream& self) -> NativeStream& { return self; },
             py::return_value_policy::reference)
        .def("__exit__",
             [](NativeStream& self, const std::optional<py::type>&, const std::optional<py::object>&,
                const std::optional<py::object>&) { stop_unlocked(self); });
}

namespace {

// Disposes of a sink that the device did not take. Its destruction joins the
// worker, which needs the lock to release the callback: release it here.
void dispose_untaken(Stage& sink) {
    if (!sink) return;
    without_lock([&sink] { sink = nullptr; });
}

// The common tail of both start methods: hand the sink to the device and
// wrap what comes back. Runs with the lock held.
std::optional<StreamHandle> start(tavo::Device& device, unsigned int addr, Stage&& consumer,
                                  std::uint64_t chunk_size, std::uint64_t max_queue_elements) {
    install_exit_guard();
    install_frame_block_cache();
    // The limit is the low 32 bits, read as a signed value.
    const auto limit = static_cast<int>(static_cast<std::uint32_t>(max_queue_elements));
    Stage sink = tavo::DataStream::make_stream_queue(std::move(consumer), limit);
    std::optional<std::unique_ptr<NativeStream>> result;
    try {
        result = device.start_read_stream(addr, std::move(sink), chunk_size);
    } catch (...) {
        dispose_untaken(sink);
        throw;
    }
    dispose_untaken(sink);
    if (!result || !*result) return std::nullopt;
    return StreamHandle(result->release(), StreamHandleDeleter{keep_alive_of(device)});
}

}  // namespace

void register_stream_methods(DeviceClass& device) {
    device.def(
        "start_read_stream",
        [](tavo::Device& self, unsigned int addr, StreamCallback<ManagedBuffer> callback, std::uint64_t chunk_size,
           std::uint64_t max_queue_elements) {
            Stage consumer(std::in_place_type<ManagedBufferConsumer>, std::move(callback), keep_alive_of(self));
            return start(self, addr, std::move(consumer), chunk_size, max_queue_elements);
        },
        py::arg("addr"), py::arg("callback"), py::arg("chunk_size") = 0, py::arg("max_queue_elements") = 4096,
        py::return_value_policy::move);
    device.def(
        "start_aligned_read_stream",
        [](tavo::Device& self, unsigned int addr, std::uint64_t alignment, StreamCallback<DataView> callback,
           std::uint64_t chunk_size, std::uint64_t max_queue_elements) {
            if (alignment == 0) throw py::value_error("alignment must be greater than 0");
            Stage aligner(std::in_place_type<AlignedViewConsumer>, alignment, std::move(callback),
                          keep_alive_of(self));
            return start(self, addr, std::move(aligner), chunk_size, max_queue_elements);
        },
        py::arg("addr"), py::arg("alignment"), py::arg("callback"), py::arg("chunk_size") = 0,
        py::arg("max_queue_elements") = 4096, py::return_value_policy::move);
}

}  // namespace pytavo
