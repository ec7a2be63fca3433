// The register table and the all-or-nothing batch.

#include "register_file.hpp"

#include "register_map.hpp"

namespace tavo::sim {

namespace {

struct RegisterEntry {
    unsigned addr;
    bool writable;
};

// The slot of a register is its index here.
constexpr std::array<RegisterEntry, RegisterFile::register_count> register_table{{
    {reg::id, false},
    {reg::version, false},
    {reg::memory_size, false},
    {reg::device_index, false},
    {reg::scratch0, true},
    {reg::scratch1, true},
    {reg::scratch2, true},
    {reg::scratch3, true},
    {reg::control, true},
    {reg::rate, true},
    {reg::chunks, true},
    {reg::error_every, true},
    {reg::status, false},
    {reg::chunks_produced, false},
    {reg::trigger_count, false},
    {reg::last_trigger, false},
}};

}  // namespace

std::optional<std::size_t> RegisterFile::slot(unsigned addr) noexcept {
    for (std::size_t i = 0; i < register_table.size(); ++i) {
        if (register_table[i].addr == addr) return i;
    }
    return std::nullopt;
}

bool RegisterFile::writable(unsigned addr) noexcept {
    const auto index = slot(addr);
    return index && register_table[*index].writable;
}

std::uint32_t RegisterFile::get(unsigned addr) const noexcept { return lookup(values_, addr); }

void RegisterFile::set(unsigned addr, std::uint32_t value) noexcept {
    if (const auto index = slot(addr)) values_[*index] = value;
}

bool RegisterFile::apply(std::span<const StagedWrite> batch) noexcept {
    for (const auto& write : batch) {
        if (!writable(write.addr)) return false;
    }
    for (const auto& write : batch) {
        auto& value = values_[*slot(write.addr)];
        value = (value & ~write.mask) | (write.value & write.mask);
    }
    return true;
}

std::uint32_t RegisterFile::lookup(const Values& values, unsigned addr) noexcept {
    const auto index = slot(addr);
    return index ? values[*index] : 0;
}

}  // namespace tavo::sim
