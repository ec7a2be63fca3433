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
// A consumer that cannot stop using a piece when its call returns asks, during
// that call, for keep_piece(): the piece's bytes then stay allocated for as
// long as the returned owner lives. The stage moves to a fresh buffer rather
// than write into a kept one again, taking its carried bytes along (only when
// no memory is left for one does it go on in the kept buffer), and a kept
// event's bytes are taken out of the event, so the worker no longer frees them.
//
// Threads: it runs on one thread at a time (the stream's worker, or the
// device's producer thread for a pulled stream) and needs no lock. It knows
// nothing about Python.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <tavo/stream_events.hpp>

namespace tavo::DataStream {

class AlignmentStage {
public:
    // Throws std::length_error (ValueError) for an alignment no buffer can
    // have, std::bad_alloc (MemoryError) when the buffer cannot be had.
    AlignmentStage(std::uint64_t alignment, Stage&& consumer)
        : buffer(std::make_shared<std::vector<unsigned char>>(alignment)),
          consumer(std::move(consumer)),
          alignment(alignment) {}
    void operator()(Event&& event);

    // Passes the carried bytes on as a shorter piece, if there are any: what
    // a Stop does first. A pulled stream does it before an error or a gap, so
    // that these stay at their place in the bytes.
    void flush();
    std::uint64_t carried() const noexcept { return fill; }

    // Makes sure that the next event can be aligned without an allocation,
    // even when its consumer keeps a buffer piece: a writable buffer with the
    // carried bytes, and a spare one. False when there is no memory for
    // them; the stage is then as it was. A consumer that keeps every piece
    // calls it before each event, so that a kept buffer is never written.
    bool reserve() noexcept;

    // An owner of the bytes of the piece now being passed on. Call only from
    // the consumer's call for that piece. Null when the bytes are not the
    // stage's to keep (a DataView event pushed into it) or when no memory is
    // left to keep them with.
    std::shared_ptr<const void> keep_piece() noexcept;

private:
    enum class Piece { none, buffer, chunk };

    void pass_view(unsigned char* data, std::uint64_t size, Piece source);
    void align(unsigned char* p, std::uint64_t n);
    // The buffer to write into, keeping its first `carried` bytes.
    unsigned char* writable_buffer(std::uint64_t carried) noexcept;

    std::shared_ptr<std::vector<unsigned char>> buffer;  // the accumulation buffer, `alignment` bytes
    std::shared_ptr<std::vector<unsigned char>> spare;   // the next one, once reserve() made it
    std::uint64_t fill = 0;                              // carried bytes, always < alignment
    Stage consumer;
    std::uint64_t alignment;
    // Only while a chunk is aligned: the event that owns it, and the share of
    // its bytes once a piece of it was kept.
    Events::OwnedData* chunk = nullptr;
    std::shared_ptr<unsigned char> kept_chunk;
    Piece piece = Piece::none;  // the source of the piece being passed on
    bool buffer_kept = false;   // `buffer` is shared with a keeper: never write into it again
};

}  // namespace tavo::DataStream
