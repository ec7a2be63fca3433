// The native client side of the remote figures, a plain C-ABI library
// driven through ctypes, so that each reference runs in the same Python
// process as the figure it is set against (see remote_peer.cpp for the other
// end): the bare ZeroMQ references, and the remote plugin streaming into a
// C++ sink, without the module. KEYS is a folder as TAVO_REMOTE_KEYS names
// one (key, key.pub, server.pub), or empty for no encryption.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <future>
#include <string>

#include <zmq.hpp>

#include <remote/curve_keys.hpp>

#include "tavo/device_manager_loader.hpp"

namespace {

zmq::context_t& context() {
    static auto* shared = new zmq::context_t(1);
    return *shared;
}

zmq::socket_t client(zmq::socket_type type, const char* endpoint, const char* keys, int rcvhwm = 1000) {
    zmq::socket_t socket(context(), type);
    socket.set(zmq::sockopt::linger, 0);
    socket.set(zmq::sockopt::rcvhwm, rcvhwm);
    if (keys != nullptr && *keys != '\0') {
        const std::filesystem::path dir(keys);
        socket.set(zmq::sockopt::curve_serverkey, tavo::wire::read_key_file(dir / "server.pub"));
        socket.set(zmq::sockopt::curve_publickey, tavo::wire::read_key_file(dir / "key.pub"));
        socket.set(zmq::sockopt::curve_secretkey, tavo::wire::read_key_file(dir / "key"));
    }
    socket.connect(endpoint);
    return socket;
}

}  // namespace

extern "C" {

// `count` requests of `request_size` bytes on a REQ socket, each answered;
// each round trip in `nanos`. Returns 0, or -1 on a failure.
__attribute__((visibility("default"))) int bare_round_trips(const char* rep, const char* keys, int count,
                                                            std::size_t request_size, std::uint64_t* nanos) {
    try {
        auto socket = client(zmq::socket_type::req, rep, keys);
        const std::string request(request_size, '\0');
        for (int i = 0; i < count; ++i) {
            const auto start = std::chrono::steady_clock::now();
            socket.send(zmq::buffer(request), zmq::send_flags::none);
            zmq::message_t reply;
            (void)socket.recv(reply);
            nanos[i] = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
                           .count();
        }
        return 0;
    } catch (...) {
        return -1;
    }
}

// Asks the peer for `chunks` messages of `size` bytes and takes them on a
// PULL socket, each received without a copy and then closed. Returns the
// seconds from the request to the last message, or -1 on a failure.
__attribute__((visibility("default"))) double bare_pull(const char* rep, const char* push, const char* keys,
                                                        std::uint64_t chunks, std::uint64_t size) {
    try {
        auto pull = client(zmq::socket_type::pull, push, keys, 32);
        auto control = client(zmq::socket_type::req, rep, keys);
        const auto start = std::chrono::steady_clock::now();
        control.send(zmq::buffer("push " + std::to_string(chunks) + " " + std::to_string(size)), zmq::send_flags::none);
        zmq::message_t ok;
        (void)control.recv(ok);
        for (std::uint64_t i = 0; i < chunks; ++i) {
            zmq::message_t chunk;
            (void)pull.recv(chunk);
            if (chunk.size() != size) return -1;
        }
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    } catch (...) {
        return -1;
    }
}

// A stream of the remote plugin's device `name` into a C++ sink that counts
// chunks and the drops the server reports, and frees each chunk at once on
// the stream's receiver thread. Returns the seconds from the start to the
// Stop and the counts in `chunks` and `dropped`, or -1 on a failure.
__attribute__((visibility("default"))) double remote_native(const char* plugin, const char* name,
                                                            std::uint64_t chunk_size, std::uint64_t* chunks,
                                                            std::uint64_t* dropped) {
    try {
        auto manager = tavo::get_device_manager(plugin);
        auto device = manager->create_device(name);
        std::promise<void> done;
        auto ended = done.get_future();
        *chunks = *dropped = 0;
        const auto start = std::chrono::steady_clock::now();
        auto stream = device->start_read_stream(
            0,
            [&](tavo::DataStream::Event&& event) {
                unsigned long long count = 0;
                if (event.index() == 2) ++*chunks;
                if (event.index() == 1 &&
                    std::sscanf(std::get<1>(event).message.c_str(), "Remote queue overflow, dropping %llu", &count) == 1) {
                    *dropped += count;
                }
                if (event.index() == 0) done.set_value();
            },
            chunk_size);
        ended.wait();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        (*stream)->stop();
        return seconds;
    } catch (...) {
        return -1;
    }
}
}
