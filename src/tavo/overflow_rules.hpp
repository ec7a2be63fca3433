// The limit and overflow rules shared by the stream queues: how a producer
// decides that the consumer holds too much, and how the events it drops then
// are counted.
//
// HeldBound: the producer's view of what the consumer still holds (events or
// bytes). It keeps an upper bound from its own stores and reads the
// consumer's count only when the bound says the limit is reached: below it a
// fresh read would decide the same, and skipping it spares a cache line that
// the consumer writes on every event.
//
// DropRuns: consecutive drops counted as runs. A run is one marker, stored at
// the place of its first drop, with a shared count that grows while nothing
// is stored after it and the consumer has not taken it. Taking the marker
// makes its count final; later drops start a new run. A stream held at
// overflow for hours therefore holds one marker, not one per dropped event.
//
// Threads: single producer, single consumer. Both classes' state is the
// producer's, except the shared count, whose atomic exchange orders a late
// drop against the consumer's take.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <thread>

namespace tavo::DataStream {

class HeldBound {
public:
    // Whether `extra` more fits under `limit`: when nothing is held (so one
    // item larger than the limit goes through alone) or when held + extra
    // stays within it. `fresh` returns the consumer's current count; it is
    // called only when the bound alone would refuse.
    template <typename Fresh>
    bool fits(std::uint64_t extra, std::uint64_t limit, Fresh&& fresh) {
        if (within(extra, limit)) return true;
        bound = fresh();
        return within(extra, limit);
    }
    // A store of `n`: the bound grows, the consumer only takes away.
    void add(std::uint64_t n) noexcept { bound += n; }
    // What is held at most: the consumer's count as of the last refusal of
    // fits(), plus what was stored since.
    std::uint64_t held() const noexcept { return bound; }

private:
    bool within(std::uint64_t extra, std::uint64_t limit) const noexcept {
        return bound == 0 || (bound <= limit && extra <= limit - bound);
    }
    std::uint64_t bound = 0;
};

// Calls `make` until it does not throw std::bad_alloc, yielding in between:
// past the limit a failed allocation is waited out, never reported.
template <typename Make>
auto until_allocated(Make&& make) {
    for (;;) {
        try {
            return make();
        } catch (const std::bad_alloc&) {
            std::this_thread::yield();
        }
    }
}

class DropRuns {
public:
    using Count = std::atomic<std::uint64_t>;

    // Producer: adds `n` drops to the open run. False when there is none
    // (something was stored since the last drop, or the consumer took the
    // run's marker): the caller then stores a marker for start(n).
    bool extend(std::uint64_t n) noexcept {
        return open && !(open->fetch_add(n, std::memory_order_acq_rel) & taken);
    }
    // Producer: opens a new run of `n` drops and returns its count, which the
    // caller's marker carries. Never fails: a failed allocation is waited out.
    std::shared_ptr<Count> start(std::uint64_t n) {
        open = until_allocated([n] { return std::make_shared<Count>(n); });
        return open;
    }
    // Producer: an event was stored, which closes the open run.
    void stored() noexcept {
        if (open) open.reset();
    }
    // Consumer: takes the marker of a run; its count is final from now on.
    static std::uint64_t take(Count& count) noexcept {
        return count.exchange(taken, std::memory_order_acq_rel) & ~taken;
    }

private:
    static constexpr std::uint64_t taken = std::uint64_t{1} << 63;
    std::shared_ptr<Count> open;  // the newest run, while it may still grow
};

}  // namespace tavo::DataStream
