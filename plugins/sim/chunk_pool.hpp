// Chunk memory for OwnedData streams, recycled.
//
// A stream's chunks are freed on another thread (the consumer's) a moment
// after they were filled. Freshly allocated chunks of tens of KiB and more
// come from memory the allocator has just returned to the system, so every
// chunk would page-fault its way in again; a freed chunk kept here is handed
// to the next chunk of the same size instead, already mapped.
//
// Ownership: a chunk from take_chunk() belongs to whoever holds it until
// release_chunk() is called on it once (the ReleaseFunction of its event),
// from any thread. The pool itself is never destroyed: chunks may be
// released during process exit, after static destructors have run. It keeps
// at most a few MiB; beyond that released chunks are freed at once.
#pragma once

#include <cstddef>

namespace tavo::sim {

// Bytes for one chunk of `size` bytes; throws std::bad_alloc.
unsigned char* take_chunk(std::size_t size);

// Returns a chunk from take_chunk() to the pool (or frees it). Thread-safe.
void release_chunk(unsigned char* chunk) noexcept;

}  // namespace tavo::sim
