// What tavo-server holds for its clients: one session per client, with the
// devices it opened and the streams it started.
//
// A session is named by the client (a random 64-bit id in every message),
// so that its control connection and its streams' data connections, and a
// control connection that reconnects, all reach the same session. Under
// CURVE it also belongs to the client's public key: a message with another
// key cannot use it. Handles are numbered by the server and looked up in the
// session's own maps only, so no client can reach another's devices.
//
// Threads: the server loop's thread only. The plugin's threads reach a
// stream through its channel, never through these maps.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include <tavo/device.hpp>

#include "stream_channel.hpp"

namespace tavo::server {

using Clock = std::chrono::steady_clock;

struct ServedStream {
    std::uint64_t id = 0;
    std::unique_ptr<tavo::Device::DataStream> handle;  // the plugin's; null once the client closed it
    std::shared_ptr<StreamChannel> channel;             // shared with the plugin's sink
    std::string peer;              // routing id of the data connection; empty until it attaches
    std::uint64_t window = 0;      // the client's window, in credit bytes
    std::uint64_t credit = 0;      // bytes the server may still send
    std::uint64_t next_seq = 0;    // sequence number of the next data-path message
    bool stop_sent = false;        // the stream's last message has gone out
    bool peer_gone = false;        // the data connection went away: nothing more is sent
};

struct Session {
    std::uint64_t id = 0;
    std::string owner;             // the client's CURVE public key (Z85); empty without CURVE
    Clock::time_point last_heard;
    std::map<std::uint64_t, tavo::DeviceHandle> devices;
    std::map<std::uint64_t, std::unique_ptr<ServedStream>> streams;
};

// Stops `stream` (the plugin's stop(), then its handle's destructor); the
// plugin's failures are logged, never thrown.
void end_stream(ServedStream& stream, std::uint64_t session_id);

// Ends every stream of `session`, then frees its devices. Returns
// {streams, devices} for the log.
std::pair<std::size_t, std::size_t> end_session(Session& session);

}  // namespace tavo::server
