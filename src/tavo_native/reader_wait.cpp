// Pulling into head and waiting for the stream: the only place where the
// reading thread lets the interpreter lock go.
#include <algorithm>
#include <limits>

#include "pytavo/exit_guard.hpp"
#include "reader.hpp"

namespace tavo_native {

namespace {

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Watches for the producer's next store for up to spin_limit, holding the
// lock: a reader that keeps up with a fast device would otherwise sleep and
// be woken (two system calls and a hand-over of the lock) for every chunk.
// A watch that sees nothing makes the next waits sleep at once, for twice as
// many waits each time up to max_skipped_watches, so that a slow or idle
// stream costs next to no processor time.
bool watch_briefly(ReaderState& s) {
    if (s.watches_skipped < s.watch_backoff) {
        ++s.watches_skipped;
        return false;
    }
    s.watches_skipped = 0;
    const std::uint64_t seen = s.queue->stored_items();
    const auto until = std::chrono::steady_clock::now() + spin_limit;
    for (unsigned round = 1;; ++round) {
        if (s.queue->stored_items() != seen) {
            s.watch_backoff = 0;
            return true;
        }
        cpu_relax();
        if (round % 64 == 0 && std::chrono::steady_clock::now() >= until) break;
    }
    s.watch_backoff = std::min(std::max(2 * s.watch_backoff, 1u), max_skipped_watches);
    return false;
}

bool met(const ReaderState& s, const Need& need) {
    if (s.closed || s.head_markers > 0) return true;
    return need.bytes == 0 ? !s.head.empty() : s.head_bytes >= need.bytes;
}

}  // namespace

bool pull_for(ReaderState& s, Need need) {
    pulled::Item item;
    while (!met(s, need) && s.queue->pull(item)) {
        if (const auto* piece = std::get_if<pulled::Data>(&item)) {
            s.head_bytes += piece->size;
        } else if (auto* gap = std::get_if<pulled::Dropped>(&item); gap && !s.raise_overflow) {
            (void)gap->take();  // only counted (the queue's counts have it): no marker for it
            continue;
        } else {
            ++s.head_markers;
        }
        s.head.push_back(std::move(item));
    }
    return met(s, need);
}

void rearm(ReaderState& s) {
    if (!s.queue) return;
    if (s.waiting.empty() && s.async_waits == 0) {
        s.queue->disarm();
        s.queue->set_read_need(0);
        return;
    }
    // Woken by the first store that can end any of the waits. The largest
    // read's need lets data in past max_bytes while less than it is held
    // (the front piece counts whole, its bytes already taken included), or a
    // read larger than the bound could never be met.
    std::uint64_t missing = s.async_waits ? 0 : std::numeric_limits<std::uint64_t>::max();
    std::uint64_t largest = 0;
    for (const Need* need : s.waiting) {
        largest = std::max(largest, need->bytes);
        missing = std::min(missing, need->bytes > s.head_bytes ? need->bytes - s.head_bytes : 0);
    }
    s.queue->set_read_need(largest > 0 ? largest + s.front_taken : 0);
    s.queue->arm(missing);
}

Waited wait_for(ReaderState& s, const Need& need, std::optional<std::chrono::steady_clock::time_point> deadline) {
    if (pull_for(s, need)) return Waited::ready;
    auto queue = s.queue;  // kept while the lock is let go, whatever close() does meanwhile
    s.waiting.push_back(&need);
    Waited result = Waited::ready;
    for (;;) {
        if (watch_briefly(s) && pull_for(s, need)) break;
        // Armed before pulling: a store after the pull wakes the fd.
        rearm(s);
        if (pull_for(s, need)) break;
        auto slice = wait_slice;
        if (deadline) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= *deadline) {
                result = Waited::timed_out;
                break;
            }
            slice = std::min(slice, std::chrono::ceil<std::chrono::milliseconds>(*deadline - now));
        }
        // Here, and only here, the reading thread lets the interpreter lock
        // go. Taking it back goes through the exit gate: a daemon thread of
        // an exiting interpreter stays parked there for good rather than be
        // ended inside this frame.
        PyThreadState* thread = PyEval_SaveThread();
        const bool woken = queue->wait(slice);
        pytavo::retake_lock(thread);
        queue->disarm();  // until armed again: a producer that runs on would write the fd for each item
        // Blocking waits and event loops share the fd: the wake this thread
        // cleared may have been for a task.
        if (woken && s.async_waits > 0) queue->wake();
        if (PyErr_CheckSignals() < 0) {
            result = Waited::failed;
            break;
        }
    }
    s.waiting.erase(std::find(s.waiting.begin(), s.waiting.end(), &need));
    rearm(s);
    return result;
}

}  // namespace tavo_native
