// tavo-server's engine: one ROUTER socket bound to every endpoint, one loop
// that reads requests, calls the plugin and sends replies and stream data.
//
// Design: one thread (the one that calls run()) owns the socket and every
// session, and makes every plugin call, so requests of all clients run one
// after the other and need no lock. The plugin's producer threads only push
// into stream channels, which wake the loop through an eventfd; the loop
// then sends what the clients' credit allows, the chunks as ZeroMQ messages
// made on their own bytes (the chunk's release runs when ZeroMQ is done).
// A client that falls silent for the client timeout is taken for gone: its
// streams are stopped and its devices freed.
//
// Ownership and order of destruction: the manager is destroyed last, after
// every device and stream, and after the ZeroMQ context, whose end frees the
// messages still in flight (their release functions are the plugin's code).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <zmq.hpp>

#include <remote/wakeup.hpp>
#include <remote/wire_format.hpp>
#include <tavo/device_manager.hpp>

#include "options.hpp"
#include "security.hpp"
#include "sessions.hpp"

namespace tavo::server {

class Server {
public:
    // Checks every endpoint against the security policy, then binds them.
    // Throws std::runtime_error with the one-line reason (a refused
    // endpoint, a key file, an address in use).
    Server(const Options& options, std::shared_ptr<tavo::DeviceManager> manager);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Serves until request_stop(); then stops every stream and frees every
    // device. Call once, from one thread.
    void run();

    // Makes run() return soon. Async-signal-safe (an atomic store and one
    // write()); callable from any thread.
    void request_stop() noexcept;

    // The endpoints as bound (a tcp port given as * is resolved).
    const std::vector<std::string>& endpoints() const { return endpoints_; }

private:
    struct Reply {
        tavo::wire::Outcome outcome = tavo::wire::Outcome::ok;
        tavo::wire::Body body;
        std::optional<zmq::message_t> payload;
    };
    enum class SendResult { sent, blocked, gone };
    // How a stream's turn ended: nothing to send (or no credit), its budget
    // used up with more waiting, or the client's pipe full (retry soon).
    enum class Turn { idle, more, blocked };

    // Where a message came from, for the log ("127.0.0.1", "a local client").
    static std::string peer_name(const zmq::message_t& frame);

    // server.cpp: the loop, messages in and replies out.
    bool receive_one();
    void handle_message(const zmq::message_t& routing, std::span<zmq::message_t> frames);
    void send_reply(const zmq::message_t& routing, const tavo::wire::Header& request, Reply&& reply);
    // Frees the device or stream that a request made, when its answer is
    // not sent (its caller gave up).
    void undo_creation(Session& session, tavo::wire::Kind kind, std::uint64_t handle);
    void expire_sessions();
    void end_all_sessions(const char* why);
    bool warn_allowed();

    // data_path.cpp: attach and credit, and each stream's turn at sending.
    void handle_data_path(const zmq::message_t& routing, const tavo::wire::Message& message, const std::string& owner);
    Turn pump(ServedStream& stream, std::uint64_t session_id);
    SendResult send_stream_item(ServedStream& stream, std::uint64_t session_id, StreamItem& item);

    // requests.cpp: one control request, answered.
    Reply handle_request(Session& session, const tavo::wire::Message& request);
    Reply hello(const tavo::wire::Message& request, const std::string& owner);
    Session* session_for(const tavo::wire::Header& header, const std::string& owner, Reply& refusal);

    const std::shared_ptr<tavo::DeviceManager> manager_;  // first member: destroyed last
    const Limits limits_;
    zmq::context_t context_;
    std::unique_ptr<Authenticator> authenticator_;  // CURVE only; before the socket binds
    zmq::socket_t router_;
    const std::shared_ptr<tavo::wire::Wakeup> wakeup_;  // shared with every stream channel
    std::atomic<bool> stop_requested_{false};
    std::map<std::uint64_t, Session> sessions_;
    std::uint64_t next_handle_ = 1;  // device and stream handles, never reused
    // This run of the server, told in every hello: handles are only
    // numbers, and a client must not take a device of an earlier run for
    // one of this run that happens to have the same number.
    const std::uint64_t instance_;
    std::vector<std::string> endpoints_;
    bool encrypted_ = false;
    Clock::time_point next_expiry_check_;
    // At most a burst of warnings about bad messages per period, so that a
    // hostile client cannot flood the log.
    Clock::time_point warn_period_;
    unsigned warnings_in_period_ = 0;
    unsigned warnings_suppressed_ = 0;
};

}  // namespace tavo::server
