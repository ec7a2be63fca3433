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
// event keeps its bytes and the worker frees them after the call. When an
// export of the view outlives the call, the consumer has the alignment stage
// hand the piece's bytes to the view's record, which keeps them until that
// export is released (buffers.hpp).
//
// AlignedViewConsumer: the whole consumer side of an aligned stream, the
// alignment stage feeding a DataViewConsumer.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <pybind11/pybind11.h>

#include <tavo/stream_events.hpp>

#include "tavo/alignment_stage.hpp"

#include "buffers.hpp"
#include "stream_callback.hpp"

namespace pytavo {

namespace events = tavo::DataStream::Events;
using tavo::DataStream::Event;
using tavo::DataStream::Stage;
using tavo::DataStream::AlignmentStage;

// Calls the callback with (optional record, optional text). Holds the
// interpreter lock for exactly one delivery.
// What lets a DataView outlive its callback: the stage whose piece it shows,
// and the owner of the code that frees a kept chunk.
struct PieceKeeper {
    AlignmentStage* stage = nullptr;
    std::shared_ptr<const void> keep_alive;
};

template <typename Record>
class CallbackConsumer {
public:
    explicit CallbackConsumer(StreamCallback<Record>&& callback) : callback(std::move(callback)) {}
    CallbackConsumer(CallbackConsumer&&) noexcept = default;
    CallbackConsumer& operator=(CallbackConsumer&&) = delete;
    ~CallbackConsumer() { release_callback(); }

protected:
    // `keeper` only for DataView records; null when their bytes cannot be kept.
    void deliver(std::optional<Record>&& record, const std::string* text, const PieceKeeper* keeper = nullptr);
    void call_python(std::optional<Record>&& record, const std::string* text, const PieceKeeper* keeper);

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
    DataViewConsumer(StreamCallback<DataView>&& callback, PieceKeeper keeper)
        : CallbackConsumer(std::move(callback)), keeper(std::move(keeper)) {}
    void operator()(Event&& event);

private:
    PieceKeeper keeper;
};

// Built in place inside the stream's stage and never moved: the consumer
// refers back to the stage by address. Destroys the stage (and its buffer)
// before the consumer (and the callback).
class AlignedViewConsumer {
public:
    AlignedViewConsumer(std::uint64_t alignment, StreamCallback<DataView>&& callback,
                        std::shared_ptr<const void> keep_alive)
        : views(std::move(callback), PieceKeeper{&stage, std::move(keep_alive)}),
          stage(alignment, [this](Event&& piece) { views(std::move(piece)); }) {}
    AlignedViewConsumer(AlignedViewConsumer&&) = delete;
    void operator()(Event&& event) { stage(std::move(event)); }

private:
    DataViewConsumer views;
    AlignmentStage stage;
};


}  // namespace pytavo
