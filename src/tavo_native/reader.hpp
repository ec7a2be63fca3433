// Reader: the native half of tavo.StreamReader, a device's read stream
// pulled by the thread that reads it.
//
// Design: the device's own threads push into a PullQueue (src/tavo); the
// reading thread takes from it directly. There is no worker thread, and
// nothing on the device's threads touches Python. The reading thread holds
// the interpreter lock throughout, except in one place, the wait
// (reader_wait.cpp), where it blocks on the queue's eventfd in slices of at
// most `wait_slice`: between slices it takes the lock back and runs the
// signal handlers, so that Ctrl-C and close() from another thread end a wait
// promptly. (Before it blocks, a reader that has lately found the device
// quick watches for its next item for a few microseconds: see
// watch_briefly.)
//
// State machine, all of it under the interpreter lock:
//   never started -> open   (_start: the device took the sink)
//   open -> closed          (close(), from any thread, or deallocation)
// Taking (reader_take.cpp): wait until what the call needs is pulled into
// `head`, run the signal handlers, then take with no Python code in
// between. An interrupt (a signal handler's exception) can therefore only
// come out of the wait or that check, when nothing was taken: the reader
// stays usable and loses no byte. Python code that runs while a call is in
// progress (a signal handler, the constructor of a StreamError) may let the
// lock go, and another thread may then take from or close the reader:
// `generation` counts the takes, and a call that sees it moved starts over.
//
// Lifetimes: the reader holds its Device object (so the device outlives the
// stream), the stream's handle until it is closed, and a share of the queue
// (whose eventfd an event loop may be watching) until it is deallocated.
// The sink, owned by the device, holds the other share.
#pragma once

#include <Python.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <tavo/device.hpp>

#include "tavo/pull_queue.hpp"

namespace tavo_native {

namespace pulled = tavo::DataStream::Pulled;

inline constexpr std::chrono::milliseconds wait_slice{50};
// How long a reader watches for the device's next item before it sleeps,
// and how many waits at most skip the watch after it saw nothing (see
// watch_briefly in reader_wait.cpp).
inline constexpr std::chrono::microseconds spin_limit{30};
inline constexpr unsigned max_skipped_watches = 64;

// What a call needs pulled into head before it can take: `bytes` of data at
// once, or any item when 0. A marker (an error, a gap, the end) also ends
// the wait: the call takes what comes before it, then the marker.
struct Need {
    std::uint64_t bytes;
};

struct ReaderState {
    std::shared_ptr<tavo::DataStream::PullQueue> queue;  // null until started
    std::unique_ptr<tavo::Device::DataStream> handle;    // until closed
    std::shared_ptr<const void> keep_alive;              // the device handle's; shared with every Chunk
    PyObject* device = nullptr;                          // strong reference, until deallocation
    bool raise_overflow = true;
    bool closed = true;  // also before the start

    // Pulled from the queue and not yet taken, in stream order.
    std::deque<pulled::Item> head;
    std::uint64_t head_bytes = 0;    // data bytes in head, less what was taken of the front
    std::uint64_t head_markers = 0;  // items in head that are not data
    std::uint64_t front_taken = 0;   // bytes of head.front() already taken by read()/readinto()
    std::uint64_t generation = 0;    // counts takes; see above
    // Pieces the last call took, freed by the next one (see give_up).
    std::vector<pulled::Item> spent;
    std::uint64_t spent_bytes = 0;
    std::vector<pulled::Item> scratch;  // an empty vector with room, for the next call's take

    std::vector<const Need*> waiting;  // blocking waits in progress (their threads let the lock go)
    unsigned watch_backoff = 0, watches_skipped = 0;  // see watch_briefly
    unsigned async_waits = 0;          // event-loop tasks waiting on the fd
    std::mutex close_mutex;  // held while the stream stops; only ever waited for without the lock
};

struct Reader {
    PyObject_HEAD
    ReaderState* state;
};

inline ReaderState& state_of(PyObject* self) { return *reinterpret_cast<Reader*>(self)->state; }

// reader_wait.cpp
// Pulls from the queue into head until `need` is met, a marker is there, or
// the queue is empty; true when the call can go on (or the reader is closed).
bool pull_for(ReaderState& s, Need need);
enum class Waited { ready, failed, timed_out };
// Waits until pull_for(need) holds. No deadline when empty. `failed`: a
// signal handler's exception is set; `timed_out`: nothing is set.
Waited wait_for(ReaderState& s, const Need& need, std::optional<std::chrono::steady_clock::time_point> deadline);
// Arms the queue for the waits registered now, or disarms it.
void rearm(ReaderState& s);

// reader_take.cpp
PyObject* reader_read(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* reader_readinto(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* reader_iternext(PyObject* self);
PyObject* reader_next_nowait(PyObject* self, PyObject*);

// Frees what the last call took: the bytes no longer count against the bound.
inline void free_spent(ReaderState& s) {
    if (s.spent_bytes == 0 && s.spent.empty()) return;
    s.spent.clear();
    if (s.queue) s.queue->release(s.spent_bytes);
    s.spent_bytes = 0;
}

// reader.cpp
bool add_reader_type(PyObject* module);
// Raises ValueError for a read from a closed reader; returns null.
PyObject* closed_error();

}  // namespace tavo_native
