// The table of received chunks, keyed by their byte pointers.

#include "received_chunks.hpp"

#include <memory>
#include <mutex>
#include <unordered_map>

namespace tavo::remote {

namespace {

struct Table {
    std::mutex mutex;
    std::unordered_map<const unsigned char*, zmq::message_t*> held;  // owned: deleted on release
};

Table& table() {
    static auto* held = new Table;  // never destroyed: see the header
    return *held;
}

}  // namespace

tavo::DataStream::Events::OwnedData own_message(zmq::message_t&& message) {
    if (message.size() == 0) return {};
    // Moved to its final place first: a small message keeps its bytes inside
    // the message object, so the pointer is only stable from there on.
    auto holder = std::make_unique<zmq::message_t>(std::move(message));
    auto* bytes = holder->data<unsigned char>();
    const auto size = holder->size();
    {
        auto& chunks = table();
        std::lock_guard lock(chunks.mutex);
        chunks.held.emplace(bytes, holder.get());
    }
    holder.release();
    return tavo::DataStream::Events::OwnedData{{bytes, &release_received}, size};
}

void release_received(unsigned char* bytes) noexcept {
    zmq::message_t* message = nullptr;
    {
        auto& chunks = table();
        std::lock_guard lock(chunks.mutex);
        const auto found = chunks.held.find(bytes);
        if (found == chunks.held.end()) return;
        message = found->second;
        chunks.held.erase(found);
    }
    delete message;
}

}  // namespace tavo::remote
