// Register semantics, memory access and stream start of a simulated device.

#include "sim_device.hpp"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>

#include "register_map.hpp"
#include "sim_read_stream.hpp"
#include "stream_plan.hpp"

namespace tavo::sim {

SimDevice::SimDevice(const DeviceConfig& config)
    : config_(config), memory_(config.memory_size), counters_(std::make_shared<StreamCounters>()) {
    registers_.set(reg::id, reg::id_value);
    registers_.set(reg::version, reg::version_value);
    registers_.set(reg::memory_size, static_cast<std::uint32_t>(config.memory_size));
    registers_.set(reg::device_index, config.index);
    std::uint32_t control = 0;
    if (config.error_every != 0) control |= reg::control_inject_errors;
    if (config.view) control |= reg::control_data_view;
    registers_.set(reg::control, control);
    registers_.set(reg::rate, config.rate);
    registers_.set(reg::chunks, config.chunks);
    registers_.set(reg::error_every, config.error_every);
}

SimDevice::Status SimDevice::set_register(unsigned addr, unsigned value, unsigned mask) {
    std::lock_guard lock(register_mutex_);
    stage_.push_back({addr, value, mask});
    return Status::Success;
}

SimDevice::Status SimDevice::send_registers() {
    std::lock_guard lock(register_mutex_);
    const bool applied = registers_.apply(stage_);
    stage_.clear();
    return applied ? Status::Success : Status::Failure;
}

unsigned SimDevice::get_register(unsigned addr) {
    std::lock_guard lock(register_mutex_);
    return RegisterFile::lookup(snapshot_, addr);
}

SimDevice::Status SimDevice::read_registers() {
    std::lock_guard lock(register_mutex_);
    const bool streaming = counters_->running.load(std::memory_order_acquire) != 0;
    registers_.set(reg::status, streaming ? reg::status_streaming : 0);
    registers_.set(reg::chunks_produced,
                   static_cast<std::uint32_t>(counters_->chunks_produced.load(std::memory_order_relaxed)));
    snapshot_ = registers_.values();
    return Status::Success;
}

SimDevice::Status SimDevice::trigger(unsigned addr, std::int32_t value) {
    if (addr != reg::software_trigger) return Status::Failure;
    std::lock_guard lock(register_mutex_);
    registers_.set(reg::trigger_count, registers_.get(reg::trigger_count) + 1);
    registers_.set(reg::last_trigger, static_cast<std::uint32_t>(value));
    return Status::Success;
}

std::size_t SimDevice::write(unsigned addr, std::size_t length, const unsigned char* data) {
    return memory_.write(addr, length, data);
}

std::size_t SimDevice::read(unsigned addr, std::size_t length, unsigned char* data) {
    return memory_.read(addr, length, data);
}

std::optional<std::unique_ptr<SimDevice::DataStream>> SimDevice::start_read_stream(unsigned addr, Sink&& sink,
                                                                                   std::size_t chunk_size) {
    if (chunk_size > max_chunk_size) {
        throw std::runtime_error("chunk size " + std::to_string(chunk_size) + " too large; valid: 1.." +
                                 std::to_string(max_chunk_size) + ", or 0 for the device default (" +
                                 std::to_string(config_.chunk_size) + ")");
    }
    StreamPlan plan;
    plan.seed = addr;
    plan.chunk_size = chunk_size != 0 ? chunk_size : config_.chunk_size;
    {
        std::lock_guard lock(register_mutex_);
        const std::uint32_t control = registers_.get(reg::control);
        plan.rate = registers_.get(reg::rate);
        plan.chunk_limit = registers_.get(reg::chunks);
        plan.error_every = (control & reg::control_inject_errors) ? registers_.get(reg::error_every) : 0;
        plan.view = (control & reg::control_data_view) != 0;
    }
    // The stream takes the sink only once it is sure to start; on a throw the
    // sink is still the caller's.
    std::unique_ptr<DataStream> stream = SimReadStream::start(plan, sink, counters_);
    return stream;
}

std::optional<std::string> SimDevice::get_status() {
    const auto running = counters_->running.load(std::memory_order_acquire);
    const auto produced = counters_->chunks_produced.load(std::memory_order_relaxed);
    std::string text = running == 0 ? std::string("idle")
                                    : "streaming " + std::to_string(running) + (running == 1 ? " stream" : " streams");
    return text + ", " + std::to_string(produced) + " chunks produced";
}

std::optional<std::string> SimDevice::get_info() {
    char identity[64];
    std::snprintf(identity, sizeof identity, ", ID 0x%08X, firmware %u.%u.%u", unsigned{reg::id_value},
                  unsigned{reg::version_value >> 16}, unsigned{(reg::version_value >> 8) & 0xFF},
                  unsigned{reg::version_value & 0xFF});
    return "TAVO simulator device sim" + std::to_string(config_.index) + identity + ", memory " +
           std::to_string(memory_.size()) + " bytes, default chunk " + std::to_string(config_.chunk_size) + " bytes";
}

}  // namespace tavo::sim
