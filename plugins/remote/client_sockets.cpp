// Client socket settings and connection monitors.

#include "client_sockets.hpp"

#include <atomic>

#include "wire_format.hpp"

namespace tavo::remote {

zmq::context_t& client_context() {
    static auto* context = new zmq::context_t(1);
    return *context;
}

zmq::socket_t make_client_socket(const ClientSettings& settings, std::chrono::milliseconds linger) {
    zmq::socket_t socket(client_context(), zmq::socket_type::dealer);
    socket.set(zmq::sockopt::linger, static_cast<int>(linger.count()));
    socket.set(zmq::sockopt::immediate, 1);
    socket.set(zmq::sockopt::reconnect_ivl, 100);
    socket.set(zmq::sockopt::reconnect_ivl_max, 1000);
    socket.set(zmq::sockopt::heartbeat_ivl, static_cast<int>(tavo::wire::heartbeat_interval.count()));
    socket.set(zmq::sockopt::heartbeat_timeout, static_cast<int>(tavo::wire::heartbeat_timeout.count()));
    socket.set(zmq::sockopt::heartbeat_ttl, static_cast<int>(tavo::wire::heartbeat_timeout.count() + 1000));
    if (settings.keys) {
        socket.set(zmq::sockopt::curve_serverkey, settings.keys->server_public);
        socket.set(zmq::sockopt::curve_publickey, settings.keys->public_key);
        socket.set(zmq::sockopt::curve_secretkey, settings.keys->secret);
    }
    return socket;
}

zmq::socket_t watch(zmq::socket_t& socket) {
    static std::atomic<unsigned long long> serial{0};
    const std::string address = "inproc://tavo-remote-monitor-" + std::to_string(serial.fetch_add(1));
    const int events = ZMQ_EVENT_HANDSHAKE_SUCCEEDED | ZMQ_EVENT_DISCONNECTED | ZMQ_EVENT_HANDSHAKE_FAILED_AUTH |
                       ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL | ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL;
    if (zmq_socket_monitor(socket.handle(), address.c_str(), events) != 0) throw zmq::error_t();
    zmq::socket_t monitor(client_context(), zmq::socket_type::pair);
    monitor.set(zmq::sockopt::linger, 0);
    monitor.connect(address);
    return monitor;
}

void wait_for(std::span<zmq::pollitem_t> items, std::chrono::milliseconds timeout) {
    try {
        zmq::poll(items.data(), items.size(), timeout);
    } catch (const zmq::error_t& e) {
        if (e.num() != EINTR) throw;
        for (auto& item : items) item.revents = 0;
    }
}

std::optional<ConnectionEvent> next_event(zmq::socket_t& monitor) {
    // Two frames: the event number (u16) and its value (u32), then the
    // endpoint's address.
    zmq::message_t first, second;
    if (!monitor.recv(first, zmq::recv_flags::dontwait)) return std::nullopt;
    if (first.more()) (void)monitor.recv(second);
    while (second.more()) (void)monitor.recv(second);
    ConnectionEvent event;
    if (first.size() < 6) return event;
    const auto* bytes = first.data<unsigned char>();
    const unsigned code = bytes[0] | (bytes[1] << 8);
    event.value = bytes[2] | (bytes[3] << 8) | (bytes[4] << 16) | (static_cast<std::uint32_t>(bytes[5]) << 24);
    switch (code) {
    case ZMQ_EVENT_HANDSHAKE_SUCCEEDED: event.kind = ConnectionEvent::Kind::up; break;
    case ZMQ_EVENT_DISCONNECTED: event.kind = ConnectionEvent::Kind::down; break;
    case ZMQ_EVENT_HANDSHAKE_FAILED_AUTH: event.kind = ConnectionEvent::Kind::refused; break;
    case ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL:
    case ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL: event.kind = ConnectionEvent::Kind::handshake_failed; break;
    default: break;
    }
    return event;
}

}  // namespace tavo::remote
