// The verifiable content of a read stream.
//
// Stream byte i (counted from the start of the stream, across chunks) is byte
// (i mod 4) of the little-endian uint32 value (seed + i / 4), wrapping modulo
// 2^32. A consumer can recompute every byte, whatever the chunk size.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavo::sim {

// Fills `out[0..count)` with stream bytes [offset, offset + count).
void fill_counter(unsigned char* out, std::size_t count, std::uint64_t offset, std::uint32_t seed) noexcept;

}  // namespace tavo::sim
