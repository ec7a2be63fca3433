// The control path to one tavo-server: requests with an id and a deadline,
// each answered by one reply.
//
// A Connection is shared by every manager, device and stream of the process
// that talks to the same endpoint with the same keys, and it is one session
// on the server: the server's limits on devices and streams count per
// Connection. It says hello when it (re)connects, and `ping` when it has
// nothing else to say, so the server knows the client is alive.
//
// Deadlines: call() waits at most its timeout for everything: the socket
// (another thread's call in progress), a connection (a server that is
// starting again is waited for), the answer. It throws std::runtime_error
// naming the endpoint, the operation and the deadline when time is up, and
// at once when the connection it sent on is lost or the server refuses the
// client's key: a call never hangs.
//
// Threads: call() from any thread; calls are served one at a time (the
// call gate, entered within the deadline). A keeper thread of the
// Connection's own watches the socket's connection events and sends the
// pings; it enters the gate only when no call is in it. The ZeroMQ socket
// and the members marked so are used inside the gate only.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include <zmq.hpp>

#include "client_settings.hpp"
#include "wakeup.hpp"
#include "wire_format.hpp"

namespace tavo::remote {

// A reply: the decoded message and the frames it points into.
struct Answer {
    tavo::wire::Message message;
    zmq::message_t header_frame;
    zmq::message_t payload_frame;
    std::uint64_t instance = 0;  // the run of the server that answered
};

// A lock whose wait has a deadline: a mutex and a condition variable, so
// that every thread sanitizer sees it (std::timed_mutex waits through
// pthread_mutex_clocklock, which clang 14's ThreadSanitizer does not know).
class CallGate {
public:
    // Enters; false if another holder stays in until `deadline`.
    bool enter_until(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        if (!free_.wait_until(lock, deadline, [this] { return !busy_; })) return false;
        busy_ = true;
        return true;
    }
    // Enters if nobody is in.
    bool try_enter() {
        std::lock_guard lock(mutex_);
        if (busy_) return false;
        busy_ = true;
        return true;
    }
    void leave() {
        {
            std::lock_guard lock(mutex_);
            busy_ = false;
        }
        free_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable free_;
    bool busy_ = false;
};

class Connection {
public:
    // How a call treats a connection that is down: wait for it (within the
    // deadline), or fail at once (for clean-up calls after the server went
    // away, which must not hold up a destructor).
    enum class Wait { for_server, if_connected };

    // The process's Connection to `endpoint` with `settings`' keys, made on
    // first use. Throws for an endpoint ZeroMQ refuses.
    static std::shared_ptr<Connection> get(const std::string& endpoint, const ClientSettings& settings);

    Connection(const std::string& endpoint, const ClientSettings& settings);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Sends `kind` with `body` (and `payload` as a second frame, copied) and
    // returns the reply with Outcome ok. Other outcomes throw: a plugin's
    // failure as std::runtime_error with the plugin's text unchanged, out of
    // memory as std::bad_alloc, a refusal as std::runtime_error
    // "tavo remote ENDPOINT: ...". A session the server does not know is
    // opened again (hello) and, for the manager's operations, the call
    // repeated once; a device's operation then fails, its device being gone.
    //
    // `instance`: the run of the server that the handle in `body` belongs
    // to (Answer::instance of the call that made it), or 0. A server started
    // again numbers its handles afresh, so a handle of an earlier run is not
    // sent: the call fails, saying that the device is gone.
    Answer call(tavo::wire::Kind kind, const tavo::wire::Body& body, std::chrono::milliseconds timeout,
                std::span<const unsigned char> payload = {}, Wait wait = Wait::for_server,
                std::uint64_t instance = 0);

    const std::string& endpoint() const { return endpoint_; }
    const ClientSettings& settings() const { return settings_; }
    std::uint64_t session() const { return session_; }

    // The server's request limit as its hello said; 0 before the first call.
    std::uint64_t max_request() const;

private:
    struct State {
        bool connected = false;
        std::uint64_t connections = 0;  // handshakes that succeeded
        std::uint64_t losses = 0;       // connections that went down
        std::uint64_t refusals = 0;     // handshakes that failed
        std::string refusal;            // why the last one failed
    };

    void release_late_creation(const tavo::wire::Message& late);
    bool take_reply(tavo::wire::Kind kind, std::uint64_t id, Answer& out);
    Answer exchange(tavo::wire::Kind kind, const std::string& op, const tavo::wire::Body& body,
                    std::span<const unsigned char> payload, std::chrono::steady_clock::time_point deadline,
                    std::chrono::milliseconds timeout, Wait wait);
    void say_hello(const std::string& op, std::chrono::steady_clock::time_point deadline,
                   std::chrono::milliseconds timeout, Wait wait);
    State state() const;
    void keep(std::stop_token stop);
    void on_event(zmq::socket_t& monitor);

    const std::string endpoint_;
    const ClientSettings settings_;
    const std::uint64_t session_;

    CallGate gate_;  // the members below, to hello_on_connection_, and the socket are used inside it
    zmq::socket_t socket_;
    std::uint64_t next_request_ = 1;
    std::uint64_t hello_on_connection_ = 0;  // State::connections when the last hello succeeded
    std::uint64_t instance_ = 0;             // the server's run, as the last hello said
    std::atomic<std::uint64_t> max_request_{0};
    std::chrono::steady_clock::time_point last_sent_;

    mutable std::mutex state_mutex_;  // guards state_
    State state_;
    tavo::wire::Wakeup changed_;  // signalled on every change of state_

    zmq::socket_t monitor_;  // the keeper's
    tavo::wire::Wakeup stop_keeper_;
    std::jthread keeper_;  // last: starts when everything it uses exists
};

}  // namespace tavo::remote
