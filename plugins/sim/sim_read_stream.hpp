// The handle of one simulator read stream: owns the sink and the producer
// thread.
//
// Lifetime: a handle references nothing of its device (the counters are
// shared), and its code stays loaded after the manager is gone because the
// plugin pins its own library (see plugin_library.hpp).
//
// Threads: stop() may be called from any thread, concurrently too; the
// destructor runs when no stop() call is in progress. The sink is called by
// the producer thread until it is joined, then by stop() or the destructor,
// never by two threads at once.
#pragma once

#include <memory>
#include <mutex>

#include <tavo/device.hpp>
#include <tavo/fork_safe_thread.hpp>

#include "stream_counters.hpp"
#include "stream_plan.hpp"
#include "stream_producer.hpp"

namespace tavo::sim {

class SimReadStream final : public tavo::Device::DataStream {
public:
    using Sink = tavo::Device::Sink;

    // Takes the sink and starts the producer thread. Throws std::bad_alloc
    // (view buffer) or std::system_error (thread) before taking the sink.
    static std::unique_ptr<SimReadStream> start(const StreamPlan& plan, Sink& sink,
                                                std::shared_ptr<StreamCounters> counters);

    // Ends production and joins the producer, then pushes Stop unless the
    // producer already pushed its own. Keeps the sink, so everything the
    // consumer has queued is still delivered. Idempotent. In a forked child
    // the producer does not exist: it is forgotten, not joined, and no longer
    // counted as running.
    void stop() override;

    // Ends as stop() does if stop() was never called (so the sink always
    // receives exactly one Stop), then destroys the sink.
    ~SimReadStream() override;

private:
    SimReadStream(const StreamPlan& plan, Sink&& sink, std::shared_ptr<StreamCounters> counters,
                  std::unique_ptr<unsigned char[]> view_buffer);

    // Declaration order is destruction order: the thread (joined explicitly
    // before) goes first, the sink last.
    Sink sink_;
    StreamProducer producer_;
    tavo::ForkSafeThread thread_;
    std::mutex stop_mutex_;
    bool stopped_ = false;
};

}  // namespace tavo::sim
