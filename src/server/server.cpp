// The server loop: the socket, messages in and replies out, session
// expiry. Requests themselves are answered in requests.cpp, the streams'
// data path is data_path.cpp.

#include "server.hpp"

#include <cerrno>
#include <malloc.h>
#include <random>
#include <span>

#include <spdlog/spdlog.h>

#include <remote/curve_keys.hpp>

namespace tavo::server {

namespace wire = tavo::wire;
using namespace std::chrono_literals;

namespace {

constexpr auto expiry_period = 250ms;
constexpr auto warn_period = 10s;
constexpr unsigned warnings_per_period = 20;
constexpr int messages_per_turn = 256;          // requests read before the streams get their turn

std::uint64_t random_instance() {
    std::random_device source;
    std::uint64_t id = 0;
    while (id == 0) id = (static_cast<std::uint64_t>(source()) << 32) ^ source();
    return id;
}

std::string property(const zmq::message_t& frame, const char* name) {
    const char* value = zmq_msg_gets(const_cast<zmq_msg_t*>(frame.handle()), name);
    return value ? value : "";
}

// Called when the last client has left. The C library keeps what the
// sessions freed (their streams' buffers, the messages of their requests)
// in its arenas, scattered between the few allocations that live on, so the
// server's resident size would keep each client's high-water mark for good;
// trimming gives the free pages back, and a server that sits idle between
// clients holds only what it uses.
void return_freed_memory() {
    malloc_trim(0);
    spdlog::debug("no client left: freed memory returned to the system");
}

}  // namespace

std::string Server::peer_name(const zmq::message_t& frame) {
    std::string address = property(frame, "Peer-Address");
    return address.empty() ? "a local client" : address;
}

Server::Server(const Options& options, std::shared_ptr<tavo::DeviceManager> manager)
    : manager_(std::move(manager)),
      limits_(options.limits),
      context_(1),
      wakeup_(std::make_shared<wire::Wakeup>()),
      instance_(random_instance()),
      encrypted_(options.curve_secret.has_value()) {
    check_binds(options.binds, encrypted_, options.insecure);
    std::string secret;
    if (encrypted_) {
        secret = wire::read_key_file(*options.curve_secret);
        authenticator_ = std::make_unique<Authenticator>(context_, read_allowed_keys(*options.allow_dir),
                                                         *options.allow_dir);
    }
    router_ = zmq::socket_t(context_, zmq::socket_type::router);
    // A reply or chunk for a client that is gone fails instead of vanishing,
    // and a full pipe says so (EAGAIN) instead of dropping in silence.
    router_.set(zmq::sockopt::router_mandatory, 1);
    router_.set(zmq::sockopt::sndhwm, 20000);
    router_.set(zmq::sockopt::linger, 0);
    router_.set(zmq::sockopt::maxmsgsize,
                static_cast<std::int64_t>(std::max<std::uint64_t>(limits_.max_request, wire::max_text) + 65536));
    router_.set(zmq::sockopt::heartbeat_ivl, static_cast<int>(wire::heartbeat_interval.count()));
    router_.set(zmq::sockopt::heartbeat_timeout, static_cast<int>(wire::heartbeat_timeout.count()));
    router_.set(zmq::sockopt::heartbeat_ttl, static_cast<int>(wire::heartbeat_timeout.count() + 1000));
    if (encrypted_) {
        router_.set(zmq::sockopt::zap_domain, "tavo");
        router_.set(zmq::sockopt::curve_server, 1);
        router_.set(zmq::sockopt::curve_secretkey, secret);
    }
    for (const auto& endpoint : options.binds) {
        try {
            router_.bind(endpoint);
        } catch (const zmq::error_t& e) {
            throw std::runtime_error("cannot bind " + endpoint + ": " + e.what());
        }
        endpoints_.push_back(router_.get(zmq::sockopt::last_endpoint));
    }
}

Server::~Server() { end_all_sessions("server destroyed"); }

void Server::request_stop() noexcept {
    stop_requested_.store(true);
    wakeup_->signal();
}

void Server::run() {
    for (const auto& endpoint : endpoints_) {
        spdlog::info("listening on {}{}", endpoint, encrypted_ ? " (CURVE)" : "");
    }
    std::array<zmq::pollitem_t, 2> items{{{router_.handle(), 0, ZMQ_POLLIN, 0},
                                          {nullptr, wakeup_->fd(), ZMQ_POLLIN, 0}}};
    bool more_to_send = false, blocked = false;
    next_expiry_check_ = Clock::now() + expiry_period;
    while (!stop_requested_.load()) {
        auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(next_expiry_check_ - Clock::now());
        if (blocked) timeout = std::min<std::chrono::milliseconds>(timeout, 2ms);
        if (more_to_send || timeout < 0ms) timeout = 0ms;
        try {
            zmq::poll(items.data(), items.size(), timeout);
        } catch (const zmq::error_t& e) {
            if (e.num() != EINTR) throw;
        }
        if (items[1].revents & ZMQ_POLLIN) wakeup_->clear();
        for (int i = 0; i < messages_per_turn && receive_one(); ++i) {
        }
        more_to_send = blocked = false;
        for (auto& [session_id, session] : sessions_) {
            for (auto& [stream_id, stream] : session.streams) {
                const auto turn = pump(*stream, session_id);
                more_to_send = more_to_send || turn == Turn::more;
                blocked = blocked || turn == Turn::blocked;
            }
        }
        expire_sessions();
    }
    end_all_sessions("shutting down");
}

bool Server::receive_one() {
    zmq::message_t routing;
    if (!router_.recv(routing, zmq::recv_flags::dontwait)) return false;
    // Routing id, frame 0 and at most a payload: a message with more frames
    // is read to its end and dropped.
    std::array<zmq::message_t, 2> frames;
    std::size_t count = 0;
    bool more = routing.more(), too_many = false;
    while (more) {
        zmq::message_t part;
        (void)router_.recv(part);  // the rest of a message arrives with its first frame
        more = part.more();
        if (count < frames.size()) frames[count++] = std::move(part);
        else too_many = true;
    }
    if (count == 0 || too_many) {
        if (warn_allowed()) spdlog::warn("dropped a message of {} frames from {}", count + (too_many ? 1 : 0), peer_name(routing));
        return true;
    }
    handle_message(routing, std::span(frames.data(), count));
    return true;
}

void Server::handle_message(const zmq::message_t& routing, std::span<zmq::message_t> frames) {
    std::array<std::span<const unsigned char>, 2> spans;
    for (std::size_t i = 0; i < frames.size(); ++i) spans[i] = {frames[i].data<unsigned char>(), frames[i].size()};
    const wire::Frames view(spans.data(), frames.size());
    wire::Message message;
    std::string error;
    if (!wire::decode(view, wire::Sender::client, message, error)) {
        // A request whose header makes sense gets a refusal; anything else
        // is dropped.
        wire::Header header;
        std::string header_error;
        bool version_only = false;
        const bool header_ok = wire::decode_header(spans[0], wire::Sender::client, header, header_error, &version_only);
        if ((header_ok || version_only) && wire::expects_reply(header.kind) && !header.reply) {
            Reply refusal;
            refusal.outcome = wire::Outcome::refused;
            refusal.body.text = "tavo-server refused a malformed " + std::string(wire::kind_name(header.kind)) + ": " + error;
            send_reply(routing, header, std::move(refusal));
        }
        if (warn_allowed()) spdlog::warn("refused a message from {}: {}", peer_name(routing), error);
        return;
    }
    // Under CURVE every frame carries the key the handshake proved.
    const std::string owner = property(frames[0], "User-Id");
    const auto& header = message.header;
    switch (header.kind) {
    case wire::Kind::attach:
    case wire::Kind::credit: handle_data_path(routing, message, owner); return;
    case wire::Kind::hello: send_reply(routing, header, hello(message, owner)); return;
    case wire::Kind::ping:
    case wire::Kind::goodbye: {
        const auto found = sessions_.find(header.session);
        if (found == sessions_.end() || found->second.owner != owner) return;
        if (header.kind == wire::Kind::ping) {
            found->second.last_heard = Clock::now();
            return;
        }
        const auto [streams, devices] = end_session(found->second);
        spdlog::info("client session {:016x} said goodbye: stopped {} stream(s), freed {} device(s)", header.session,
                     streams, devices);
        sessions_.erase(found);
        if (sessions_.empty()) return_freed_memory();
        return;
    }
    default: break;
    }
    Reply refusal;
    Session* session = session_for(header, owner, refusal);
    if (session == nullptr) {
        send_reply(routing, header, std::move(refusal));
        return;
    }
    const auto start = Clock::now();
    Reply reply = handle_request(*session, message);
    const auto end = Clock::now();
    session->last_heard = end;
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(end - start);
    if (header.aux > 0 && took.count() > header.aux) {
        // The caller has given up: it answered its user with a timeout. What
        // the request made is undone, as nobody will ever hold its handle.
        spdlog::warn("session {:016x}: {} took {} ms, past its caller's deadline of {} ms; the answer is not sent",
                     header.session, wire::kind_name(header.kind), took.count(), header.aux);
        if (reply.outcome == wire::Outcome::ok && reply.body.handle != 0) undo_creation(*session, header.kind, reply.body.handle);
        return;
    }
    send_reply(routing, header, std::move(reply));
}

void Server::undo_creation(Session& session, wire::Kind kind, std::uint64_t handle) {
    if (kind == wire::Kind::create_device) {
        session.devices.erase(handle);
    } else if (kind == wire::Kind::start_stream) {
        if (const auto found = session.streams.find(handle); found != session.streams.end()) {
            end_stream(*found->second, session.id);
            session.streams.erase(found);
        }
    }
}

void Server::send_reply(const zmq::message_t& routing, const wire::Header& request, Reply&& reply) {
    const wire::Header header{request.kind, true, request.session, request.id, static_cast<std::uint32_t>(reply.outcome)};
    const std::string frame0 = wire::encode(header, reply.body);
    wire::Layout layout;
    const bool payload = wire::layout_of(header.kind, true, reply.outcome, layout) && layout.payload;
    zmq::message_t id(routing.data(), routing.size());
    try {
        if (!router_.send(id, zmq::send_flags::sndmore | zmq::send_flags::dontwait)) {
            if (warn_allowed()) spdlog::warn("session {:016x} does not read its replies; a reply was dropped", header.session);
            return;
        }
        router_.send(zmq::buffer(frame0), payload ? zmq::send_flags::sndmore : zmq::send_flags::none);
        if (payload) router_.send(reply.payload ? std::move(*reply.payload) : zmq::message_t(), zmq::send_flags::none);
    } catch (const zmq::error_t& e) {
        if (e.num() != EHOSTUNREACH) throw;
        spdlog::debug("session {:016x} left before its reply", header.session);
    }
}

Session* Server::session_for(const wire::Header& header, const std::string& owner, Reply& refusal) {
    const auto found = sessions_.find(header.session);
    if (found == sessions_.end()) {
        refusal.outcome = wire::Outcome::unknown_session;
        refusal.body.text = "unknown session (the server restarted, or ended it after the client fell silent)";
        return nullptr;
    }
    if (found->second.owner != owner) {
        refusal.outcome = wire::Outcome::refused;
        refusal.body.text = "this session belongs to another client";
        if (warn_allowed()) spdlog::warn("refused {} on session {:016x}: the client's key is not the session's", wire::kind_name(header.kind), header.session);
        return nullptr;
    }
    return &found->second;
}

void Server::expire_sessions() {
    const auto now = Clock::now();
    if (now < next_expiry_check_) return;
    // Messages still waiting may be the very pings that keep a session (the
    // loop was busy in a slow plugin call): they are read first.
    if (router_.get(zmq::sockopt::events) & ZMQ_POLLIN) return;
    next_expiry_check_ = now + expiry_period;
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (now - it->second.last_heard <= limits_.client_timeout) {
            ++it;
            continue;
        }
        const auto [streams, devices] = end_session(it->second);
        spdlog::info("client session {:016x} fell silent for {} ms: stopped {} stream(s), freed {} device(s)",
                     it->first, std::chrono::duration_cast<std::chrono::milliseconds>(now - it->second.last_heard).count(),
                     streams, devices);
        it = sessions_.erase(it);
        if (sessions_.empty()) return_freed_memory();
    }
}

void Server::end_all_sessions(const char* why) {
    std::size_t streams = 0, devices = 0;
    for (auto& [id, session] : sessions_) {
        const auto [s, d] = end_session(session);
        streams += s;
        devices += d;
    }
    if (!sessions_.empty()) {
        spdlog::info("{}: stopped {} stream(s), freed {} device(s) of {} client(s)", why, streams, devices,
                     sessions_.size());
    }
    sessions_.clear();
}

bool Server::warn_allowed() {
    const auto now = Clock::now();
    if (now - warn_period_ > warn_period) {
        if (warnings_suppressed_ > 0) spdlog::warn("{} more warnings about bad messages were not logged", warnings_suppressed_);
        warn_period_ = now;
        warnings_in_period_ = warnings_suppressed_ = 0;
    }
    if (warnings_in_period_ < warnings_per_period) {
        ++warnings_in_period_;
        return true;
    }
    ++warnings_suppressed_;
    return false;
}

}  // namespace tavo::server
