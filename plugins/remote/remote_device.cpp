// The remote device's operations: one request each.

#include "remote_device.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "remote_stream.hpp"

namespace tavo::remote {

namespace wire = tavo::wire;

RemoteDevice::RemoteDevice(std::shared_ptr<Connection> connection, std::uint64_t handle, std::uint64_t instance,
                           std::chrono::milliseconds timeout)
    : connection_(std::move(connection)), handle_(handle), instance_(instance), timeout_(timeout) {}

RemoteDevice::~RemoteDevice() {
    try {
        wire::Body body;
        body.handle = handle_;
        connection_->call(wire::Kind::close_device, body, timeout_, {}, Connection::Wait::if_connected, instance_);
    } catch (...) {  // a server that is gone has freed it, or will when it ends the session
    }
}

Answer RemoteDevice::call(wire::Kind kind, wire::Body body, std::span<const unsigned char> payload) {
    body.handle = handle_;
    return connection_->call(kind, body, timeout_, payload, Connection::Wait::for_server, instance_);
}

RemoteDevice::Status RemoteDevice::status_call(wire::Kind kind, wire::Body body) {
    return static_cast<Status>(call(kind, std::move(body)).message.body.signed_value);
}

void RemoteDevice::check_size(std::size_t length, const char* what) const {
    const auto limit = connection_->max_request();
    if (limit > 0 && length > limit) {
        throw std::runtime_error("tavo remote " + connection_->endpoint() + ": " + what + " of " +
                                 std::to_string(length) + " bytes exceeds the server's limit of " +
                                 std::to_string(limit) + " bytes (tavo-server --max-request)");
    }
}

RemoteDevice::Status RemoteDevice::register_write(wire::Kind kind, unsigned addr, unsigned value, unsigned mask) {
    wire::Body body;
    body.addr = addr;
    body.value = value;
    body.mask = mask;
    return status_call(kind, body);
}

RemoteDevice::Status RemoteDevice::set_register_sync(unsigned addr, unsigned value, unsigned mask) {
    return register_write(wire::Kind::set_register_sync, addr, value, mask);
}

RemoteDevice::Status RemoteDevice::set_register(unsigned addr, unsigned value, unsigned mask) {
    return register_write(wire::Kind::set_register, addr, value, mask);
}

RemoteDevice::Status RemoteDevice::send_registers() { return status_call(wire::Kind::send_registers, {}); }

RemoteDevice::Status RemoteDevice::read_registers() { return status_call(wire::Kind::read_registers, {}); }

std::optional<unsigned> RemoteDevice::get_register_sync(unsigned addr) {
    wire::Body body;
    body.addr = addr;
    const Answer answer = call(wire::Kind::get_register_sync, body);
    if (!answer.message.body.flag) return std::nullopt;
    return answer.message.body.value;
}

unsigned RemoteDevice::get_register(unsigned addr) {
    wire::Body body;
    body.addr = addr;
    return call(wire::Kind::get_register, body).message.body.value;
}

RemoteDevice::Status RemoteDevice::trigger(unsigned addr, std::int32_t value) {
    wire::Body body;
    body.addr = addr;
    body.signed_value = value;
    return status_call(wire::Kind::trigger, body);
}

std::size_t RemoteDevice::write(unsigned addr, std::size_t length, const unsigned char* data) {
    check_size(length, "a write");
    wire::Body body;
    body.addr = addr;
    return call(wire::Kind::write, body, {data, length}).message.body.number;
}

std::size_t RemoteDevice::read(unsigned addr, std::size_t length, unsigned char* data) {
    check_size(length, "a read");
    wire::Body body;
    body.addr = addr;
    body.number = length;
    const Answer answer = call(wire::Kind::read, body);
    const auto& bytes = answer.message.payload;
    if (!bytes.empty()) std::memcpy(data, bytes.data(), std::min<std::size_t>(bytes.size(), length));
    return answer.message.body.number;
}

std::optional<std::unique_ptr<RemoteDevice::DataStream>> RemoteDevice::start_read_stream(unsigned addr, Sink&& sink,
                                                                                          std::size_t chunk_size) {
    return RemoteStream::start(connection_, handle_, instance_, addr, sink, chunk_size, timeout_);
}

std::optional<std::string> RemoteDevice::get_status() {
    const Answer answer = call(wire::Kind::get_status, {});
    if (!answer.message.body.flag) return std::nullopt;
    return answer.message.body.text;
}

std::optional<std::string> RemoteDevice::get_info() {
    const Answer answer = call(wire::Kind::get_info, {});
    if (!answer.message.body.flag) return std::nullopt;
    return answer.message.body.text;
}

}  // namespace tavo::remote
