// The server side of the remote figures: one process that serves the
// simulator through tavo-server's own engine and, beside it, the bare
// ZeroMQ references the figures are measured against:
//
//   remote_peer SIM SERVER_ENDPOINT REP_ENDPOINT PUSH_ENDPOINT [SERVER_KEY ALLOW_DIR]
//
//   SERVER_ENDPOINT  tavo-server's engine serving the simulator at SIM
//   REP_ENDPOINT     a REP socket: any request is answered with 37 bytes (the
//                    size of a get_register_sync reply); "push N SIZE" is
//                    answered "ok", then N messages of SIZE bytes go out
//   PUSH_ENDPOINT    the PUSH socket those messages go out on, each made on
//                    the same buffer without a copy
//
// With SERVER_KEY and ALLOW_DIR every socket uses CURVE. Prints "ready" once
// everything is bound; runs until its stdin closes.
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include <remote/curve_keys.hpp>

#include "server.hpp"
#include "tavo/device_manager_loader.hpp"

namespace {

void no_release(void*, void*) {}

void serve_bare(zmq::socket_t& rep, zmq::socket_t& push, const std::atomic<bool>& stop) {
    static std::vector<unsigned char> chunk_bytes(64 << 20, 0x5a);
    const std::string reply(37, '\0');
    zmq::pollitem_t item{rep.handle(), 0, ZMQ_POLLIN, 0};
    while (!stop.load()) {
        if (zmq::poll(&item, 1, std::chrono::milliseconds(100)) == 0) continue;
        zmq::message_t request;
        (void)rep.recv(request);
        unsigned long long chunks = 0, size = 0;
        if (std::sscanf(request.to_string().c_str(), "push %llu %llu", &chunks, &size) == 2 && size <= chunk_bytes.size()) {
            rep.send(zmq::buffer(std::string("ok")), zmq::send_flags::none);
            for (unsigned long long i = 0; i < chunks; ++i) {
                push.send(zmq::message_t(chunk_bytes.data(), size, &no_release, nullptr), zmq::send_flags::none);
            }
        } else {
            rep.send(zmq::buffer(reply), zmq::send_flags::none);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 7) {
        std::cerr << "usage: remote_peer SIM SERVER_ENDPOINT REP_ENDPOINT PUSH_ENDPOINT [SERVER_KEY ALLOW_DIR]\n";
        return 2;
    }
    tavo::server::Options options;
    options.binds = {argv[2]};
    options.log_level = "warn";
    if (argc == 7) {
        options.curve_secret = argv[5];
        options.allow_dir = argv[6];
    }
    spdlog::set_level(spdlog::level::warn);
    tavo::server::Server server(options, tavo::get_device_manager(argv[1]));

    zmq::context_t context(1);
    zmq::socket_t rep(context, zmq::socket_type::rep), push(context, zmq::socket_type::push);
    for (auto* socket : {&rep, &push}) {
        socket->set(zmq::sockopt::linger, 0);
        if (argc == 7) {
            socket->set(zmq::sockopt::curve_server, 1);
            socket->set(zmq::sockopt::curve_secretkey, tavo::wire::read_key_file(argv[5]));
        }
    }
    rep.bind(argv[3]);
    push.bind(argv[4]);
    std::atomic<bool> stop{false};
    std::jthread bare([&] { serve_bare(rep, push, stop); });
    std::jthread stdin_watch([&] {
        std::string line;
        while (std::getline(std::cin, line)) {
        }
        stop.store(true);
        server.request_stop();
    });
    std::cout << "ready" << std::endl;
    server.run();
    return 0;
}
