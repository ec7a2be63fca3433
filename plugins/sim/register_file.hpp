// The register file of one simulated device: the live values and which
// addresses exist and are writable.
//
// Not thread-safe: the owning device serialises every access with its
// register lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace tavo::sim {

// One staged write: new = (old & ~mask) | (value & mask).
struct StagedWrite {
    unsigned addr;
    std::uint32_t value;
    std::uint32_t mask;
};

class RegisterFile {
public:
    static constexpr std::size_t register_count = 16;
    using Values = std::array<std::uint32_t, register_count>;

    // The slot of `addr`, or empty for an address that is not in the map.
    static std::optional<std::size_t> slot(unsigned addr) noexcept;
    static bool writable(unsigned addr) noexcept;

    // Reads a mapped register, 0 for any other address.
    std::uint32_t get(unsigned addr) const noexcept;

    // Sets a mapped register whatever its access (the device's own updates
    // of read-only registers); an unmapped address is ignored.
    void set(unsigned addr, std::uint32_t value) noexcept;

    // Applies the batch in order if every write targets a writable register,
    // and returns true; otherwise changes nothing and returns false.
    bool apply(std::span<const StagedWrite> batch) noexcept;

    const Values& values() const noexcept { return values_; }

    // Reads register `addr` out of a copy of values(); 0 if unmapped.
    static std::uint32_t lookup(const Values& values, unsigned addr) noexcept;

private:
    Values values_{};
};

}  // namespace tavo::sim
