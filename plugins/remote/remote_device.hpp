// A device of a tavo-server, reached through the remote plugin. Every
// operation is one request on the control path (set_register_sync and
// get_register_sync too: the server calls the device's own), answered
// within the connection's deadline.
//
// Results are the served device's: statuses, values, counts and texts
// unchanged, and its exceptions thrown again here with their text. A bulk
// read copies back the first min(count, length) bytes: the count is taken
// as bytes stored from the start of the buffer, as devices count them.
//
// Threads: every operation may be called from any thread; the connection
// serialises them. The destructor closes the device on the server.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <tavo/device.hpp>

#include "connection.hpp"

namespace tavo::remote {

class RemoteDevice final : public tavo::Device {
public:
    using Status = tavo::BasicDeviceStatus;

    // `instance`: the server run that made the device (Answer::instance).
    RemoteDevice(std::shared_ptr<Connection> connection, std::uint64_t handle, std::uint64_t instance,
                 std::chrono::milliseconds timeout);
    ~RemoteDevice() override;

    Status set_register_sync(unsigned addr, unsigned value, unsigned mask) override;
    Status set_register(unsigned addr, unsigned value, unsigned mask) override;
    Status send_registers() override;
    std::optional<unsigned> get_register_sync(unsigned addr) override;
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
    Answer call(tavo::wire::Kind kind, tavo::wire::Body body, std::span<const unsigned char> payload = {});
    Status status_call(tavo::wire::Kind kind, tavo::wire::Body body);
    Status register_write(tavo::wire::Kind kind, unsigned addr, unsigned value, unsigned mask);
    void check_size(std::size_t length, const char* what) const;

    const std::shared_ptr<Connection> connection_;
    const std::uint64_t handle_;
    const std::uint64_t instance_;
    const std::chrono::milliseconds timeout_;
};

}  // namespace tavo::remote
