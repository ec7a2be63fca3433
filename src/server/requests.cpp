// Answering one control request: the plugin's manager or device is called
// on the loop's thread, and what it returns or throws becomes the reply.
//
// A plugin's exception reaches the client with its text unchanged (the
// client throws it again), so a remote device fails as the local one does.
// The server's own refusals (a limit, an unknown handle) say what to do.

#include <cstring>
#include <new>
#include <stdexcept>

#include <spdlog/spdlog.h>

#include "server.hpp"

namespace tavo::server {

namespace wire = tavo::wire;

namespace {

// A request the server will not carry out; its text goes to the client.
class Refusal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::int32_t status(tavo::BasicDeviceStatus value) { return static_cast<std::int32_t>(value); }

tavo::Device& device_of(Session& session, std::uint64_t handle) {
    const auto found = session.devices.find(handle);
    if (found == session.devices.end() || !found->second) {
        throw Refusal("no device " + std::to_string(handle) +
                      " in this session: it was closed, or the server restarted or dropped this client");
    }
    return *found->second;
}

ServedStream& stream_of(Session& session, std::uint64_t handle) {
    const auto found = session.streams.find(handle);
    if (found == session.streams.end()) {
        throw Refusal("no stream " + std::to_string(handle) +
                      " in this session: it was closed, or the server restarted or dropped this client");
    }
    return *found->second;
}

void release_array(void* data, void*) { delete[] static_cast<unsigned char*>(data); }

void optional_text(wire::Body& out, const std::optional<std::string>& text) {
    out.flag = text.has_value();
    out.text = text.value_or("");
}

}  // namespace

Server::Reply Server::hello(const wire::Message& request, const std::string& owner) {
    Reply reply;
    const auto session_id = request.header.session;
    auto found = sessions_.find(session_id);
    if (found == sessions_.end()) {
        if (session_id == 0) {
            reply.outcome = wire::Outcome::refused;
            reply.body.text = "session id 0 is not a session";
            return reply;
        }
        if (sessions_.size() >= limits_.max_clients) {
            reply.outcome = wire::Outcome::refused;
            reply.body.text = "client limit reached: this server serves at most " +
                              std::to_string(limits_.max_clients) + " clients at once (tavo-server --max-clients)";
            spdlog::warn("refused a new client: {} clients are served already", sessions_.size());
            return reply;
        }
        Session session;
        session.id = session_id;
        session.owner = owner;
        found = sessions_.emplace(session_id, std::move(session)).first;
        spdlog::info("client session {:016x} opened{}", session_id, owner.empty() ? "" : " by key " + owner);
    } else if (found->second.owner != owner) {
        reply.outcome = wire::Outcome::refused;
        reply.body.text = "this session belongs to another client";
        spdlog::warn("refused hello for session {:016x}: the client's key is not the session's", session_id);
        return reply;
    }
    found->second.last_heard = Clock::now();
    try {
        reply.body.info = manager_->info();
    } catch (const std::exception& e) {
        reply.body.info = std::string("(the plugin's info() failed: ") + e.what() + ")";
    }
    reply.body.text = "tavo-server 0.1.0";
    reply.body.number = limits_.max_request;
    reply.body.count = instance_;
    reply.body.limit_devices = static_cast<std::uint32_t>(limits_.max_devices);
    reply.body.limit_streams = static_cast<std::uint32_t>(limits_.max_streams);
    return reply;
}

Server::Reply Server::handle_request(Session& session, const wire::Message& request) {
    Reply reply;
    const wire::Body& in = request.body;
    wire::Body& out = reply.body;
    const auto check_size = [this](std::uint64_t bytes, const char* what) {
        if (bytes > limits_.max_request) {
            throw Refusal(std::string(what) + " of " + std::to_string(bytes) + " bytes exceeds this server's limit of " +
                          std::to_string(limits_.max_request) + " bytes (tavo-server --max-request)");
        }
    };
    try {
        switch (request.header.kind) {
        case wire::Kind::list_devices: out.text = manager_->list_devices(); break;
        case wire::Kind::device_options: out.text = manager_->get_device_options(); break;
        case wire::Kind::create_device: {
            if (session.devices.size() >= limits_.max_devices) {
                throw Refusal("device limit reached: this server lets a client hold " +
                              std::to_string(limits_.max_devices) + " devices at once (tavo-server --max-devices)");
            }
            auto device = manager_->create_device(in.text);
            if (device) {
                out.handle = next_handle_++;
                session.devices.emplace(out.handle, std::move(device));
            }
            break;
        }
        case wire::Kind::close_device:
            device_of(session, in.handle);
            session.devices.erase(in.handle);
            break;
        case wire::Kind::set_register_sync:
            out.signed_value = status(device_of(session, in.handle).set_register_sync(in.addr, in.value, in.mask));
            break;
        case wire::Kind::set_register:
            out.signed_value = status(device_of(session, in.handle).set_register(in.addr, in.value, in.mask));
            break;
        case wire::Kind::send_registers: out.signed_value = status(device_of(session, in.handle).send_registers()); break;
        case wire::Kind::read_registers: out.signed_value = status(device_of(session, in.handle).read_registers()); break;
        case wire::Kind::get_register_sync: {
            const auto value = device_of(session, in.handle).get_register_sync(in.addr);
            out.flag = value.has_value();
            out.value = value.value_or(0);
            break;
        }
        case wire::Kind::get_register: out.value = device_of(session, in.handle).get_register(in.addr); break;
        case wire::Kind::trigger:
            out.signed_value = status(device_of(session, in.handle).trigger(in.addr, in.signed_value));
            break;
        case wire::Kind::write:
            check_size(request.payload.size(), "a write");
            // The device reads straight from the received message.
            out.number = device_of(session, in.handle).write(in.addr, request.payload.size(), request.payload.data());
            break;
        case wire::Kind::read: {
            check_size(in.number, "a read");
            auto& device = device_of(session, in.handle);
            // Zeroed, so that bytes the device leaves alone carry nothing of
            // the server's memory to the client.
            std::unique_ptr<unsigned char[]> bytes(new unsigned char[in.number]());
            out.number = device.read(in.addr, in.number, bytes.get());
            // The count is taken as bytes stored from the start: the client
            // copies that many back, and never more than it asked for.
            const auto stored = std::min<std::uint64_t>(out.number, in.number);
            if (stored > 0) reply.payload = zmq::message_t(bytes.release(), stored, &release_array, nullptr);
            break;
        }
        case wire::Kind::get_status: optional_text(out, device_of(session, in.handle).get_status()); break;
        case wire::Kind::get_info: optional_text(out, device_of(session, in.handle).get_info()); break;
        case wire::Kind::start_stream: {
            if (session.streams.size() >= limits_.max_streams) {
                throw Refusal("stream limit reached: this server lets a client run " +
                              std::to_string(limits_.max_streams) + " streams at once (tavo-server --max-streams)");
            }
            auto& device = device_of(session, in.handle);
            auto channel = std::make_shared<StreamChannel>(limits_.stream_queue_bytes, limits_.stream_queue_events,
                                                           [wakeup = wakeup_] { wakeup->signal(); });
            auto started = device.start_read_stream(in.addr, make_sink(channel), in.number);
            if (started && *started) {
                auto stream = std::make_unique<ServedStream>();
                stream->id = out.handle = next_handle_++;
                stream->handle = std::move(*started);
                stream->channel = std::move(channel);
                session.streams.emplace(out.handle, std::move(stream));
            }
            break;
        }
        case wire::Kind::stop_stream: {
            auto& stream = stream_of(session, in.handle);
            if (stream.handle) stream.handle->stop();
            break;
        }
        case wire::Kind::close_stream: {
            auto& stream = stream_of(session, in.handle);
            // The client wants nothing more of it: the plugin's handle goes
            // (ending production if stop() was never called), and with the
            // stream whatever is still queued.
            const auto dropped = stream.channel->dropped_total();
            if (dropped > 0) spdlog::info("session {:016x}: stream {} dropped {} event(s) in all", session.id, stream.id, dropped);
            stream.handle.reset();
            session.streams.erase(in.handle);
            break;
        }
        default: throw Refusal("not a request: " + std::string(wire::kind_name(request.header.kind)));
        }
        if (out.text.size() > wire::max_text) {
            throw std::runtime_error("the plugin's text of " + std::to_string(out.text.size()) +
                                     " bytes is longer than the protocol carries (" + std::to_string(wire::max_text) + ")");
        }
    } catch (const Refusal& refusal) {
        reply = Reply{};
        reply.outcome = wire::Outcome::refused;
        reply.body.text = refusal.what();
        spdlog::debug("session {:016x}: refused {}: {}", session.id, wire::kind_name(request.header.kind), refusal.what());
    } catch (const std::bad_alloc&) {
        reply = Reply{};
        reply.outcome = wire::Outcome::out_of_memory;
        reply.body.text = "out of memory";
    } catch (const std::exception& e) {
        reply = Reply{};
        reply.outcome = wire::Outcome::failed;
        reply.body.text = e.what();
    } catch (...) {
        reply = Reply{};
        reply.outcome = wire::Outcome::failed;
        reply.body.text = "the plugin threw an exception that is not a std::exception";
    }
    return reply;
}

}  // namespace tavo::server
