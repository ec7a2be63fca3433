// The stream's receiver thread and its ending.

#include "remote_stream.hpp"

#include <algorithm>
#include <array>

#include "client_sockets.hpp"
#include "received_chunks.hpp"
#include "wire_format.hpp"

namespace tavo::remote {

namespace wire = tavo::wire;
namespace events = tavo::DataStream::Events;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// 64 MiB: at a link's 1.5 GB/s, 40 ms of data in flight, so that a client
// thread that is not scheduled for that long costs no drops on the server.
constexpr std::uint64_t default_window = 64ull << 20;
constexpr std::uint64_t max_window = 1ull << 30;
constexpr int messages_per_turn = 256;

}  // namespace

std::optional<std::unique_ptr<tavo::Device::DataStream>> RemoteStream::start(std::shared_ptr<Connection> connection,
                                                                              std::uint64_t device,
                                                                              std::uint64_t instance, unsigned addr,
                                                                              Sink& sink, std::size_t chunk_size,
                                                                              milliseconds timeout) {
    // A window of several chunks keeps the link busy while credit travels back.
    const std::uint64_t window = std::clamp<std::uint64_t>(4 * static_cast<std::uint64_t>(chunk_size), default_window,
                                                           max_window);
    // The data connection is opened first, so that it comes up while the
    // server starts the stream.
    std::unique_ptr<RemoteStream> stream(new RemoteStream(connection, timeout, window));
    wire::Body body;
    body.handle = device;
    body.addr = addr;
    body.number = chunk_size;
    const Answer answer =
        connection->call(wire::Kind::start_stream, body, timeout, {}, Connection::Wait::for_server, instance);
    if (answer.message.body.handle == 0) return std::nullopt;  // the sink stays with the caller
    stream->id_ = answer.message.body.handle;
    stream->instance_ = instance;
    stream->receiver_ = std::jthread([raw = stream.get()] { raw->receive(); });  // on failure: closed on the server
    {
        std::lock_guard lock(stream->mutex_);
        stream->sink_ = std::move(sink);
        stream->go_ = true;
    }
    stream->changed_.notify_all();
    return std::unique_ptr<tavo::Device::DataStream>(std::move(stream));
}

RemoteStream::RemoteStream(std::shared_ptr<Connection> connection, milliseconds timeout, std::uint64_t window)
    : connection_(std::move(connection)),
      timeout_(timeout),
      window_(window),
      data_(make_client_socket(connection_->settings(), milliseconds(0))),
      monitor_(watch(data_)) {
    data_.connect(connection_->endpoint());
}

RemoteStream::~RemoteStream() {
    if (sink_) {
        try {
            stop();
        } catch (...) {  // a destructor goes on: the sink still gets its Stop below
        }
    }
    close_on_server();
    leave_and_join();
    if (sink_ && !stop_delivered_) {
        try {
            sink_(events::Stop{});
        } catch (...) {
        }
    }
    zmq_socket_monitor(data_.handle(), nullptr, 0);
    sink_ = nullptr;
}

void RemoteStream::stop() {
    std::lock_guard once(stop_mutex_);
    if (stopped_ || !sink_) return;
    stopped_ = true;
    const auto deadline = Clock::now() + timeout_;
    if (!ended()) {
        try {
            wire::Body body;
            body.handle = id_;
            connection_->call(wire::Kind::stop_stream, body, timeout_, {}, Connection::Wait::if_connected, instance_);
        } catch (const std::exception&) {
            // A lost connection ends the receiver by itself; the wait below
            // is bounded either way.
        }
        std::unique_lock lock(mutex_);
        changed_.wait_until(lock, deadline, [this] { return receiver_done_; });
    }
    if (!ended()) {
        leave_and_join();
        if (!stop_delivered_) {
            deliver(events::Error{"tavo remote: stream " + std::to_string(id_) + " from " + connection_->endpoint() +
                                  " did not end within " + seconds_text(timeout_) + " of stop; ended here"});
            deliver(events::Stop{});
        }
    }
}

bool RemoteStream::ended() {
    std::lock_guard lock(mutex_);
    return receiver_done_;
}

void RemoteStream::leave_and_join() {
    {
        std::lock_guard lock(mutex_);
        leave_ = true;
    }
    changed_.notify_all();
    wake_.signal();
    if (receiver_.joinable()) receiver_.join();
}

void RemoteStream::close_on_server() noexcept {
    if (id_ == 0) return;
    try {
        wire::Body body;
        body.handle = id_;
        connection_->call(wire::Kind::close_stream, body, timeout_, {}, Connection::Wait::if_connected, instance_);
    } catch (...) {  // the server is gone, or will end the session when the client goes
    }
}

void RemoteStream::deliver(tavo::DataStream::Event&& event) {
    const bool stop = event.index() == 0;
    sink_(std::move(event));
    if (stop) {
        std::lock_guard lock(mutex_);
        stop_delivered_ = true;
    }
}

void RemoteStream::receive() {
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return go_ || leave_; });
        if (!go_) {
            receiver_done_ = true;
            return;
        }
    }
    std::string failure;
    bool finished = false;  // the server's Stop arrived
    try {
        if (send_attach(failure)) {
            std::array<zmq::pollitem_t, 3> items{{{data_.handle(), 0, ZMQ_POLLIN, 0},
                                                  {monitor_.handle(), 0, ZMQ_POLLIN, 0},
                                                  {nullptr, wake_.fd(), ZMQ_POLLIN, 0}}};
            while (failure.empty() && !finished) {
                {
                    std::lock_guard lock(mutex_);
                    if (leave_) break;
                }
                finished = take_messages(failure);
                if (finished || !failure.empty()) break;
                if (!handle_event(failure)) break;
                wait_for(items, milliseconds(-1));
                if (items[2].revents & ZMQ_POLLIN) wake_.clear();
            }
        }
    } catch (const std::exception& e) {
        failure = std::string("tavo remote: stream ") + std::to_string(id_) + " failed: " + e.what();
    }
    bool leaving;
    {
        std::lock_guard lock(mutex_);
        leaving = leave_;
    }
    // A stream that failed ends here with its reason; one that was asked to
    // leave is ended by the thread that asked.
    if (!finished && !leaving && !failure.empty()) {
        try {
            deliver(events::Error{failure});
            deliver(events::Stop{});
        } catch (...) {
        }
    }
    {
        std::lock_guard lock(mutex_);
        receiver_done_ = true;
    }
    changed_.notify_all();
}

// The first message on the data connection names the stream it is for and
// grants the first window. ZMQ_IMMEDIATE: it waits for the connection.
bool RemoteStream::send_attach(std::string& failure) {
    wire::Body body;
    body.number = window_;
    const std::string frame = wire::encode({wire::Kind::attach, false, connection_->session(), id_, 0}, body);
    std::array<zmq::pollitem_t, 3> items{{{data_.handle(), 0, ZMQ_POLLOUT, 0},
                                          {monitor_.handle(), 0, ZMQ_POLLIN, 0},
                                          {nullptr, wake_.fd(), ZMQ_POLLIN, 0}}};
    const auto deadline = Clock::now() + timeout_;
    while (true) {
        if (data_.send(zmq::buffer(frame), zmq::send_flags::dontwait)) return true;
        if (!handle_event(failure)) return false;
        {
            std::lock_guard lock(mutex_);
            if (leave_) return false;
        }
        const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
        if (left <= milliseconds(0)) {
            failure = "tavo remote: no data connection to " + connection_->endpoint() + " for stream " +
                      std::to_string(id_) + " within " + seconds_text(timeout_);
            return false;
        }
        wait_for(items, left);
        if (items[2].revents & ZMQ_POLLIN) wake_.clear();
    }
}

// Applies the data connection's events; false (with `failure`) when the
// connection is lost or refused.
bool RemoteStream::handle_event(std::string& failure) {
    while (const auto event = next_event(monitor_)) {
        switch (event->kind) {
        case ConnectionEvent::Kind::up: data_up_ = true; break;
        case ConnectionEvent::Kind::down:
            if (!data_up_) break;
            failure = "tavo remote: connection to " + connection_->endpoint() + " lost; stream " +
                      std::to_string(id_) + " ended (the server went away)";
            return false;
        case ConnectionEvent::Kind::refused:
        case ConnectionEvent::Kind::handshake_failed:
            failure = "tavo remote: " + connection_->endpoint() + " refused the data connection of stream " +
                      std::to_string(id_);
            return false;
        case ConnectionEvent::Kind::other: break;
        }
    }
    return true;
}

// Takes what has arrived (at most a turn's worth, then the events get a
// look). Returns true once the server's Stop was delivered.
bool RemoteStream::take_messages(std::string& failure) {
    const std::string& endpoint = connection_->endpoint();
    for (int taken = 0; taken < messages_per_turn; ++taken) {
        zmq::message_t head, payload;
        if (!data_.recv(head, zmq::recv_flags::dontwait)) break;
        std::size_t frames = 1;
        for (bool more = head.more(); more;) {
            zmq::message_t part;
            (void)data_.recv(part);
            more = part.more();
            if (++frames == 2) payload = std::move(part);
        }
        std::array<std::span<const unsigned char>, 2> spans{
            std::span<const unsigned char>(head.data<unsigned char>(), head.size()),
            std::span<const unsigned char>(payload.data<unsigned char>(), payload.size())};
        wire::Message message;
        std::string error;
        if (frames > 2 || !wire::decode(wire::Frames(spans.data(), frames), wire::Sender::server, message, error) ||
            message.header.reply || message.header.id != id_) {
            failure = "tavo remote: " + endpoint + " sent stream " + std::to_string(id_) +
                      " a message that is not of it" + (error.empty() ? "" : ": " + error);
            return false;
        }
        const std::uint64_t seq = message.body.number;
        if (seq != expected_seq_) {
            // ZeroMQ delivers a connection's messages whole and in order: a
            // gap is a fault of the server's, reported where it happened.
            deliver(events::Error{"tavo remote: stream " + std::to_string(id_) + " from " + endpoint +
                                  " skipped from message " + std::to_string(expected_seq_) + " to " +
                                  std::to_string(seq)});
        }
        expected_seq_ = seq + 1;
        std::uint64_t cost = 0;
        switch (message.header.kind) {
        case wire::Kind::stream_data:
            cost = wire::credit_cost(payload.size(), window_);
            deliver(own_message(std::move(payload)));
            break;
        case wire::Kind::stream_error:
            cost = wire::credit_cost(message.body.text.size(), window_);
            deliver(events::Error{std::move(message.body.text)});
            break;
        case wire::Kind::stream_overflow:
            cost = wire::credit_cost(0, window_);
            deliver(events::Error{wire::overflow_text(message.body.count)});
            break;
        default:  // stream_stop
            deliver(events::Stop{});
            return true;
        }
        owed_credit_ += cost;
        give_credit(false);
    }
    return false;
}

// Gives credit back in batches of a quarter window: the server always has
// most of the window to send with, and credit messages stay few.
void RemoteStream::give_credit(bool all) {
    if (owed_credit_ == 0 || (!all && owed_credit_ < window_ / 4)) return;
    wire::Body body;
    body.number = owed_credit_;
    const std::string frame = wire::encode({wire::Kind::credit, false, connection_->session(), id_, 0}, body);
    if (data_.send(zmq::buffer(frame), zmq::send_flags::dontwait)) owed_credit_ = 0;
}

}  // namespace tavo::remote
