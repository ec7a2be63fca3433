// The stages between a stream's queue and its Python callback.
//
// Both consumers and the alignment stage run only on the stream's worker
// thread, one event at a time and in push order; they are owned by the
// worker and destroyed there.
//
// ManagedBufferConsumer (plain streams): Stop -> (None, None); Error ->
// (None, text); OwnedData -> (ManagedBuffer taking over the bytes, None);
// DataView -> (None, "Unsupported data type: DataView").
//
// DataViewConsumer (aligned streams): data events -> (DataView, None); the
// event keeps its bytes and the worker frees them after the call.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <pybind11/pybind11.h>

#include <tavo/stream_events.hpp>

#include "alignment_stage.hpp"
#include "buffers.hpp"
#include "stream_callback.hpp"

namespace pytavo {

namespace events = tavo::DataStream::Events;
using tavo::DataStream::Event;
using tavo::DataStream::Stage;

// Calls the callback with (optional record, optional text). Holds the
// interpreter lock for exactly one delivery.
template <typename Record>
class CallbackConsumer {
public:
    explicit CallbackConsumer(StreamCallback<Record>&& callback) : callback(std::move(callback)) {}
    CallbackConsumer(CallbackConsumer&&) noexcept = default;
    CallbackConsumer& operator=(CallbackConsumer&&) = delete;
    ~CallbackConsumer() { release_callback(); }

protected:
    void deliver(std::optional<Record>&& record, const std::string* text);
    void call_python(std::optional<Record>&& record, const std::string* text);

    // Drops the callback: with the lock held, or leaked once Python exits.
    void release_callback();

private:
    StreamCallback<Record> callback;
};

class ManagedBufferConsumer : public CallbackConsumer<ManagedBuffer> {
public:
    ManagedBufferConsumer(StreamCallback<ManagedBuffer>&& callback, std::shared_ptr<const void> keep_alive)
        : CallbackConsumer(std::move(callback)), keep_alive(std::move(keep_alive)) {}
    void operator()(Event&& event);

private:
    std::shared_ptr<const void> keep_alive;  // shared with every ManagedBuffer it makes
};

class DataViewConsumer : public CallbackConsumer<DataView> {
public:
    using CallbackConsumer::CallbackConsumer;
    void operator()(Event&& event);
};


}  // namespace pytavo
