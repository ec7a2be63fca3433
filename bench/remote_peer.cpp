// The server side of the remote figures: one process that serves the
// simulator through tavo-server's own engine and, beside it, the bare
// ZeroMQ references the figures are measured against:
//
//   remote_peer SIM SERVER_ENDPOINT REP_ENDPOINT PUSH_ENDPOINT [SERVER_KEY ALLOW_DIR]
//
//   SERVER_ENDPOINT  tavo-server's engine serving the simulator at SIM
//   REP_ENDPOINT     a REP socket: any request is answered with 37 bytes (the
//                    size of a get_register_sync reply); "push N SIZE" is
//                    answered "ok", then a simulator stream of N chunks of
//                    SIZE bytes goes out
//   PUSH_ENDPOINT    the PUSH socket those chunks go out on: the simulator's
//                    own chunks, each sent without a copy from the stream's
//                    sink, which waits while the PUSH socket is full (so the
//                    bare path drops nothing and slows the producer instead)
//
// With SERVER_KEY and ALLOW_DIR every socket uses CURVE. Prints "ready" once
// everything is bound; runs until its stdin closes.
#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>
#include <zmq.hpp>

#include <remote/curve_keys.hpp>

#include "server.hpp"
#include "tavo/device_manager_loader.hpp"

namespace {

void release_chunk(void* data, void* hint) {
    reinterpret_cast<tavo::DataStream::Events::ReleaseFunction>(hint)(static_cast<unsigned char*>(data));
}

// A simulator stream pushed bare: its sink sends each chunk on `push`, on
// the producer's thread, the only user of the socket until the Stop.
void push_stream(tavo::DeviceManager& sim, zmq::socket_t& push, unsigned long long chunks, unsigned long long size) {
    auto device = sim.create_device("sim0:chunks=" + std::to_string(chunks));
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    auto stream = device->start_read_stream(
        0,
        [&](tavo::DataStream::Event&& event) {
            if (event.index() == 2) {
                auto& chunk = std::get<2>(event);
                const auto release = chunk.data.get_deleter();
                const auto bytes = chunk.size;
                push.send(zmq::message_t(chunk.data.release(), bytes, &release_chunk, reinterpret_cast<void*>(release)),
                          zmq::send_flags::none);
            } else if (event.index() == 0) {
                std::lock_guard lock(mutex);
                done = true;
                ended.notify_all();
            }
        },
        size);
    std::unique_lock lock(mutex);
    ended.wait(lock, [&] { return done; });
}

void serve_bare(tavo::DeviceManager& sim, zmq::socket_t& rep, zmq::socket_t& push, const std::atomic<bool>& stop) {
    const std::string reply(37, '\0');
    zmq::pollitem_t item{rep.handle(), 0, ZMQ_POLLIN, 0};
    while (!stop.load()) {
        if (zmq::poll(&item, 1, std::chrono::milliseconds(100)) == 0) continue;
        zmq::message_t request;
        (void)rep.recv(request);
        unsigned long long chunks = 0, size = 0;
        if (std::sscanf(request.to_string().c_str(), "push %llu %llu", &chunks, &size) == 2) {
            rep.send(zmq::buffer(std::string("ok")), zmq::send_flags::none);
            push_stream(sim, push, chunks, size);
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
    if (argc == 7) {
        options.curve_secret = argv[5];
        options.allow_dir = argv[6];
    }
    spdlog::set_level(spdlog::level::warn);
    const auto sim = tavo::get_device_manager(argv[1]);
    tavo::server::Server server(options, sim);

    zmq::context_t context(1);
    zmq::socket_t rep(context, zmq::socket_type::rep), push(context, zmq::socket_type::push);
    for (auto* socket : {&rep, &push}) {
        socket->set(zmq::sockopt::linger, 0);
        if (argc == 7) {
            socket->set(zmq::sockopt::curve_server, 1);
            socket->set(zmq::sockopt::curve_secretkey, tavo::wire::read_key_file(argv[5]));
        }
    }
    // At most 32 chunks queued on either side of the bare push: about the
    // 64 MiB a remote stream has in flight.
    push.set(zmq::sockopt::sndhwm, 32);
    rep.bind(argv[3]);
    push.bind(argv[4]);
    std::atomic<bool> stop{false};
    std::jthread bare([&] { serve_bare(*sim, rep, push, stop); });
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
