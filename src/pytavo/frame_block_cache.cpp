#include "frame_block_cache.hpp"

#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>

namespace pytavo {

namespace {

// The size of the interpreter's frame-stack block. A thread state that needs
// a larger one gets it from the wrapped allocator as usual.
constexpr std::size_t frame_block_size = 16 * 1024;

// A few blocks, for as many streams delivering at once; beyond that, freed
// blocks go back to the wrapped allocator. The interpreter lock serialises
// arena calls, the atomics keep the slots sound without relying on it.
std::array<std::atomic<void*>, 4> kept{};

PyObjectArenaAllocator wrapped{};  // written once, under the interpreter lock

thread_local bool stream_worker = false;

void* allocate(void*, std::size_t size) {
    if (stream_worker && size == frame_block_size) {
        for (auto& slot : kept) {
            if (void* block = slot.exchange(nullptr, std::memory_order_acquire)) return block;
        }
    }
    return wrapped.alloc(wrapped.ctx, size);
}

void release(void*, void* block, std::size_t size) {
    if (stream_worker && size == frame_block_size) {
        for (auto& slot : kept) {
            void* empty = nullptr;
            if (slot.compare_exchange_strong(empty, block, std::memory_order_release)) return;
        }
    }
    wrapped.free(wrapped.ctx, block, size);
}

}  // namespace

void install_frame_block_cache() {
    static bool installed = false;  // guarded by the interpreter lock
    if (installed) return;
    // Blocks the wrapped allocator handed out before keep going back to it:
    // every block this wrapper does not keep is passed through unchanged.
    PyObject_GetArenaAllocator(&wrapped);
    PyObjectArenaAllocator wrapper{nullptr, &allocate, &release};
    PyObject_SetArenaAllocator(&wrapper);
    installed = true;
}

void mark_stream_worker() noexcept { stream_worker = true; }

}  // namespace pytavo
