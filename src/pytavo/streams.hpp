// Read streams from Python: the DataStream class and the two start methods.
//
// Ownership: a DataStream Python object owns the device's stream handle
// through StreamHandle. Deleting the handle may join the device's threads and
// destroy the sink, which joins the stream's worker, and the worker needs the
// interpreter lock: so the handle is deleted with the lock released (while
// the interpreter runs normally). The handle also holds a share of the
// device's keep_alive, released after the handle, because the handle's code
// belongs to the plugin library.
#pragma once

#include <memory>

#include <pybind11/pybind11.h>

#include <tavo/device.hpp>

#include "instance_guard.hpp"

namespace pytavo {

using NativeStream = tavo::Device::DataStream;

struct StreamHandleDeleter {
    std::shared_ptr<const void> keep_alive;
    void operator()(NativeStream* handle) const noexcept;
};

using StreamHandle = std::unique_ptr<NativeStream, StreamHandleDeleter>;

// The alias of DataStream. No constructor is bound, so it only serves the
// type registry.
class PyDataStream final : public NativeStream {
public:
    void stop() override;
};

void register_data_stream(pybind11::module_& m);




}  // namespace pytavo
