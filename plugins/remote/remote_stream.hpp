// The client end of one served stream: the data path.
//
// Each stream has its own DEALER connection to the server, which carries
// only this stream: the server's chunks (each with a sequence number) come
// in, and the client's credit goes out. The receiver thread hands each
// chunk to the sink as an OwnedData owning the received message, without a
// copy, and gives the credit back once the sink has taken it: from there the
// module's own bounded queue holds it, so the data in flight is bounded by
// the window on the network and by the module's queue beyond it.
//
// Ends: the server's Stop is delivered as Stop. A data connection that goes
// down (the server died, or heartbeats found it frozen, within 2.5 s) ends
// the stream with one Error "tavo remote: connection to ENDPOINT lost ..."
// and then Stop. Every sink receives exactly one Stop, however the stream
// ends.
//
// Threads: the receiver thread is the only one that calls the sink and uses
// the data socket while it runs; stop() and the destructor (on the caller's
// thread, without the interpreter lock) make it leave and join it before
// they push anything themselves. stop() may be called from several threads;
// the first one does the work.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <zmq.hpp>

#include <tavo/device.hpp>

#include "connection.hpp"
#include "wakeup.hpp"

namespace tavo::remote {

class RemoteStream final : public tavo::Device::DataStream {
public:
    using Sink = tavo::Device::Sink;

    // Starts the read stream of the server's device `device`. Takes `sink`
    // only when it returns a handle; an empty optional means the device
    // started no stream. Throws what the call throws.
    static std::optional<std::unique_ptr<tavo::Device::DataStream>> start(std::shared_ptr<Connection> connection,
                                                                          std::uint64_t device, std::uint64_t instance,
                                                                          unsigned addr,
                                                                          Sink& sink, std::size_t chunk_size,
                                                                          std::chrono::milliseconds timeout);

    // Asks the server to stop the stream, and waits (at most the timeout)
    // until the events produced before the stop, then Stop, have reached
    // the sink. Idempotent.
    void stop() override;

    // Stops (as stop() does) if that was not done, closes the stream on the
    // server and destroys the sink.
    ~RemoteStream() override;

private:
    RemoteStream(std::shared_ptr<Connection> connection, std::chrono::milliseconds timeout, std::uint64_t window);

    void receive();
    bool send_attach(std::string& failure);
    bool take_messages(std::string& failure);
    bool handle_event(std::string& failure);
    void deliver(tavo::DataStream::Event&& event);
    void give_credit(bool all);
    bool ended();
    void leave_and_join();
    void close_on_server() noexcept;

    const std::shared_ptr<Connection> connection_;
    const std::chrono::milliseconds timeout_;
    const std::uint64_t window_;
    std::uint64_t id_ = 0;
    std::uint64_t instance_ = 0;      // the server run the stream belongs to
    std::uint64_t expected_seq_ = 0;  // receiver's
    std::uint64_t owed_credit_ = 0;   // receiver's: bytes delivered and not yet given back
    bool data_up_ = false;            // receiver's: the data connection is (was) up
    Sink sink_;
    zmq::socket_t data_;     // the receiver's once it runs
    zmq::socket_t monitor_;  // likewise
    tavo::wire::Wakeup wake_;

    std::mutex mutex_;  // guards the four flags below
    std::condition_variable changed_;
    bool go_ = false;              // the sink is in place: the receiver may start
    bool leave_ = false;           // the receiver must leave without delivering more
    bool receiver_done_ = false;   // the receiver has left
    bool stop_delivered_ = false;  // the sink has received its Stop

    std::mutex stop_mutex_;  // makes stop() run once
    bool stopped_ = false;
    std::jthread receiver_;  // last: joined before anything it uses goes
};

}  // namespace tavo::remote
