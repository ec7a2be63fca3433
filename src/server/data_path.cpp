// The data path on the server: a stream's connection attaching and granting
// credit, and the loop's turn at sending each stream's events within it.

#include <algorithm>
#include <cerrno>

#include <spdlog/spdlog.h>

#include "server.hpp"

namespace tavo::server {

namespace wire = tavo::wire;

namespace {

constexpr std::uint64_t bytes_per_stream_turn = 8ull << 20;
constexpr int messages_per_stream_turn = 64;
constexpr std::uint64_t max_window = 1ull << 30;

// The ZeroMQ free function of a chunk sent without a copy: calls the
// chunk's own release, which the hint carries. Runs on a ZeroMQ I/O thread
// when the bytes have gone out (or the message is dropped).
void release_chunk(void* data, void* hint) {
    const auto release = reinterpret_cast<tavo::DataStream::Events::ReleaseFunction>(hint);
    release(static_cast<unsigned char*>(data));
}
static_assert(sizeof(void*) == sizeof(tavo::DataStream::Events::ReleaseFunction));

// A message made on the chunk's own bytes; the chunk gives up its bytes to
// it. An empty chunk becomes an empty message (its bytes, if any, are
// released here).
zmq::message_t chunk_message(tavo::DataStream::Events::OwnedData& chunk) {
    if (!chunk.data || chunk.size == 0) {
        chunk = {};
        return zmq::message_t();
    }
    const auto release = chunk.data.get_deleter();
    const auto size = chunk.size;
    unsigned char* bytes = chunk.data.release();
    try {
        return zmq::message_t(bytes, size, &release_chunk, reinterpret_cast<void*>(release));
    } catch (...) {
        release(bytes);  // ZeroMQ did not take the bytes
        throw;
    }
}

}  // namespace

void Server::handle_data_path(const zmq::message_t& routing, const wire::Message& message, const std::string& owner) {
    const auto& header = message.header;
    const auto session = sessions_.find(header.session);
    ServedStream* stream = nullptr;
    if (session != sessions_.end() && session->second.owner == owner) {
        const auto found = session->second.streams.find(header.id);
        if (found != session->second.streams.end()) stream = found->second.get();
    }
    const std::string peer(static_cast<const char*>(routing.data()), routing.size());
    if (stream == nullptr || (!stream->peer.empty() && stream->peer != peer) ||
        (header.kind == wire::Kind::credit && stream->peer.empty())) {
        if (warn_allowed()) {
            spdlog::warn("refused {} for stream {} of session {:016x} from {}: not a stream of that client's",
                         wire::kind_name(header.kind), header.id, header.session, peer_name(routing));
        }
        return;
    }
    session->second.last_heard = Clock::now();
    if (header.kind == wire::Kind::attach) {
        stream->peer = peer;
        stream->window = std::clamp(message.body.number, wire::min_message_cost, max_window);
        stream->credit = stream->window;
    } else {
        stream->credit = std::min(stream->window, stream->credit + std::min(message.body.number, max_window));
    }
}

Server::Turn Server::pump(ServedStream& stream, std::uint64_t session_id) {
    if (stream.peer.empty() || stream.peer_gone || stream.stop_sent) return Turn::idle;
    std::uint64_t bytes = 0;
    for (int sent = 0; sent < messages_per_stream_turn && bytes < bytes_per_stream_turn; ++sent) {
        auto item = stream.channel->take_if([&stream](std::uint64_t size) {
            return stream.credit >= wire::credit_cost(size, stream.window);
        });
        if (!item) return Turn::idle;  // nothing queued, or waiting for credit
        const auto cost = wire::credit_cost(item->payload_size(), stream.window);
        switch (send_stream_item(stream, session_id, *item)) {
        case SendResult::blocked: stream.channel->put_back(std::move(*item)); return Turn::blocked;
        case SendResult::gone:
            stream.peer_gone = true;
            spdlog::info("session {:016x}: the data connection of stream {} is gone; its events are no longer sent",
                         session_id, stream.id);
            return Turn::idle;
        case SendResult::sent: break;
        }
        stream.credit -= cost;
        ++stream.next_seq;
        bytes += item->payload_size();
        if (item->kind == StreamItem::Kind::stop) {
            stream.stop_sent = true;
            return Turn::idle;
        }
    }
    return Turn::more;
}

Server::SendResult Server::send_stream_item(ServedStream& stream, std::uint64_t session_id, StreamItem& item) {
    wire::Header header;
    header.session = session_id;
    header.id = stream.id;
    wire::Body body;
    body.number = stream.next_seq;
    switch (item.kind) {
    case StreamItem::Kind::data: header.kind = wire::Kind::stream_data; break;
    case StreamItem::Kind::error:
        header.kind = wire::Kind::stream_error;
        body.text = item.text;
        break;
    case StreamItem::Kind::overflow:
        header.kind = wire::Kind::stream_overflow;
        body.count = item.dropped;
        break;
    case StreamItem::Kind::stop: header.kind = wire::Kind::stream_stop; break;
    }
    const std::string frame0 = wire::encode(header, body);
    zmq::message_t id(stream.peer.data(), stream.peer.size());
    try {
        // A multipart message is taken whole or not at all, on its first frame.
        if (!router_.send(id, zmq::send_flags::sndmore | zmq::send_flags::dontwait)) return SendResult::blocked;
    } catch (const zmq::error_t& e) {
        if (e.num() == EHOSTUNREACH) return SendResult::gone;
        throw;
    }
    const bool chunk = item.kind == StreamItem::Kind::data;
    router_.send(zmq::buffer(frame0), chunk ? zmq::send_flags::sndmore : zmq::send_flags::none);
    if (chunk) router_.send(chunk_message(item.data), zmq::send_flags::none);
    return SendResult::sent;
}

}  // namespace tavo::server
