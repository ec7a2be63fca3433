// The event queue behind every read stream: a sink for the device's producer
// thread and one worker thread that hands the events to a consumer.
//
// Design: the producer calls the sink (operator()), which stores the event
// and returns at once; it never waits for the worker and takes no lock. The
// worker polls the queue (yielding, or sleeping for a poll interval when
// idle) and passes each event, in push order, to the consumer, one at a time.
// Past `max_elements` stored events, each pushed event is dropped and the
// consumer gets an Error "Queue Overflow, dropping event" in its place, so
// nothing is lost without a notice; a Stop is stored all the same, so the
// consumer always learns that the stream ended.
//
// Notices are coalesced (DropRuns, overflow_rules.hpp): a run of drops with
// no stored event in between is one stored marker (itself a notice) plus a
// shared drop count, and the worker expands the marker into one notice per
// dropped event. A stream held at overflow for hours therefore holds at most
// max_elements events and one marker, not one stored notice per dropped
// event, and the consumer still sees every notice at the position of the
// event it replaces.
//
// Threads: single producer (one pushing thread at a time per sink), single
// consumer (the worker, which owns the consumer and destroys it on its own
// thread when the loop ends). The queue knows nothing about Python.
//
// Destruction requests a stop and joins the worker: it waits for a consumer
// call in progress, and then frees every undelivered event without calling
// the consumer. The destroying thread must not hold anything the consumer
// waits for (for the Python consumers: the interpreter lock). Destruction on
// the worker itself (from inside the consumer) cannot join: it frees the
// queue at once and leaves the worker to end at the stop. Once
// abandon_workers() has been called (the process is exiting), destruction
// detaches the worker instead and leaks its queue, so exit never waits on a
// callback that may not return. In a forked child the worker does not exist:
// destruction forgets it (see tavo/fork_safe_thread.hpp) and leaks the queue
// and the consumer, which the parent's worker may have been using when the
// process forked.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include <readerwriterqueue/readerwriterqueue.h>

#include <tavo/fork_safe_thread.hpp>
#include <tavo/stream_events.hpp>

#include "tavo/overflow_rules.hpp"

namespace tavo::DataStream {

// The process is exiting: from now on, destroying any StreamQueue detaches
// its worker instead of joining it, and pushes into a PullQueue are discarded
// slowly (pull_queue.hpp). Called once, by the exit gate. Thread-safe.
void abandon_workers() noexcept;
bool workers_abandoned() noexcept;

inline constexpr const char* overflow_notice = "Queue Overflow, dropping event";

template <typename Queue>
class StreamQueue {
public:
    static constexpr int init_elements = 64;

    // The yielding form: the idle worker yields the processor.
    // Throws std::runtime_error if max_elements < 64 (the consumer then stays
    // with the caller) and std::bad_alloc if the first block cannot be had.
    StreamQueue(Stage&& consumer, int max_elements) : StreamQueue(std::move(consumer), max_elements, std::nullopt) {}

    // The sleeping form: the idle worker sleeps for poll_interval (retries at
    // once if it is not positive).
    StreamQueue(Stage&& consumer, int max_elements, std::chrono::nanoseconds poll_interval)
        : StreamQueue(std::move(consumer), max_elements, std::optional{poll_interval}) {}

    StreamQueue(StreamQueue&&) noexcept = default;
    StreamQueue& operator=(StreamQueue&&) = delete;

    ~StreamQueue() {
        if (!queue) return;  // moved from
        stop.request_stop();
        if (!worker.joinable()) return;
        if (worker.get_id() == std::this_thread::get_id()) {
            // Destroyed by its own consumer (or by what the consumer's
            // destruction releases), on the worker, which cannot join
            // itself. The worker touches the queue only between stop checks
            // (see run), and it sees the stop before its next one: the queue
            // and every event in it are freed here, each event once.
            worker.detach();
            return;
        }
        if (!worker.started_here() || workers_abandoned()) {
            // During exit a worker may be held in a callback forever: leave it
            // running, and the queue it polls allocated. In a forked child
            // the worker is forgotten, and what it may have been in the
            // middle of changing is left alone the same way.
            worker.detach();
            (void)queue.release();
            (void)markers.release();
            return;
        }
        worker.join();
    }

    // Push, on the producer's thread. Never waits for the worker.
    void operator()(Event&& event) {
        const auto limit = static_cast<std::uint64_t>(max_elements);
        if (held.fits(1, limit, [this] { return queue->size_approx(); }) && store(std::move(event))) {
            stored_event();
            return;
        }
        if (event.index() == 0) {
            // The end of the stream is never dropped: a consumer waiting for
            // it would wait forever. It carries no data, so storing it past
            // the limit costs one slot.
            store_until_done(Event(std::in_place_index<0>));
            stored_event();
            return;
        }
        // Dropped: the event stays with the producer, which destroys it.
        drop();
    }

    // Events stored and not yet taken by the worker (a snapshot).
    std::size_t stored() const { return queue->size_approx(); }

private:
    // Where a run's marker sits among all stored events (counted from 0),
    // and its drop count.
    struct Marker {
        std::uint64_t position;
        std::shared_ptr<DropRuns::Count> drops;
    };
    using Markers = moodycamel::ReaderWriterQueue<Marker>;

    StreamQueue(Stage&& consumer, int limit, std::optional<std::chrono::nanoseconds> poll_interval)
        : max_elements(limit) {
        if (limit < init_elements) throw std::runtime_error("max_elements must be greater than init_elements");
        queue = std::make_unique<Queue>(init_elements);  // throws std::bad_alloc
        markers = std::make_unique<Markers>(15);
        worker = ForkSafeThread(&StreamQueue::run, queue.get(), markers.get(), std::move(consumer), poll_interval);
        stop = worker.get_stop_source();
    }

    // Stores below the limit. The store may add a block, so the queue holds
    // up to max_elements events; a failed allocation counts as an overflow.
    bool store(Event&& event) {
        if (event.index() != 3) return queue->enqueue(std::move(event));
        // A view is copied into storage of our own: the producer may reuse
        // its memory as soon as the push returns.
        const auto& view = std::get<3>(event);
        auto* copy = new (std::nothrow) unsigned char[view.size ? view.size : 1];
        if (copy == nullptr) return false;
        if (view.size) std::memcpy(copy, view.data, view.size);
        return queue->enqueue(Event(Events::OwnedData{{copy, &release_array}, view.size}));
    }

    // Retries until the event (a notice or a Stop) is stored: a failed block
    // allocation is never reported, only waited out.
    void store_until_done(Event&& event) {
        while (!queue->enqueue(std::move(event))) std::this_thread::yield();
    }

    // A stored event closes the open marker: drops after it need a marker of
    // their own, behind it.
    void stored_event() {
        ++stored_count;
        held.add(1);
        runs.stored();
    }

    // Counts a dropped event on the open run, or stores a new marker when
    // there is none or the worker has already taken it (and read its count).
    // The marker's own notice stands for its first drop: the count is of the
    // drops beyond it.
    void drop() {
        if (runs.extend(1)) return;
        auto drops = runs.start(0);
        // The marker's position is published before the marker: the worker
        // looks it up when it takes the event at that position.
        while (!markers->enqueue(Marker{stored_count, std::move(drops)})) std::this_thread::yield();
        store_until_done(until_allocated(notice));
        ++stored_count;
        held.add(1);
    }

    static Event notice() { return Event(std::in_place_index<1>, Events::Error{overflow_notice}); }

    // The worker loop. It owns the consumer, which is destroyed on this
    // thread when the loop ends. Nothing here may swallow an exception but
    // std::bad_alloc: a Python-exiting thread is unwound through this frame.
    // The queue and the markers are touched only after a stop check and
    // before the consumer is called: a consumer may destroy the queue (see
    // the destructor), and then no stop check passes again.
    static void run(std::stop_token token, Queue* queue, Markers* markers, Stage consumer,
                    std::optional<std::chrono::nanoseconds> poll_interval) {
        Event event;
        std::uint64_t taken = 0;  // position of the next event to take
        while (!token.stop_requested()) {
            if (queue->try_dequeue(event)) {
                const auto kind = event.index();
                std::uint64_t extra_notices = 0;
                if (kind == 1) extra_notices = take_marker(markers, taken);
                ++taken;
                consumer(std::move(event));
                event = Events::Stop{};  // frees what the consumer left
                if (kind == 0) break;
                for (; extra_notices > 0 && !token.stop_requested(); --extra_notices)
                    consumer(until_allocated(notice));
            } else if (!poll_interval) {
                std::this_thread::yield();
            } else if (poll_interval->count() > 0) {
                std::this_thread::sleep_for(*poll_interval);
            }
        }
    }

    // If the Error at `position` is a marker, closes it and returns the drops
    // it stands for beyond its own notice. An Error a device pushed itself,
    // whatever its text, is not at a marker's position.
    static std::uint64_t take_marker(Markers* markers, std::uint64_t position) {
        Marker* front = markers->peek();
        if (front == nullptr || front->position != position) return 0;
        const std::uint64_t drops = DropRuns::take(*front->drops);
        markers->pop();
        return drops;
    }

    std::unique_ptr<Queue> queue;
    std::unique_ptr<Markers> markers;  // positions of the stored markers, oldest first
    DropRuns runs;                   // producer only, but for the shared counts
    std::uint64_t stored_count = 0;  // producer only: events stored so far
    HeldBound held;                  // producer only: at least size_approx()
    ForkSafeThread worker;
    std::stop_source stop;
    int max_elements;
};

using EventQueue = moodycamel::BlockingReaderWriterQueue<Event, 512>;
extern template class StreamQueue<EventQueue>;

// Makes the sink of a new stream: a stage that owns a heap-allocated
// StreamQueue around `consumer`. Same failures as the constructor.
inline Stage make_stream_queue(Stage&& consumer, int max_elements) {
    return Stage(std::in_place_type<StreamQueue<EventQueue>>, std::move(consumer), max_elements);
}

}  // namespace tavo::DataStream
