// Fills whole words where the stream offset is word aligned: the benchmarks
// measure the module, so the producer must not be the bottleneck.

#include "counter_pattern.hpp"

#include <bit>
#include <cstring>

namespace tavo::sim {

namespace {

std::uint32_t to_little_endian(std::uint32_t value) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        return value;
    } else {
        return std::byteswap(value);
    }
}

unsigned char counter_byte(std::uint64_t index, std::uint32_t seed) noexcept {
    const auto word = static_cast<std::uint32_t>(seed + index / 4);
    return static_cast<unsigned char>(word >> (8 * (index % 4)));
}

}  // namespace

void fill_counter(unsigned char* out, std::size_t count, std::uint64_t offset, std::uint32_t seed) noexcept {
    std::size_t done = 0;
    while (done < count && (offset + done) % 4 != 0) {
        out[done] = counter_byte(offset + done, seed);
        ++done;
    }
    const std::size_t words = (count - done) / 4;
    const auto first = static_cast<std::uint32_t>(seed + (offset + done) / 4);
    unsigned char* dest = out + done;
    for (std::size_t k = 0; k < words; ++k) {
        const std::uint32_t word = to_little_endian(first + static_cast<std::uint32_t>(k));
        std::memcpy(dest + 4 * k, &word, 4);
    }
    done += 4 * words;
    while (done < count) {
        out[done] = counter_byte(offset + done, seed);
        ++done;
    }
}

}  // namespace tavo::sim
