// Fuzzes the remote protocol's decoder (plugins/remote/wire_format.hpp):
// any bytes, cut into one to three frames and read as either side's
// message, must be refused or decoded without reading past them; and what
// it decodes must encode back to exactly the bytes it came from (every
// layout has one encoding), with the payload the second frame.
//
// Input layout: one control byte (bits 0-1: frames - 1, capped at 3; bit 2:
// the sender is the server), two bytes giving frame 0's length, then the
// frames' bytes (frame 0, then the rest split in half).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include <remote/wire_format.hpp>

namespace {

[[noreturn]] void fail(const char* what) {
    __builtin_printf("wire format fault: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace wire = tavo::wire;
    if (size < 3) return 0;
    const unsigned frames_wanted = std::min(3u, (data[0] & 3u) + 1);
    const auto sender = (data[0] & 4) ? wire::Sender::server : wire::Sender::client;
    std::size_t first = static_cast<std::size_t>(data[1]) | (static_cast<std::size_t>(data[2]) << 8);
    data += 3;
    size -= 3;
    first = std::min(first, size);
    // Each frame in its own allocation, so that a read past one is caught.
    std::vector<std::vector<unsigned char>> frames;
    frames.emplace_back(data, data + first);
    const std::size_t rest = size - first;
    if (frames_wanted >= 2) frames.emplace_back(data + first, data + first + rest / 2);
    if (frames_wanted == 3) frames.emplace_back(data + first + rest / 2, data + size);
    std::vector<std::span<const unsigned char>> spans;
    for (const auto& frame : frames) spans.emplace_back(frame.data(), frame.size());

    wire::Message message;
    std::string error;
    if (!wire::decode(spans, sender, message, error)) {
        if (error.empty()) fail("refused without a reason");
        return 0;
    }
    const std::string again = wire::encode(message.header, message.body);
    if (again.size() != frames[0].size() || std::memcmp(again.data(), frames[0].data(), again.size()) != 0) {
        fail("a decoded message does not encode back to its bytes");
    }
    wire::Layout layout;
    if (!wire::layout_of(message.header.kind, message.header.reply, static_cast<wire::Outcome>(message.header.aux),
                         layout)) {
        fail("decoded a message without a layout");
    }
    if (layout.payload != (frames.size() == 2)) fail("frame count does not match the layout");
    if (layout.payload && (message.payload.data() != frames[1].data() || message.payload.size() != frames[1].size())) {
        fail("the payload is not the second frame");
    }
    if (!wire::may_send(sender, message.header.kind, message.header.reply)) fail("decoded a kind the sender may not send");
    return 0;
}
