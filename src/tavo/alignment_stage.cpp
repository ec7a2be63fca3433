#include "alignment_stage.hpp"

#include <cstring>
#include <new>

namespace tavo::DataStream {

void AlignmentStage::operator()(Event&& event) {
    switch (event.index()) {
    case 0:
        flush();  // the final, shorter piece
        consumer(std::move(event));
        break;
    case 1: consumer(std::move(event)); break;
    case 2: {
        auto& owned = std::get<2>(event);
        chunk = &owned;
        align(owned.data.get(), owned.size);
        chunk = nullptr;
        kept_chunk.reset();  // a keeper that took the bytes now holds the only share
        break;
    }
    default: {
        const auto& view = std::get<3>(event);
        align(view.data, view.size);
        break;
    }
    }
}

void AlignmentStage::flush() {
    if (fill == 0) return;
    const std::uint64_t size = fill;
    fill = 0;
    pass_view(buffer->data(), size, Piece::buffer);
}

bool AlignmentStage::reserve() noexcept {
    if (buffer_kept) {
        (void)writable_buffer(fill);
        if (buffer_kept) return false;
    }
    if (!spare) {
        try {
            spare = std::make_shared<std::vector<unsigned char>>(alignment);
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    return true;
}

void AlignmentStage::pass_view(unsigned char* data, std::uint64_t size, Piece source) {
    piece = source;
    consumer(Event(std::in_place_index<3>, Events::DataView{data, size}));
    piece = Piece::none;
}

std::shared_ptr<const void> AlignmentStage::keep_piece() noexcept {
    switch (piece) {
    case Piece::buffer: buffer_kept = true; return buffer;
    case Piece::chunk:
        if (!kept_chunk && chunk != nullptr && chunk->data) {
            try {
                kept_chunk = std::shared_ptr<unsigned char>(std::move(chunk->data));
            } catch (const std::bad_alloc&) {
                // No memory to share them: the bytes stay allocated for good,
                // a leak under memory exhaustion rather than live exports
                // over freed bytes.
                (void)chunk->data.release();
                return nullptr;
            }
        }
        return kept_chunk;
    default: return nullptr;
    }
}

// A buffer that was kept is left to its keeper: the stage moves to a fresh
// one, taking along the `carried` bytes at its start (bytes that belong to the
// stream, not to the kept piece). Without memory for a fresh one the stage
// goes on in the kept buffer, whose exports then see newer bytes (still
// allocated); the carried bytes stay there and move on with the next
// successful allocation.
unsigned char* AlignmentStage::writable_buffer(std::uint64_t carried) noexcept {
    if (buffer_kept) {
        try {
            auto fresh = spare ? std::move(spare) : std::make_shared<std::vector<unsigned char>>(alignment);
            if (carried) std::memcpy(fresh->data(), buffer->data(), carried);
            buffer = std::move(fresh);
            buffer_kept = false;
        } catch (const std::bad_alloc&) {
        }
    }
    return buffer->data();
}

void AlignmentStage::align(unsigned char* p, std::uint64_t n) {
    if (n == 0) return;  // an empty chunk may have no bytes at all (a null pointer)
    const std::uint64_t a = alignment;
    if (fill > 0) {
        if (fill + n < a) {
            std::memcpy(writable_buffer(fill) + fill, p, n);
            fill += n;
            return;
        }
        const std::uint64_t k = a - fill;
        std::memcpy(writable_buffer(fill) + fill, p, k);
        pass_view(buffer->data(), a, Piece::buffer);
        const std::uint64_t r = n - k;
        fill = r % a;
        if (fill) std::memcpy(writable_buffer(0), p + n - fill, fill);
        if (r - fill > 0) pass_view(p + k, r - fill, Piece::chunk);
        return;
    }
    fill = n % a;
    if (fill) std::memcpy(writable_buffer(0), p + n - fill, fill);
    if (n - fill > 0) pass_view(p, n - fill, Piece::chunk);
}

}  // namespace tavo::DataStream
