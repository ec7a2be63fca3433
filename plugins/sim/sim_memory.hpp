// The bulk memory of one simulated device: a zero-filled byte region.
//
// Thread-safe: reads share a lock, a write excludes everything else, so a
// read never sees half of a write.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <shared_mutex>

namespace tavo::sim {

class SimMemory {
public:
    // Throws std::bad_alloc if the region cannot be had.
    explicit SimMemory(std::size_t size);

    std::size_t size() const noexcept { return size_; }

    // Copy at byte offset `addr`; return the bytes transferred:
    // min(length, size - addr), 0 if addr >= size.
    std::size_t write(std::size_t addr, std::size_t length, const unsigned char* data);
    std::size_t read(std::size_t addr, std::size_t length, unsigned char* data) const;

private:
    struct FreeBytes {
        void operator()(unsigned char* bytes) const noexcept { std::free(bytes); }
    };

    std::size_t transfer_count(std::size_t addr, std::size_t length) const noexcept;

    std::size_t size_;
    // calloc: a large region gets fresh zero pages from the kernel, so a
    // 256 MiB memory costs nothing until it is touched.
    std::unique_ptr<unsigned char, FreeBytes> bytes_;
    mutable std::shared_mutex mutex_;
};

}  // namespace tavo::sim
