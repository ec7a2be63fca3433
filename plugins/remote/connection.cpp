// The control path: sending a request, waiting for its reply within the
// deadline, and the keeper thread that watches the connection.

#include "connection.hpp"

#include <array>
#include <map>
#include <random>
#include <stdexcept>

#include "client_sockets.hpp"

namespace tavo::remote {

namespace wire = tavo::wire;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

std::uint64_t random_session() {
    std::random_device source;
    std::uint64_t id = 0;
    while (id == 0) id = (static_cast<std::uint64_t>(source()) << 32) ^ source();
    return id;
}

// The process's connections, by endpoint and keys. Never destroyed: a
// device may be dropped during the process's exit.
struct Registry {
    std::mutex mutex;
    std::map<std::string, std::weak_ptr<Connection>> connections;
};

Registry& registry() {
    static auto* connections = new Registry;
    return *connections;
}

milliseconds left_until(Clock::time_point deadline) {
    return std::max(milliseconds(0), std::chrono::ceil<milliseconds>(deadline - Clock::now()));
}

// Leaves the gate at the end of its scope, also when a call throws.
class GateHeld {
public:
    explicit GateHeld(CallGate& gate) : gate_(gate) {}
    ~GateHeld() { gate_.leave(); }
    GateHeld(const GateHeld&) = delete;
    GateHeld& operator=(const GateHeld&) = delete;

private:
    CallGate& gate_;
};

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error("tavo remote: " + what); }

bool repeatable(wire::Kind kind) {
    return kind == wire::Kind::list_devices || kind == wire::Kind::device_options || kind == wire::Kind::create_device;
}

}  // namespace

std::shared_ptr<Connection> Connection::get(const std::string& endpoint, const ClientSettings& settings) {
    auto& connections = registry();
    std::lock_guard lock(connections.mutex);
    const std::string key = endpoint + '\n' + settings.keys_dir;
    if (auto found = connections.connections[key].lock()) return found;
    std::erase_if(connections.connections, [](const auto& entry) { return entry.second.expired(); });
    auto made = std::make_shared<Connection>(endpoint, settings);
    connections.connections[key] = made;
    return made;
}

Connection::Connection(const std::string& endpoint, const ClientSettings& settings)
    : endpoint_(endpoint),
      settings_(settings),
      session_(random_session()),
      socket_(make_client_socket(settings, milliseconds(200))),
      monitor_(watch(socket_)) {
    try {
        socket_.connect(endpoint_);
    } catch (const zmq::error_t& e) {
        throw std::runtime_error("tavo remote: cannot connect to " + endpoint_ + ": " + e.what());
    }
    keeper_ = std::jthread([this](std::stop_token stop) { keep(std::move(stop)); });
}

Connection::~Connection() {
    keeper_.request_stop();
    stop_keeper_.signal();
    keeper_.join();
    zmq_socket_monitor(socket_.handle(), nullptr, 0);
    // Ends the session now rather than after the server's timeout. The
    // socket's linger lets the goodbye leave after the socket is closed.
    // (Nothing else can be in the gate: the last owner is going.)
    if (hello_on_connection_ != 0 && state().connected) {
        const std::string goodbye = wire::encode({wire::Kind::goodbye, false, session_, 0, 0}, {});
        try {
            (void)socket_.send(zmq::buffer(goodbye), zmq::send_flags::dontwait);
        } catch (const zmq::error_t&) {  // nothing to do about it: the server's timeout ends the session
        }
    }
}

std::uint64_t Connection::max_request() const { return max_request_.load(); }

Connection::State Connection::state() const {
    std::lock_guard lock(state_mutex_);
    return state_;
}

Answer Connection::call(wire::Kind kind, const wire::Body& body, milliseconds timeout,
                        std::span<const unsigned char> payload, Wait wait, std::uint64_t instance) {
    const auto deadline = Clock::now() + timeout;
    const std::string op(wire::kind_name(kind));
    if (!gate_.enter_until(deadline)) {
        fail("no answer from " + endpoint_ + " to " + op + " within " + seconds_text(timeout) +
             " (another call on this connection took all of it)");
    }
    const GateHeld held(gate_);
    const auto gone = [&] {
        return std::runtime_error("tavo remote " + endpoint_ + ": " + op +
                                  " failed: the device is gone (the server restarted, or ended this client's "
                                  "session after it fell silent)");
    };
    if (hello_on_connection_ == 0 || hello_on_connection_ != state().connections) say_hello(op, deadline, timeout, wait);
    if (instance != 0 && instance != instance_) throw gone();
    Answer answer = exchange(kind, op, body, payload, deadline, timeout, wait);
    if (static_cast<wire::Outcome>(answer.message.header.aux) == wire::Outcome::unknown_session) {
        say_hello(op, deadline, timeout, wait);  // a new session on a restarted server
        if (!repeatable(kind)) throw gone();
        answer = exchange(kind, op, body, payload, deadline, timeout, wait);
    }
    answer.instance = instance_;
    const auto& text = answer.message.body.text;
    switch (static_cast<wire::Outcome>(answer.message.header.aux)) {
    case wire::Outcome::ok: return answer;
    case wire::Outcome::failed: throw std::runtime_error(text);
    case wire::Outcome::out_of_memory: throw std::bad_alloc();
    case wire::Outcome::refused: throw std::runtime_error("tavo remote " + endpoint_ + ": " + text);
    case wire::Outcome::unknown_session: throw gone();
    }
    throw std::runtime_error("tavo remote " + endpoint_ + ": unknown outcome");
}

void Connection::say_hello(const std::string& op, Clock::time_point deadline, milliseconds timeout, Wait wait) {
    Answer answer = exchange(wire::Kind::hello, op, {}, {}, deadline, timeout, wait);
    if (static_cast<wire::Outcome>(answer.message.header.aux) != wire::Outcome::ok) {
        throw std::runtime_error("tavo remote " + endpoint_ + ": " + answer.message.body.text);
    }
    max_request_.store(answer.message.body.number);
    instance_ = answer.message.body.count;
    hello_on_connection_ = std::max<std::uint64_t>(1, state().connections);
}

bool Connection::take_reply(wire::Kind kind, std::uint64_t id, Answer& out) {
    while (true) {
        Answer answer;
        if (!socket_.recv(answer.header_frame, zmq::recv_flags::dontwait)) return false;
        std::size_t frames = 1;
        bool more = answer.header_frame.more();
        while (more) {  // a second frame is the payload; anything past it is read and dropped
            zmq::message_t part;
            (void)socket_.recv(part);
            more = part.more();
            if (++frames == 2) answer.payload_frame = std::move(part);
        }
        if (frames > 2) continue;
        // Decoded in its final place: the payload span points into the frame.
        std::array<std::span<const unsigned char>, 2> spans{
            std::span<const unsigned char>(answer.header_frame.data<unsigned char>(), answer.header_frame.size()),
            std::span<const unsigned char>(answer.payload_frame.data<unsigned char>(), answer.payload_frame.size())};
        std::string error;
        if (!wire::decode(wire::Frames(spans.data(), frames), wire::Sender::server, answer.message, error)) {
            throw std::runtime_error("tavo remote: " + endpoint_ + " sent a malformed answer to " +
                                     std::string(wire::kind_name(kind)) + ": " + error);
        }
        const auto& header = answer.message.header;
        if (!header.reply || header.id != id || header.kind != kind) {  // an answer to a call given up
            release_late_creation(answer.message);
            continue;
        }
        out = std::move(answer);
        const std::size_t payload = out.message.payload.size();
        out.message.payload = {out.payload_frame.data<unsigned char>(), payload};
        return true;
    }
}

// A create_device or start_stream given up on may still have been carried
// out: its late answer names what the server made, which nobody here holds.
// It is closed at once, or it would count against the session's limits for
// as long as the session lives, and a stream would go on producing. The
// close is not waited for; its answer is dropped like this one.
void Connection::release_late_creation(const wire::Message& late) {
    const auto& header = late.header;
    if (!header.reply || header.aux != static_cast<std::uint32_t>(wire::Outcome::ok) || late.body.handle == 0) return;
    wire::Kind close;
    if (header.kind == wire::Kind::create_device) {
        close = wire::Kind::close_device;
    } else if (header.kind == wire::Kind::start_stream) {
        close = wire::Kind::close_stream;
    } else {
        return;
    }
    wire::Body body;
    body.handle = late.body.handle;
    const std::string frame = wire::encode({close, false, session_, next_request_++, 0}, body);
    (void)socket_.send(zmq::buffer(frame), zmq::send_flags::dontwait);
}

// `op` names the caller's operation in messages (a hello is sent on behalf
// of one).
Answer Connection::exchange(wire::Kind kind, const std::string& op, const wire::Body& body,
                            std::span<const unsigned char> payload, Clock::time_point deadline, milliseconds timeout,
                            Wait wait) {
    const State at_start = state();
    if (wait == Wait::if_connected && !at_start.connected) {
        fail(endpoint_ + " is not connected; " + op + " not sent");
    }
    // Late answers that wait are read first, so that what a call given up
    // made is closed before this request (a create, say) meets the limits.
    Answer late;
    (void)take_reply(kind, 0, late);  // request ids start at 1: none matches
    const std::uint64_t id = next_request_++;
    const auto budget = std::min<std::int64_t>(std::max<std::int64_t>(1, left_until(deadline).count()), UINT32_MAX);
    const std::string frame0 = wire::encode({kind, false, session_, id, static_cast<std::uint32_t>(budget)}, body);
    wire::Layout layout;
    wire::layout_of(kind, false, wire::Outcome::ok, layout);
    std::array<zmq::pollitem_t, 2> items{{{socket_.handle(), 0, ZMQ_POLLOUT, 0},
                                          {nullptr, changed_.fd(), ZMQ_POLLIN, 0}}};

    // ZMQ_IMMEDIATE: the request is only taken when a connection is up, so
    // this waits for one (a server starting again) within the deadline.
    std::uint64_t losses_at_send = 0;
    while (true) {
        const State now = state();
        if (now.refusals != at_start.refusals) {
            fail(endpoint_ + " refused this client during " + op + ": " + now.refusal);
        }
        losses_at_send = now.losses;
        const auto flags = (layout.payload ? zmq::send_flags::sndmore : zmq::send_flags::none) | zmq::send_flags::dontwait;
        if (socket_.send(zmq::buffer(frame0), flags)) break;
        const auto left = left_until(deadline);
        if (left.count() == 0) {
            fail("no answer from " + endpoint_ + " to " + op + " within " + seconds_text(timeout) +
                 " (no connection to the server)");
        }
        wait_for(items, left);
        if (items[1].revents & ZMQ_POLLIN) changed_.clear();
    }
    // The payload is copied into its message: the caller's buffer is only
    // valid during the call, and a message may outlive a call that timed out.
    if (layout.payload) socket_.send(zmq::buffer(payload.data(), payload.size()), zmq::send_flags::none);
    last_sent_ = Clock::now();

    items[0].events = ZMQ_POLLIN;
    while (true) {
        Answer answer;
        if (take_reply(kind, id, answer)) return answer;
        if (state().losses != losses_at_send) {
            fail("connection to " + endpoint_ + " lost during " + op + " (the server went away)");
        }
        const auto left = left_until(deadline);
        if (left.count() == 0) {
            fail("no answer from " + endpoint_ + " to " + op + " within " + seconds_text(timeout));
        }
        wait_for(items, left);
        if (items[1].revents & ZMQ_POLLIN) changed_.clear();
    }
}

void Connection::on_event(zmq::socket_t& monitor) {
    while (const auto event = next_event(monitor)) {
        {
            std::lock_guard lock(state_mutex_);
            switch (event->kind) {
            case ConnectionEvent::Kind::up:
                state_.connected = true;
                ++state_.connections;
                break;
            case ConnectionEvent::Kind::down:
                if (state_.connected) ++state_.losses;
                state_.connected = false;
                break;
            case ConnectionEvent::Kind::refused:
                ++state_.refusals;
                state_.refusal = settings_.keys ? "its key is not allowed (TAVO_REMOTE_KEYS=" + settings_.keys_dir + ")"
                                                : "it was not let in";
                break;
            case ConnectionEvent::Kind::handshake_failed:
                ++state_.refusals;
                state_.refusal = settings_.keys
                                     ? "the CURVE handshake failed: does the server use keys, and is server.pub in "
                                       "TAVO_REMOTE_KEYS=" + settings_.keys_dir + " its public key?"
                                     : "the security handshake failed: the server expects CURVE keys (set "
                                       "TAVO_REMOTE_KEYS)";
                break;
            case ConnectionEvent::Kind::other: continue;
            }
        }
        changed_.signal();
    }
}

// The keeper: applies the socket's connection events as they come, and
// pings when nothing was sent for a while (a call in progress needs no
// ping: its request said enough).
void Connection::keep(std::stop_token stop) {
    const std::string ping = wire::encode({wire::Kind::ping, false, session_, 0, 0}, {});
    std::array<zmq::pollitem_t, 2> items{{{monitor_.handle(), 0, ZMQ_POLLIN, 0},
                                          {nullptr, stop_keeper_.fd(), ZMQ_POLLIN, 0}}};
    const auto check = wire::keepalive_interval / 4;
    while (!stop.stop_requested()) {
        try {
            wait_for(items, check);
            if (items[0].revents & ZMQ_POLLIN) on_event(monitor_);
            if (!gate_.try_enter()) continue;  // a call is in: its request says enough
            const GateHeld held(gate_);
            if (hello_on_connection_ == 0 || Clock::now() - last_sent_ < wire::keepalive_interval) continue;
            if (!state().connected) continue;
            if (socket_.send(zmq::buffer(ping), zmq::send_flags::dontwait)) last_sent_ = Clock::now();
        } catch (const zmq::error_t& e) {
            if (e.num() == ETERM) return;
            // EINTR and the like: go round again
        }
    }
}

}  // namespace tavo::remote
