// The loop that one read stream's producer thread runs: it fills chunks with
// the counter pattern and pushes them, paced and bounded by its plan.
//
// Threads: run() executes on the stream's own thread and is the only caller
// of the sink while it runs. The handle reads pushed_stop() only after
// joining that thread (the join orders the accesses).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <stop_token>

#include <tavo/device.hpp>

#include "stream_counters.hpp"
#include "stream_plan.hpp"

namespace tavo::sim {

class StreamProducer {
public:
    using Sink = tavo::Device::Sink;

    // `sink` belongs to the handle, which outlives the thread running run().
    // `view_buffer` holds plan.chunk_size bytes in view mode (else null).
    StreamProducer(const StreamPlan& plan, Sink& sink, std::shared_ptr<StreamCounters> counters,
                   std::unique_ptr<unsigned char[]> view_buffer) noexcept;

    // Produces until the plan's chunk limit (then pushes Stop itself) or
    // until `token` asks to stop (then pushes nothing more). Never throws: a
    // sink or allocation failure ends production (after an Error when the
    // sink still takes events).
    void run(std::stop_token token) noexcept;

    bool pushed_stop() const noexcept { return pushed_stop_; }

    // Takes this stream out of the running count, once: run() calls it when
    // it ends, and the handle after it has joined or forgotten the thread.
    // A child forked between the two steps of the producer's own call counts
    // the stream as running for good: a status, never a wait.
    void finished() noexcept;

private:
    // How long a paced wait may go without looking at the stop request: the
    // most a stop waits for a producer between chunks.
    static constexpr std::chrono::milliseconds stop_poll_interval{2};

    // Waits until chunk `index` is due; false if a stop came first.
    bool wait_for_turn(const std::stop_token& token, std::uint64_t index);
    void push_chunk(std::uint64_t index);

    StreamPlan plan_;
    Sink& sink_;
    std::shared_ptr<StreamCounters> counters_;
    std::unique_ptr<unsigned char[]> view_buffer_;
    std::chrono::steady_clock::time_point start_;
    bool pushed_stop_ = false;
    std::atomic<bool> counted_{true};  // in counters_->running until finished()
};

}  // namespace tavo::sim
