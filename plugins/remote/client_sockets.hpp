// The remote plugin's sockets: one ZeroMQ context for the process, the
// settings every client socket gets, and the monitor through which a
// socket tells its owner about its connection.
//
// Every socket: heartbeats (a dead or frozen server is dropped within
// 2.5 s), ZMQ_IMMEDIATE (a message is only queued on a live connection, so
// a request never waits in a queue for a server that is not there), a short
// reconnect interval (a restarted server is found again within a second),
// and the CURVE keys when TAVO_REMOTE_KEYS names them.
//
// Threads: the context is thread-safe; each socket is used by one thread at
// a time (its owner's rule, said where it is owned).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include <zmq.hpp>

#include "client_settings.hpp"

namespace tavo::remote {

// The process's context. Created on first use and never destroyed: chunks
// received on its sockets may be released by any thread at any time, even
// while the process exits.
zmq::context_t& client_context();

// A DEALER socket with the settings above, not yet connected.
// `linger`: how long a closed socket still tries to send what it holds.
zmq::socket_t make_client_socket(const ClientSettings& settings, std::chrono::milliseconds linger);

// What a socket's monitor reports, reduced to what the plugin acts on.
struct ConnectionEvent {
    enum class Kind { up, down, refused, handshake_failed, other };
    Kind kind = Kind::other;
    std::uint32_t value = 0;  // for refused: the server's status code
};

// Starts monitoring `socket` and returns the PAIR socket that receives its
// events. Call before connecting `socket`, so that no event is missed.
zmq::socket_t watch(zmq::socket_t& socket);

// zmq::poll for at most `timeout`; an interrupted wait (a signal) returns
// early, and the caller, which looks at the clock anyway, goes round again.
void wait_for(std::span<zmq::pollitem_t> items, std::chrono::milliseconds timeout);

// The next event on a monitor socket, if one is waiting.
std::optional<ConnectionEvent> next_event(zmq::socket_t& monitor);

}  // namespace tavo::remote
