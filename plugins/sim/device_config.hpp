// What create_device is asked for: the device id and its create options,
// parsed from a name such as "sim1:memory=65536,chunks=100,view=1".
//
// Pure functions, safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tavo::sim {

inline constexpr unsigned device_count = 4;
inline constexpr std::size_t default_memory_size = std::size_t{1} << 20;  // 1 MiB
inline constexpr std::size_t max_memory_size = std::size_t{1} << 30;      // 1 GiB
inline constexpr std::size_t default_chunk_size = 4096;
inline constexpr std::size_t max_chunk_size = std::size_t{1} << 28;  // 256 MiB

struct DeviceConfig {
    unsigned index = 0;  // simN
    std::size_t memory_size = default_memory_size;
    std::size_t chunk_size = default_chunk_size;  // used when a stream asks for 0
    std::uint32_t rate = 0;                       // chunks per second, 0 = unlimited
    std::uint32_t chunks = 0;                     // stream length in chunks, 0 = endless
    std::uint32_t error_every = 0;                // 0 = no injected errors
    bool view = false;                            // DataView chunks instead of OwnedData
};

// Parses "<device>[:<key>=<value>[,<key>=<value>]...]". Throws
// std::runtime_error naming the problem and the valid choices.
DeviceConfig parse_device_name(const std::string& name);

// The text of list_devices and get_device_options.
std::string device_list_text();
std::string device_options_text();

}  // namespace tavo::sim
