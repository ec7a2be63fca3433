// Keeps the interpreter's frame-stack blocks of stream workers mapped.
//
// Every delivery runs on a fresh interpreter thread state, and the
// interpreter gives each new thread state a frame stack of its own: a block
// it maps on the thread state's first Python call and unmaps when the thread
// state is deleted. Mapping it, faulting it in and unmapping it again (which
// stops the process's other threads for a TLB flush) costs more than the rest
// of a delivery. The interpreter gets that block from its arena allocator;
// this wraps the allocator so that a block freed on a stream worker is kept
// and handed to the worker's next thread state instead.
//
// Only threads marked with mark_stream_worker() use the kept blocks; for
// every other thread, and every other size, the wrapper passes straight
// through to the allocator it replaced.
#pragma once

namespace pytavo {

// Installs the wrapper once. Call with the interpreter lock held.
void install_frame_block_cache();

// Marks the calling thread as a stream worker. Cheap enough to call per event.
void mark_stream_worker() noexcept;

}  // namespace pytavo
