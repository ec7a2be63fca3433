// Chunk production, pacing and error injection of a read stream.

#include "stream_producer.hpp"

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>
#include <thread>
#include <utility>

#include "chunk_pool.hpp"
#include "counter_pattern.hpp"

namespace tavo::sim {

namespace Events = tavo::DataStream::Events;

StreamProducer::StreamProducer(const StreamPlan& plan, Sink& sink, std::shared_ptr<StreamCounters> counters,
                               std::unique_ptr<unsigned char[]> view_buffer) noexcept
    : plan_(plan), sink_(sink), counters_(std::move(counters)), view_buffer_(std::move(view_buffer)) {}

bool StreamProducer::wait_for_turn(const std::stop_token& token, std::uint64_t index) {
    if (plan_.rate == 0) return !token.stop_requested();
    // Chunk k is due at start + k / rate: a fixed schedule, so a late chunk
    // does not delay the ones after it. Split to keep k * 1e9 from overflowing.
    const auto due = start_ + std::chrono::seconds(index / plan_.rate) +
                     std::chrono::nanoseconds((index % plan_.rate) * 1'000'000'000ull / plan_.rate);
    // Sleeps in short slices and looks at the stop request between them, as
    // the module's stream workers poll their queues: no condition variable.
    // A child forked while this thread waits inherits the variable with a
    // waiter that does not exist there, and destroying it (glibc's
    // pthread_cond_destroy waits for every waiter to leave) would hang the
    // child that drops the stream. The child forgets the thread instead of
    // joining it (see tavo/fork_safe_thread.hpp), so stop() and the
    // destructor then complete.
    for (;;) {
        if (token.stop_requested()) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now >= due) return true;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(due - now, stop_poll_interval));
    }
}

void StreamProducer::push_chunk(std::uint64_t index) {
    const std::size_t size = plan_.chunk_size;
    const std::uint64_t offset = index * size;
    if (plan_.view) {
        fill_counter(view_buffer_.get(), size, offset, plan_.seed);
        sink_(Events::DataView{view_buffer_.get(), size});
    } else {
        // The chunk goes back to the pool when its event releases it.
        auto* bytes = take_chunk(size);
        fill_counter(bytes, size, offset, plan_.seed);
        sink_(Events::OwnedData{{bytes, &release_chunk}, size});
    }
    counters_->chunks_produced.fetch_add(1, std::memory_order_relaxed);
}

void StreamProducer::run(std::stop_token token) noexcept {
    start_ = std::chrono::steady_clock::now();
    try {
        bool stopped = false;
        for (std::uint64_t index = 0; plan_.chunk_limit == 0 || index < plan_.chunk_limit; ++index) {
            if (!wait_for_turn(token, index)) {
                stopped = true;
                break;
            }
            push_chunk(index);
            const std::uint64_t number = index + 1;
            if (plan_.error_every != 0 && number % plan_.error_every == 0) {
                sink_(Events::Error{"simulated error at chunk " + std::to_string(number)});
            }
        }
        if (!stopped) {
            sink_(Events::Stop{});
            pushed_stop_ = true;
        }
    } catch (const std::exception& e) {
        // An allocation or the sink failed. Report it if the sink still
        // takes events; the handle pushes the Stop that ends the stream.
        try {
            sink_(Events::Error{std::string("simulator stream failed: ") + e.what()});
        } catch (...) {
        }
    } catch (...) {
    }
    finished();
}

void StreamProducer::finished() noexcept {
    if (counted_.exchange(false, std::memory_order_acq_rel)) {
        counters_->running.fetch_sub(1, std::memory_order_release);
    }
}

}  // namespace tavo::sim
