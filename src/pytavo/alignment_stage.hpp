// The alignment stage of aligned read streams.
//
// It re-cuts a stream's data into pieces whose length is a positive multiple
// of `alignment`, but for the final piece before Stop, carrying at most
// alignment - 1 bytes between chunks in its accumulation buffer. Pieces are
// passed on as DataView events, of the accumulation buffer or of the event's
// own bytes, so they are valid only during the call that carries them; a
// chunk yields at most two pieces (the completed buffer, then the run taken
// directly from the chunk). Error events pass unchanged.
//
// Threads: it runs only on the stream's worker thread and needs no lock.
// It knows nothing about Python.
#pragma once

#include <cstdint>
#include <vector>

#include <tavo/stream_events.hpp>

namespace pytavo {

class AlignmentStage {
public:
    // Throws std::length_error (ValueError) for an alignment no buffer can
    // have, std::bad_alloc (MemoryError) when the buffer cannot be had.
    AlignmentStage(std::uint64_t alignment, tavo::DataStream::Stage&& consumer)
        : buffer(alignment), consumer(std::move(consumer)), alignment(alignment) {}
    void operator()(tavo::DataStream::Event&& event);

private:
    void pass_view(unsigned char* data, std::uint64_t size) {
        consumer(tavo::DataStream::Event(std::in_place_index<3>, tavo::DataStream::Events::DataView{data, size}));
    }
    void align(unsigned char* p, std::uint64_t n);

    std::vector<unsigned char> buffer;  // the accumulation buffer, `alignment` bytes
    std::uint64_t fill = 0;             // carried bytes, always < alignment
    tavo::DataStream::Stage consumer;
    std::uint64_t alignment;
};

}  // namespace pytavo
