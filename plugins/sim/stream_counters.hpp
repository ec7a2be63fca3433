// Counters that a device and its read streams share: the source of STATUS,
// CHUNKS_PRODUCED and get_status.
//
// Shared through a std::shared_ptr so that a stream can outlive its device
// (a Python Device may be dropped while its stream runs) without a handle
// ever pointing at the device. Lock-free: producers update, any thread reads.
#pragma once

#include <atomic>
#include <cstdint>

namespace tavo::sim {

struct StreamCounters {
    std::atomic<std::uint32_t> running{0};          // producers not yet finished
    std::atomic<std::uint64_t> chunks_produced{0};  // data chunks pushed, all streams
};

}  // namespace tavo::sim
