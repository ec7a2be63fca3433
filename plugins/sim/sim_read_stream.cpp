// Starting, stopping and destroying a read stream.

#include "sim_read_stream.hpp"

#include <exception>
#include <utility>

namespace tavo::sim {

std::unique_ptr<SimReadStream> SimReadStream::start(const StreamPlan& plan, Sink& sink,
                                                    std::shared_ptr<StreamCounters> counters) {
    std::unique_ptr<unsigned char[]> view_buffer;
    if (plan.view) view_buffer.reset(new unsigned char[plan.chunk_size]);
    // The view buffer is allocated before the sink is taken. If the thread
    // cannot start, the sink goes back to the caller unused: a sink must not
    // be destroyed inside start_read_stream.
    counters->running.fetch_add(1, std::memory_order_relaxed);
    std::unique_ptr<SimReadStream> stream;
    try {
        stream.reset(new SimReadStream(plan, std::move(sink), counters, std::move(view_buffer)));
        stream->thread_ = tavo::ForkSafeThread([producer = &stream->producer_](std::stop_token token) {
            producer->run(std::move(token));
        });
    } catch (...) {
        if (stream) {
            // Hand the sink back unused; stopped_ keeps the destructor from
            // calling the moved-from member.
            stream->producer_.finished();
            stream->stopped_ = true;
            sink = std::move(stream->sink_);
        } else {
            counters->running.fetch_sub(1, std::memory_order_relaxed);
        }
        throw;
    }
    return stream;
}

SimReadStream::SimReadStream(const StreamPlan& plan, Sink&& sink, std::shared_ptr<StreamCounters> counters,
                             std::unique_ptr<unsigned char[]> view_buffer)
    : sink_(std::move(sink)), producer_(plan, sink_, std::move(counters), std::move(view_buffer)) {}

void SimReadStream::stop() {
    std::lock_guard lock(stop_mutex_);
    if (stopped_) return;
    stopped_ = true;
    thread_.request_stop();
    if (thread_.joinable()) thread_.join();  // forgets a producer inherited through fork
    producer_.finished();  // for a forgotten producer; a joined one has counted itself out
    if (producer_.pushed_stop()) return;
    try {
        sink_(tavo::DataStream::Events::Stop{});
    } catch (const std::exception&) {
        // The consumer side is broken; there is nobody left to tell.
    }
}

SimReadStream::~SimReadStream() { stop(); }

}  // namespace tavo::sim
