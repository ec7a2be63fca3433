#include "chunk_pool.hpp"

#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

namespace tavo::sim {

namespace {

// Each chunk is preceded by a header that records its size, so that the
// release function, a plain function pointer, knows where the chunk goes.
// The header keeps the data at the allocator's fundamental alignment.
struct alignas(std::max_align_t) Header {
    std::size_t size;
};

// Below this size the allocator keeps freed memory mapped anyway.
constexpr std::size_t smallest_pooled = 16 * 1024;
constexpr std::size_t most_kept_bytes = 16 * 1024 * 1024;
constexpr std::size_t most_kept_chunks = 32;

class ChunkPool {
public:
    Header* take(std::size_t size) {
        if (size >= smallest_pooled) {
            std::lock_guard lock(mutex_);
            for (auto it = kept_.rbegin(); it != kept_.rend(); ++it) {
                if ((*it)->size != size) continue;
                Header* chunk = *it;
                kept_.erase(std::next(it).base());
                kept_bytes_ -= size;
                return chunk;
            }
        }
        auto* chunk = static_cast<Header*>(::operator new(sizeof(Header) + size));
        chunk->size = size;
        return chunk;
    }

    void give_back(Header* chunk) noexcept {
        if (chunk->size >= smallest_pooled) {
            std::lock_guard lock(mutex_);
            if (kept_.size() < most_kept_chunks && kept_bytes_ + chunk->size <= most_kept_bytes) {
                // Never allocates: the vector's capacity is reserved up front.
                kept_.push_back(chunk);
                kept_bytes_ += chunk->size;
                return;
            }
        }
        ::operator delete(chunk);
    }

    ChunkPool() { kept_.reserve(most_kept_chunks); }

private:
    std::mutex mutex_;
    std::vector<Header*> kept_;  // most recently released last: the warmest
    std::size_t kept_bytes_ = 0;
};

ChunkPool& pool() {
    static auto* const instance = new ChunkPool;  // never destroyed, see the header
    return *instance;
}

}  // namespace

unsigned char* take_chunk(std::size_t size) {
    return reinterpret_cast<unsigned char*>(pool().take(size) + 1);
}

void release_chunk(unsigned char* chunk) noexcept {
    if (chunk != nullptr) pool().give_back(reinterpret_cast<Header*>(chunk) - 1);
}

}  // namespace tavo::sim
