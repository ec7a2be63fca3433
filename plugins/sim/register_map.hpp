// The simulator's register map: addresses, fixed values and control bits.
//
// Every register is an unsigned 32-bit word at a 4-byte aligned address.
// docs/simulator.md carries the same map as a table, and sim.regmap.toml as
// the register map that the tavo package reads; keep the three in step.
#pragma once

#include <cstdint>

namespace tavo::sim::reg {

// Identification, read-only.
inline constexpr unsigned id = 0x0000;
inline constexpr unsigned version = 0x0004;
inline constexpr unsigned memory_size = 0x0008;
inline constexpr unsigned device_index = 0x000C;

// Free for the user, read/write.
inline constexpr unsigned scratch0 = 0x0010;
inline constexpr unsigned scratch1 = 0x0014;
inline constexpr unsigned scratch2 = 0x0018;
inline constexpr unsigned scratch3 = 0x001C;

// Stream parameters, read/write. A stream reads them once, when it starts.
inline constexpr unsigned control = 0x0020;
inline constexpr unsigned rate = 0x0024;
inline constexpr unsigned chunks = 0x0028;
inline constexpr unsigned error_every = 0x002C;

// Live stream state, read-only.
inline constexpr unsigned status = 0x0030;
inline constexpr unsigned chunks_produced = 0x0034;

// Trigger bookkeeping, read-only (changed by trigger()).
inline constexpr unsigned trigger_count = 0x0040;
inline constexpr unsigned last_trigger = 0x0044;

inline constexpr std::uint32_t id_value = 0x54415630;       // "TAV0" in ASCII
inline constexpr std::uint32_t version_value = 0x00010000;  // firmware 1.0.0

// CONTROL bits.
inline constexpr std::uint32_t control_inject_errors = 1u << 0;
inline constexpr std::uint32_t control_data_view = 1u << 1;

// STATUS bits.
inline constexpr std::uint32_t status_streaming = 1u << 0;

// The only trigger address; any other is refused.
inline constexpr unsigned software_trigger = 0x0000;

}  // namespace tavo::sim::reg
