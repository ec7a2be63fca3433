#include "stream_queue.hpp"

#include <atomic>

namespace tavo::DataStream {

namespace {
std::atomic<bool> abandoned{false};
}

void abandon_workers() noexcept { abandoned.store(true, std::memory_order_release); }
bool workers_abandoned() noexcept { return abandoned.load(std::memory_order_acquire); }

template class StreamQueue<EventQueue>;

}  // namespace tavo::DataStream
