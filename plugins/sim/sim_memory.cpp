// Bounds and locking of the bulk memory; the copies are plain memcpy.

#include "sim_memory.hpp"

#include <cstring>
#include <mutex>
#include <new>

namespace tavo::sim {

SimMemory::SimMemory(std::size_t size)
    : size_(size), bytes_(static_cast<unsigned char*>(std::calloc(size ? size : 1, 1))) {
    if (!bytes_) throw std::bad_alloc();
}

std::size_t SimMemory::transfer_count(std::size_t addr, std::size_t length) const noexcept {
    if (addr >= size_) return 0;
    return length < size_ - addr ? length : size_ - addr;
}

std::size_t SimMemory::write(std::size_t addr, std::size_t length, const unsigned char* data) {
    const std::size_t count = transfer_count(addr, length);
    if (count == 0) return 0;
    std::unique_lock lock(mutex_);
    std::memcpy(bytes_.get() + addr, data, count);
    return count;
}

std::size_t SimMemory::read(std::size_t addr, std::size_t length, unsigned char* data) const {
    const std::size_t count = transfer_count(addr, length);
    if (count == 0) return 0;
    std::shared_lock lock(mutex_);
    std::memcpy(data, bytes_.get() + addr, count);
    return count;
}

}  // namespace tavo::sim
