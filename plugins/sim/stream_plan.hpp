// The parameters of one read stream, fixed when it starts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavo::sim {

struct StreamPlan {
    std::uint32_t seed = 0;          // the counter's value at stream byte 0
    std::size_t chunk_size = 4096;   // bytes per data chunk, > 0
    std::uint32_t rate = 0;          // chunks per second, 0 = unlimited
    std::uint32_t chunk_limit = 0;   // data chunks before Stop, 0 = endless
    std::uint32_t error_every = 0;   // an Error after every N-th chunk, 0 = never
    bool view = false;               // DataView over a reused buffer, else OwnedData
};

}  // namespace tavo::sim
