// tavo-server's engine and the remote plugin in one process: the server
// (the library the executable runs) serves the simulator on an ipc://
// endpoint in a temporary folder. Raw clients speak the wire format to it to
// check what it refuses; the remote plugin, loaded through the production
// loader, checks the data path's counting.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include <remote/wire_format.hpp>

#include "server.hpp"
#include "tavo/device_manager_loader.hpp"

namespace {

namespace wire = tavo::wire;
namespace events = tavo::DataStream::Events;
using namespace std::chrono_literals;

zmq::context_t& context() {
    static zmq::context_t shared(1);
    return shared;
}

// A server of the simulator on its own thread, stopped and joined at the end.
class ServedSim {
public:
    explicit ServedSim(tavo::server::Options options = {}) {
        char pattern[] = "/tmp/tavo-remote-test-XXXXXX";
        dir_ = mkdtemp(pattern);
        endpoint = "ipc://" + dir_.string() + "/server.sock";
        options.binds = {endpoint};
        server_ = std::make_unique<tavo::server::Server>(
            options, tavo::get_device_manager(std::filesystem::path(TAVO_PLUGIN_DIR) / "libtavo_sim.so"));
        thread_ = std::jthread([this] { server_->run(); });
    }
    ~ServedSim() {
        server_->request_stop();
        thread_.join();
        server_.reset();
        std::filesystem::remove_all(dir_);
    }

    std::string endpoint;

private:
    std::filesystem::path dir_;
    std::unique_ptr<tavo::server::Server> server_;
    std::jthread thread_;
};

// A client that speaks the wire format itself, one session each.
class RawClient {
public:
    RawClient(const std::string& endpoint, std::uint64_t session) : session(session) {
        socket_.set(zmq::sockopt::linger, 0);
        socket_.connect(endpoint);
    }

    void send(const std::vector<std::string>& frames) {
        for (std::size_t i = 0; i < frames.size(); ++i) {
            socket_.send(zmq::buffer(frames[i]), i + 1 < frames.size() ? zmq::send_flags::sndmore : zmq::send_flags::none);
        }
    }

    std::string frame(wire::Kind kind, const wire::Body& body = {}, std::uint64_t id = 0) {
        return wire::encode({kind, false, session, id ? id : next_id_++, 5000}, body);
    }

    // The next message the server sends, decoded; empty after `wait`.
    std::optional<wire::Message> receive(std::chrono::milliseconds wait = 5000ms) {
        zmq::pollitem_t item{socket_.handle(), 0, ZMQ_POLLIN, 0};
        if (zmq::poll(&item, 1, wait) == 0) return std::nullopt;
        frames_.clear();
        do {
            frames_.emplace_back();
            (void)socket_.recv(frames_.back());
        } while (frames_.back().more());
        std::vector<std::span<const unsigned char>> spans;
        for (auto& frame : frames_) spans.emplace_back(frame.data<unsigned char>(), frame.size());
        wire::Message message;
        std::string error;
        EXPECT_TRUE(wire::decode(spans, wire::Sender::server, message, error)) << error;
        return message;
    }

    // One request and its reply.
    wire::Message call(wire::Kind kind, const wire::Body& body = {}, const std::string* payload = nullptr) {
        const auto id = next_id_;
        std::vector<std::string> frames{frame(kind, body)};
        if (payload) frames.push_back(*payload);
        send(frames);
        auto reply = receive();
        EXPECT_TRUE(reply.has_value()) << "no reply to " << wire::kind_name(kind);
        EXPECT_EQ(reply.value_or(wire::Message{}).header.id, id);
        return reply.value_or(wire::Message{});
    }

    std::uint64_t session;

private:
    zmq::socket_t socket_{context(), zmq::socket_type::dealer};
    std::vector<zmq::message_t> frames_;
    std::uint64_t next_id_ = 1;
};

wire::Outcome outcome(const wire::Message& message) { return static_cast<wire::Outcome>(message.header.aux); }

wire::Body with_handle(std::uint64_t handle, unsigned addr = 0, std::uint64_t number = 0) {
    wire::Body body;
    body.handle = handle;
    body.addr = addr;
    body.number = number;
    return body;
}

TEST(RemoteServer, MalformedMessagesAreRefusedOrDroppedAndTheServerGoesOn) {
    ServedSim served;
    RawClient client(served.endpoint, 7);
    std::string hello = client.frame(wire::Kind::hello, {}, 100);
    std::string bad_magic = hello;
    bad_magic[0] = 'X';
    std::string reply_flag = hello;
    reply_flag[7] = static_cast<char>(0x80);
    std::string unknown_kind = hello;
    unknown_kind[6] = 99;
    // Dropped without an answer: not a request the server can name.
    for (const auto& frames : std::vector<std::vector<std::string>>{
             {"garbage"}, {""}, {hello.substr(0, 31)}, {bad_magic}, {reply_flag}, {unknown_kind}, {hello, "x", "y"}}) {
        client.send(frames);
    }
    // Answered with a refusal that says what is wrong.
    std::string other_version = client.frame(wire::Kind::hello, {}, 101);
    other_version[4] = 9;
    wire::Body name;
    name.text = "sim0";
    std::string trailing = client.frame(wire::Kind::create_device, name, 102) + "!";
    std::string truncated = client.frame(wire::Kind::create_device, name, 103);
    truncated.resize(truncated.size() - 2);
    std::string no_payload = client.frame(wire::Kind::write, with_handle(1), 104);
    const std::array<std::pair<std::string, std::string>, 4> refused{{
        {other_version, "protocol version 9 not supported; this end speaks version 1"},
        {trailing, "trailing bytes after the body of create_device"},
        {truncated, "truncated or malformed body of create_device"},
        {no_payload, "write takes 2 frame(s), not 1"},
    }};
    for (std::uint64_t i = 0; i < refused.size(); ++i) {
        client.send({refused[i].first});
        const auto reply = client.receive();
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->header.id, 101 + i);
        EXPECT_EQ(outcome(*reply), wire::Outcome::refused);
        EXPECT_NE(reply->body.text.find(refused[i].second), std::string::npos) << reply->body.text;
    }
    // Nothing else was answered, and the server still serves.
    const auto answer = client.call(wire::Kind::hello);
    EXPECT_EQ(outcome(answer), wire::Outcome::ok);
    EXPECT_EQ(answer.body.info, "TAVO simulator 0.1.0");
    const auto device = client.call(wire::Kind::create_device, name);
    EXPECT_EQ(client.call(wire::Kind::get_register_sync, with_handle(device.body.handle, 0x0)).body.value, 0x54415630u);
}

TEST(RemoteServer, NoClientReachesAnotherClientsDevicesOrStreams) {
    ServedSim served;
    RawClient owner(served.endpoint, 1), other(served.endpoint, 2);
    wire::Body name;
    name.text = "sim0:rate=100";
    ASSERT_EQ(outcome(owner.call(wire::Kind::hello)), wire::Outcome::ok);
    ASSERT_EQ(outcome(other.call(wire::Kind::hello)), wire::Outcome::ok);
    const auto device = owner.call(wire::Kind::create_device, name).body.handle;
    const auto stream = owner.call(wire::Kind::start_stream, with_handle(device, 0, 64)).body.handle;
    ASSERT_NE(device, 0u);
    ASSERT_NE(stream, 0u);
    for (const auto kind : {wire::Kind::get_register_sync, wire::Kind::close_device, wire::Kind::start_stream}) {
        const auto reply = other.call(kind, with_handle(device));
        EXPECT_EQ(outcome(reply), wire::Outcome::refused);
        EXPECT_EQ(reply.body.text.rfind("no device " + std::to_string(device) + " in this session", 0), 0u)
            << reply.body.text;
    }
    for (const auto kind : {wire::Kind::stop_stream, wire::Kind::close_stream}) {
        EXPECT_EQ(outcome(other.call(kind, with_handle(stream))), wire::Outcome::refused);
    }
    // Attaching to the stream from the other session: nothing comes.
    wire::Body window;
    window.number = 1 << 20;
    other.send({wire::encode({wire::Kind::attach, false, other.session, stream, 0}, window)});
    EXPECT_FALSE(other.receive(300ms).has_value());
    // The owner's device and stream are untouched.
    EXPECT_EQ(outcome(owner.call(wire::Kind::get_register_sync, with_handle(device, 0xC))), wire::Outcome::ok);
    RawClient data(served.endpoint, 1);
    data.send({wire::encode({wire::Kind::attach, false, owner.session, stream, 0}, window)});
    const auto first = data.receive();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->header.kind, wire::Kind::stream_data);
    EXPECT_EQ(first->body.number, 0u);
    EXPECT_EQ(first->payload.size(), 64u);
    // A request without a session is told so.
    RawClient stranger(served.endpoint, 3);
    EXPECT_EQ(outcome(stranger.call(wire::Kind::create_device, name)), wire::Outcome::unknown_session);
}

TEST(RemoteServer, LimitsAreRefusedWithWhatToDo) {
    tavo::server::Options options;
    options.limits.max_clients = 2;
    options.limits.max_devices = 2;
    options.limits.max_streams = 1;
    options.limits.max_request = 1024;
    ServedSim served(options);
    RawClient first(served.endpoint, 1), second(served.endpoint, 2), third(served.endpoint, 3);
    ASSERT_EQ(outcome(first.call(wire::Kind::hello)), wire::Outcome::ok);
    ASSERT_EQ(outcome(second.call(wire::Kind::hello)), wire::Outcome::ok);
    const auto refused = [](const wire::Message& reply, const std::string& text) {
        EXPECT_EQ(outcome(reply), wire::Outcome::refused);
        EXPECT_NE(reply.body.text.find(text), std::string::npos) << reply.body.text;
    };
    refused(third.call(wire::Kind::hello), "client limit reached: this server serves at most 2 clients at once "
                                           "(tavo-server --max-clients)");
    wire::Body name;
    name.text = "sim0";
    const auto device = first.call(wire::Kind::create_device, name).body.handle;
    const auto spare = first.call(wire::Kind::create_device, name).body.handle;
    refused(first.call(wire::Kind::create_device, name), "device limit reached: this server lets a client hold 2 "
                                                         "devices at once (tavo-server --max-devices)");
    ASSERT_EQ(outcome(first.call(wire::Kind::close_device, with_handle(spare))), wire::Outcome::ok);
    EXPECT_NE(first.call(wire::Kind::create_device, name).body.handle, 0u);
    ASSERT_NE(first.call(wire::Kind::start_stream, with_handle(device, 0, 64)).body.handle, 0u);
    refused(first.call(wire::Kind::start_stream, with_handle(device, 0, 64)), "stream limit reached");
    const std::string big(1025, 'x');
    refused(first.call(wire::Kind::write, with_handle(device), &big),
            "a write of 1025 bytes exceeds this server's limit of 1024 bytes (tavo-server --max-request)");
    refused(first.call(wire::Kind::read, with_handle(device, 0, 1025)), "a read of 1025 bytes exceeds");
    const std::string fits(1024, 'y');
    EXPECT_EQ(first.call(wire::Kind::write, with_handle(device), &fits).body.number, 1024u);
}

// A sink of the remote plugin's: it holds the receiver on the first chunk
// until told, and checks every chunk's place in the counter pattern, given
// the drops counted before it.
struct HeldSink {
    std::mutex mutex;
    std::condition_variable changed;
    bool hold = true, stopped = false;
    std::uint64_t chunk_size = 0, delivered = 0, dropped = 0, misplaced = 0, runs = 0, stops = 0;
    std::vector<std::string> other_errors;

    void take(tavo::DataStream::Event&& event) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return !hold; });
        if (event.index() == 2) {
            const auto& chunk = std::get<2>(event);
            const std::uint64_t first_word = (delivered + dropped) * chunk_size / 4;
            bool right = chunk.size == chunk_size;
            for (std::uint64_t word = 0; right && word < chunk.size / 4; ++word) {
                std::uint32_t value;
                std::memcpy(&value, chunk.data.get() + 4 * word, 4);
                right = value == static_cast<std::uint32_t>(first_word + word);
            }
            misplaced += !right;
            ++delivered;
        } else if (event.index() == 1) {
            const auto& text = std::get<1>(event).message;
            unsigned long long count = 0;
            if (std::sscanf(text.c_str(), "Remote queue overflow, dropping %llu events", &count) == 1 &&
                text == wire::overflow_text(count)) {
                dropped += count;
                ++runs;
            } else {
                other_errors.push_back(text);
            }
        } else if (event.index() == 0) {
            ++stops;
            stopped = true;
            changed.notify_all();
        }
    }
};

TEST(RemotePlugin, DropsOnTheServerAreCountedAtTheirPlace) {
    // A client that does not take its chunks stops giving credit; past the
    // window the server's queue (1 MiB) fills, and the rest of the stream is
    // dropped there, counted, and reported in order.
    tavo::server::Options options;
    options.limits.stream_queue_bytes = 1 << 20;
    ServedSim served(options);
    auto remote = tavo::get_device_manager(std::filesystem::path(TAVO_PLUGIN_DIR) / "libtavo_remote.so");
    // 100 MiB: more than the client's window (64 MiB) and the queue together.
    constexpr std::uint64_t chunks = 400, chunk_size = 262144;
    auto device = remote->create_device(served.endpoint + "/sim0:chunks=400");
    ASSERT_TRUE(device);
    auto sink = std::make_shared<HeldSink>();
    sink->chunk_size = chunk_size;
    auto stream = device->start_read_stream(0, [sink](tavo::DataStream::Event&& event) { sink->take(std::move(event)); },
                                            chunk_size);
    ASSERT_TRUE(stream && *stream);
    // The device produces everything while the sink holds the receiver.
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (device->get_register_sync(0x34).value_or(0) < chunks && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    {
        std::lock_guard lock(sink->mutex);
        sink->hold = false;
    }
    sink->changed.notify_all();
    {
        std::unique_lock lock(sink->mutex);
        ASSERT_TRUE(sink->changed.wait_for(lock, 60s, [&] { return sink->stopped; }));
    }
    (*stream)->stop();
    stream->reset();
    std::lock_guard lock(sink->mutex);
    EXPECT_EQ(sink->delivered + sink->dropped, chunks);
    EXPECT_GT(sink->dropped, 0u);
    EXPECT_GE(sink->runs, 1u);
    EXPECT_EQ(sink->misplaced, 0u);
    EXPECT_EQ(sink->stops, 1u);
    EXPECT_TRUE(sink->other_errors.empty()) << sink->other_errors.front();
}

}  // namespace
