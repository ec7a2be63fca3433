// One simulated acquisition device: registers, bulk memory and read streams.
//
// Threads: every operation is thread-safe. The register file, the stage and
// the snapshot share one lock (so a batch is atomic with respect to every
// other register call); the memory has its own lock, so bulk copies never
// hold up register calls; stream counters are atomics. No lock is held
// while a sink is called or destroyed.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include <tavo/device.hpp>

#include "device_config.hpp"
#include "register_file.hpp"
#include "sim_memory.hpp"
#include "stream_counters.hpp"

namespace tavo::sim {

class SimDevice final : public tavo::Device {
public:
    using Status = tavo::BasicDeviceStatus;

    // Throws std::bad_alloc if the memory cannot be had.
    explicit SimDevice(const DeviceConfig& config);

    Status set_register(unsigned addr, unsigned value, unsigned mask) override;
    Status send_registers() override;
    unsigned get_register(unsigned addr) override;
    Status read_registers() override;
    Status trigger(unsigned addr, std::int32_t value) override;

    std::size_t write(unsigned addr, std::size_t length, const unsigned char* data) override;
    std::size_t read(unsigned addr, std::size_t length, unsigned char* data) override;

    std::optional<std::unique_ptr<DataStream>> start_read_stream(unsigned addr, Sink&& sink,
                                                                 std::size_t chunk_size) override;

    std::optional<std::string> get_status() override;
    std::optional<std::string> get_info() override;

private:
    const DeviceConfig config_;
    SimMemory memory_;
    // Shared with every stream of this device, which may outlive it.
    const std::shared_ptr<StreamCounters> counters_;

    std::mutex register_mutex_;  // guards the three members below
    RegisterFile registers_;
    std::vector<StagedWrite> stage_;
    RegisterFile::Values snapshot_{};
};

}  // namespace tavo::sim
