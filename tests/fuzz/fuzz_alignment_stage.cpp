// Fuzzes the alignment stage: an alignment and a run of chunks (owned or
// viewed, of random sizes, with error reports and stops in between) go in;
// what comes out must be the same bytes, in order, as pieces of whole
// multiples of the alignment, but for the one piece passed at each Stop,
// which is shorter than the alignment. No chunk yields more than two pieces
// and no more than alignment - 1 bytes are ever held back. Errors pass
// unchanged and at once.
//
// With bit 0 of the mode byte set, the consumer keeps every piece, as a
// pulled stream does: the stage is reserved before each chunk, flushed before
// each error (which then may also follow a shorter piece), and no kept
// piece's bytes may ever change afterwards.
//
// Input layout: two bytes of alignment (1..65536), one mode byte, then per
// event one control byte (low 2 bits: owned, view, error, stop) and for data
// two bytes of size (0..65535).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tavo/alignment_stage.hpp"

namespace {

using tavo::DataStream::Event;
namespace events = tavo::DataStream::Events;

[[noreturn]] void fail(const char* what) {
    __builtin_printf("alignment stage fault: %s\n", what);
    std::abort();
}

unsigned char pattern(std::uint64_t position) { return static_cast<unsigned char>(position % 251); }

// What the consumer saw, checked on every call.
struct Observer {
    explicit Observer(std::uint64_t alignment) : alignment(alignment) {}

    std::uint64_t alignment;
    std::uint64_t received = 0;  // bytes that came out so far
    std::uint64_t pieces_of_event = 0;
    std::uint64_t stops = 0;
    std::vector<std::string> errors;
    bool short_piece_seen = false;  // a short piece may only be followed by Stop (or, when keeping, an error)
    tavo::DataStream::AlignmentStage* keeper = nullptr;  // keeps every piece when set
    struct Kept {
        std::shared_ptr<const void> owner;
        const unsigned char* data;
        std::uint64_t size, position;
    };
    std::vector<Kept> kept;

    void check_kept() const {
        for (const auto& piece : kept) {
            for (std::uint64_t i = 0; i < piece.size; ++i) {
                if (piece.data[i] != pattern(piece.position + i)) fail("a kept piece was written again");
            }
        }
    }

    void operator()(Event&& event) {
        switch (event.index()) {
        case 0:
            ++stops;
            short_piece_seen = false;
            break;
        case 1:
            errors.push_back(std::get<1>(event).message);
            if (keeper) short_piece_seen = false;
            break;
        case 2: fail("owned data passed on: pieces must be views");
        default: {
            const auto& view = std::get<3>(event);
            if (view.size == 0) fail("empty piece");
            if (short_piece_seen) fail("a piece after the short one, before Stop");
            if (view.size % alignment != 0) {
                if (view.size > alignment) fail("short piece longer than the alignment");
                short_piece_seen = true;
            }
            for (std::uint64_t i = 0; i < view.size; ++i) {
                if (view.data[i] != pattern(received + i)) fail("bytes out of order");
            }
            if (keeper) {
                auto owner = keeper->keep_piece();
                if (owner) kept.push_back({std::move(owner), view.data, view.size, received});
            }
            received += view.size;
            ++pieces_of_event;
            break;
        }
        }
    }
};

struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;
    bool more() const { return pos < size; }
    unsigned byte() { return pos < size ? data[pos++] : 0; }
    unsigned word() { return byte() | (byte() << 8); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader input{data, size};
    const std::uint64_t alignment = input.word() + 1;
    const bool keeping = input.byte() & 1;

    Observer observer(alignment);
    Observer* seen = &observer;  // the stage owns its consumer; the checks stay here
    tavo::DataStream::AlignmentStage stage(alignment, [seen](Event&& event) { (*seen)(std::move(event)); });
    if (keeping) observer.keeper = &stage;

    std::uint64_t sent = 0;
    std::vector<unsigned char> view_bytes;
    std::size_t errors_sent = 0;
    while (input.more()) {
        const unsigned control = input.byte();
        observer.pieces_of_event = 0;
        switch (control & 3) {
        case 0:
        case 1: {
            const std::uint64_t n = input.word();
            unsigned char* bytes = (control & 3) == 0 ? new unsigned char[n] : (view_bytes.resize(n), view_bytes.data());
            for (std::uint64_t i = 0; i < n; ++i) bytes[i] = pattern(sent + i);
            sent += n;
            if (keeping && !stage.reserve()) fail("no reserve without an allocation failure");
            if ((control & 3) == 0) {
                stage(Event(events::OwnedData{{bytes, &tavo::DataStream::release_array}, n}));
            } else {
                stage(Event(std::in_place_index<3>, events::DataView{bytes, n}));
                if (n > 0) std::memset(bytes, 0xEE, n);  // a view is valid only during its call
            }
            if (observer.pieces_of_event > 2) fail("more than two pieces from one chunk");
            break;
        }
        case 2: {
            const std::string text = "error " + std::to_string(errors_sent++);
            if (keeping) stage.flush();
            stage(Event(std::in_place_index<1>, events::Error{text}));
            if (observer.errors.size() != errors_sent || observer.errors.back() != text) fail("error not passed at once");
            break;
        }
        default: {
            const auto stops = observer.stops;
            stage(Event(std::in_place_index<0>));
            if (observer.stops != stops + 1) fail("Stop not passed");
            if (observer.received != sent) fail("bytes missing at Stop");
            break;
        }
        }
        if (sent - observer.received >= alignment) fail("a whole alignment held back");
        if (observer.received > sent) fail("more bytes out than in");
    }
    stage(Event(std::in_place_index<0>));
    if (observer.received != sent) fail("bytes missing at the final Stop");
    observer.check_kept();
    return 0;
}
