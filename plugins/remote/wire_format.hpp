// The wire format spoken between the remote plugin and tavo-server.
//
// This one header is the protocol: the server includes it from here, so that
// both ends compile the same layouts. It knows nothing of ZeroMQ: a message
// is one or two frames of bytes, and ZeroMQ carries the frames.
//
//   frame 0   a fixed 32-byte header, then the body: the fields of the
//             message's layout, in layout order, nothing after them
//   frame 1   only for the kinds that carry bytes (a bulk write, a bulk
//             read's answer, a stream chunk): the bytes themselves, sent
//             and received without a copy
//
// Header, little-endian:
//
//   offset 0   u32 magic      "TAVR"
//          4   u16 version    `version`; a server answers any other version
//                             with a refusal in its own version
//          6   u16 kind       Kind, with reply_flag set on a reply
//          8   u64 session    the client's session, chosen by the client
//         16   u64 id         request id (echoed by the reply), or stream id
//                             on the data path
//         24   u32 aux        requests: the caller's deadline in ms;
//                             replies: an Outcome; data path: 0
//         28   u32 reserved   0
//
// Body fields: u32/u64/i32 little-endian, a flag is one byte 0 or 1, a text
// is a u32 length and that many bytes (at most max_text).
//
// The decoder checks every length before it reads, and refuses anything
// that is not exactly a known layout: an unknown kind or version, a kind the
// sender may not send, a short or long body, a text past its limit, a flag
// other than 0 or 1, a wrong number of frames. It never throws and never
// reads past the spans it is given. It is the fuzz target of the protocol.
//
// Threads: everything here is a pure function of its arguments.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tavo::wire {

inline constexpr std::uint32_t magic = 0x52564154;  // the bytes 'T' 'A' 'V' 'R'
inline constexpr std::uint16_t version = 1;
inline constexpr std::size_t header_size = 32;
inline constexpr std::size_t max_text = std::size_t{1} << 20;  // any one text, in bytes
inline constexpr std::uint16_t reply_flag = 0x8000;

// Every data-path message costs at least this much credit, so that a
// stream of tiny chunks cannot fill a peer's queues with millions of them.
inline constexpr std::uint64_t min_message_cost = 1024;

enum class Kind : std::uint16_t {
    // Control path, client to server. Each is answered by one reply of the
    // same kind with reply_flag set, except ping and goodbye.
    hello = 1,
    ping = 2,     // keeps the session alive; no reply
    goodbye = 3,  // ends the session now; no reply
    list_devices = 4,
    device_options = 5,
    create_device = 6,
    close_device = 7,
    set_register_sync = 8,
    set_register = 9,
    send_registers = 10,
    get_register_sync = 11,
    get_register = 12,
    read_registers = 13,
    trigger = 14,
    write = 15,
    read = 16,
    get_status = 17,
    get_info = 18,
    start_stream = 19,
    stop_stream = 20,
    close_stream = 21,
    // Data path, client to server, on the stream's own connection; no reply.
    attach = 40,  // this connection receives the stream `id`; grants the first window
    credit = 41,  // grants more bytes
    // Data path, server to client.
    stream_data = 60,
    stream_error = 61,
    stream_overflow = 62,
    stream_stop = 63,
};

// How a reply went (the header's aux).
enum class Outcome : std::uint32_t {
    ok = 0,
    failed = 1,           // the plugin threw; text = what()
    out_of_memory = 2,    // the plugin (or the server) ran out of memory
    refused = 3,          // the server refused the request; text says why
    unknown_session = 4,  // the session is not known (the server restarted, or expired it)
};
inline constexpr std::uint32_t last_outcome = 4;

enum class Sender { client, server };

struct Header {
    Kind kind{};
    bool reply = false;
    std::uint64_t session = 0;
    std::uint64_t id = 0;
    std::uint32_t aux = 0;
};

// The body fields of every layout. A message uses the ones its layout lists.
enum class Field : std::uint8_t {
    handle,          // u64: a device or stream handle (0 = none)
    addr,            // u32
    value,           // u32
    mask,            // u32
    signed_value,    // i32: trigger operand, or a device status
    number,          // u64: a length, chunk size, count, window, credit, sequence number or limit
    count,           // u64: events dropped, or the server's instance
    flag,            // u8 0/1: an optional result is present
    text,            // text
    info,            // text
    limit_devices,   // u32
    limit_streams,   // u32
};

struct Body {
    std::uint64_t handle = 0;
    std::uint32_t addr = 0;
    std::uint32_t value = 0;
    std::uint32_t mask = 0;
    std::int32_t signed_value = 0;
    std::uint64_t number = 0;
    std::uint64_t count = 0;
    bool flag = false;
    std::string text;
    std::string info;
    std::uint32_t limit_devices = 0;
    std::uint32_t limit_streams = 0;
};

struct Message {
    Header header;
    Body body;
    std::span<const unsigned char> payload;  // frame 1, when the kind carries one; else empty
};

using Frames = std::span<const std::span<const unsigned char>>;

// -- what each kind is ---------------------------------------------------

inline bool is_request(Kind kind) {
    const auto k = static_cast<std::uint16_t>(kind);
    return k >= 1 && k <= 21;
}

inline bool expects_reply(Kind kind) { return is_request(kind) && kind != Kind::ping && kind != Kind::goodbye; }

inline bool is_stream_kind(Kind kind) {
    return kind == Kind::stream_data || kind == Kind::stream_error || kind == Kind::stream_overflow ||
           kind == Kind::stream_stop;
}

// The operation's name, for messages ("get_register_sync"); "?" for a
// number that is no kind.
inline std::string_view kind_name(Kind kind) {
    static constexpr std::array<std::string_view, 22> requests = {
        "?",          "hello",        "ping",           "goodbye",           "list_devices",      "get_device_options",
        "create_device", "close_device", "set_register_sync", "set_register", "send_registers",
        "get_register_sync", "get_register", "read_registers", "trigger", "write", "read", "get_status",
        "get_info",   "start_read_stream", "stop", "close_stream"};
    const auto k = static_cast<std::uint16_t>(kind);
    if (is_request(kind)) return requests[k];
    switch (kind) {
    case Kind::attach: return "attach";
    case Kind::credit: return "credit";
    case Kind::stream_data: return "stream_data";
    case Kind::stream_error: return "stream_error";
    case Kind::stream_overflow: return "stream_overflow";
    case Kind::stream_stop: return "stream_stop";
    default: return "?";
    }
}

namespace detail {

using F = Field;
inline constexpr std::array<F, 0> none{};
inline constexpr std::array<F, 1> handle_only{F::handle};
inline constexpr std::array<F, 1> text_only{F::text};
inline constexpr std::array<F, 1> number_only{F::number};
inline constexpr std::array<F, 1> status_only{F::signed_value};
inline constexpr std::array<F, 1> value_only{F::value};
inline constexpr std::array<F, 2> handle_addr{F::handle, F::addr};
inline constexpr std::array<F, 3> handle_addr_number{F::handle, F::addr, F::number};
inline constexpr std::array<F, 3> handle_addr_signed{F::handle, F::addr, F::signed_value};
inline constexpr std::array<F, 4> register_write{F::handle, F::addr, F::value, F::mask};
inline constexpr std::array<F, 2> flag_value{F::flag, F::value};
inline constexpr std::array<F, 2> flag_text{F::flag, F::text};
inline constexpr std::array<F, 6> hello_reply{F::text,   F::info,          F::number,
                                              F::count, F::limit_devices, F::limit_streams};
inline constexpr std::array<F, 2> number_text{F::number, F::text};
inline constexpr std::array<F, 2> number_count{F::number, F::count};

}  // namespace detail

// The body layout of a message: a request (or data-path message) of
// `kind`, or, with `reply`, its answer with `outcome`. layout_of returns
// false for a combination that does not exist.
struct Layout {
    std::span<const Field> fields;
    bool payload = false;  // a second frame follows
};

inline bool layout_of(Kind kind, bool reply, Outcome outcome, Layout& out) {
    using namespace detail;
    if (reply) {
        if (!expects_reply(kind)) return false;
        if (outcome != Outcome::ok) {
            out = {text_only, false};
            return true;
        }
        switch (kind) {
        case Kind::hello: out = {hello_reply, false}; return true;
        case Kind::list_devices:
        case Kind::device_options: out = {text_only, false}; return true;
        case Kind::create_device:
        case Kind::start_stream: out = {handle_only, false}; return true;
        case Kind::close_device:
        case Kind::stop_stream:
        case Kind::close_stream: out = {none, false}; return true;
        case Kind::set_register_sync:
        case Kind::set_register:
        case Kind::send_registers:
        case Kind::read_registers:
        case Kind::trigger: out = {status_only, false}; return true;
        case Kind::get_register_sync: out = {flag_value, false}; return true;
        case Kind::get_register: out = {value_only, false}; return true;
        case Kind::write: out = {number_only, false}; return true;
        case Kind::read: out = {number_only, true}; return true;
        case Kind::get_status:
        case Kind::get_info: out = {flag_text, false}; return true;
        default: return false;
        }
    }
    switch (kind) {
    case Kind::hello:
    case Kind::ping:
    case Kind::goodbye:
    case Kind::list_devices:
    case Kind::device_options: out = {none, false}; return true;
    case Kind::create_device: out = {text_only, false}; return true;
    case Kind::close_device:
    case Kind::send_registers:
    case Kind::read_registers:
    case Kind::get_status:
    case Kind::get_info:
    case Kind::stop_stream:
    case Kind::close_stream: out = {handle_only, false}; return true;
    case Kind::set_register_sync:
    case Kind::set_register: out = {register_write, false}; return true;
    case Kind::get_register_sync:
    case Kind::get_register: out = {handle_addr, false}; return true;
    case Kind::trigger: out = {handle_addr_signed, false}; return true;
    case Kind::write: out = {handle_addr, true}; return true;
    case Kind::read:
    case Kind::start_stream: out = {handle_addr_number, false}; return true;
    case Kind::attach:
    case Kind::credit: out = {number_only, false}; return true;
    case Kind::stream_data: out = {number_only, true}; return true;
    case Kind::stream_error: out = {number_text, false}; return true;
    case Kind::stream_overflow: out = {number_count, false}; return true;
    case Kind::stream_stop: out = {number_only, false}; return true;
    default: return false;
    }
}

// Whether `sender` may send this kind (as a reply or not).
inline bool may_send(Sender sender, Kind kind, bool reply) {
    if (sender == Sender::client) return !reply && (is_request(kind) || kind == Kind::attach || kind == Kind::credit);
    return reply ? expects_reply(kind) : is_stream_kind(kind);
}

// -- reading ---------------------------------------------------------------

// A cursor over bytes that refuses to read past them.
class Reader {
public:
    explicit Reader(std::span<const unsigned char> bytes) : next_(bytes.data()), left_(bytes.size()) {}

    template <typename T>
    bool unsigned_le(T& out) {
        if (left_ < sizeof(T)) return false;
        T value = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(static_cast<T>(next_[i]) << (8 * i));
        out = value;
        next_ += sizeof(T);
        left_ -= sizeof(T);
        return true;
    }

    bool text(std::string& out) {
        std::uint32_t length = 0;
        if (!unsigned_le(length) || length > max_text || length > left_) return false;
        out.assign(reinterpret_cast<const char*>(next_), length);
        next_ += length;
        left_ -= length;
        return true;
    }

    bool at_end() const { return left_ == 0; }

private:
    const unsigned char* next_;
    std::size_t left_;
};

inline bool read_field(Reader& in, Field field, Body& body) {
    switch (field) {
    case Field::handle: return in.unsigned_le(body.handle);
    case Field::addr: return in.unsigned_le(body.addr);
    case Field::value: return in.unsigned_le(body.value);
    case Field::mask: return in.unsigned_le(body.mask);
    case Field::signed_value: {
        std::uint32_t bits = 0;
        if (!in.unsigned_le(bits)) return false;
        body.signed_value = static_cast<std::int32_t>(bits);
        return true;
    }
    case Field::number: return in.unsigned_le(body.number);
    case Field::count: return in.unsigned_le(body.count);
    case Field::flag: {
        std::uint8_t bit = 0;
        if (!in.unsigned_le(bit) || bit > 1) return false;
        body.flag = bit == 1;
        return true;
    }
    case Field::text: return in.text(body.text);
    case Field::info: return in.text(body.info);
    case Field::limit_devices: return in.unsigned_le(body.limit_devices);
    case Field::limit_streams: return in.unsigned_le(body.limit_streams);
    }
    return false;
}

// Reads the header of frame 0. Checks the magic, the version, the reserved
// word and that the kind is one `from` may send; on failure says why in
// `error`. A header with only a wrong version still fills `out` (so that a
// server can answer the request with a refusal) and sets `version_only`.
inline bool decode_header(std::span<const unsigned char> frame, Sender from, Header& out, std::string& error,
                          bool* version_only = nullptr) {
    if (version_only) *version_only = false;
    if (frame.size() < header_size) {
        error = "message shorter than the " + std::to_string(header_size) + "-byte header";
        return false;
    }
    Reader in(frame.first(header_size));
    std::uint32_t got_magic = 0, reserved = 0;
    std::uint16_t got_version = 0, kind = 0;
    in.unsigned_le(got_magic);
    in.unsigned_le(got_version);
    in.unsigned_le(kind);
    in.unsigned_le(out.session);
    in.unsigned_le(out.id);
    in.unsigned_le(out.aux);
    in.unsigned_le(reserved);
    if (got_magic != magic) {
        error = "not a tavo message (bad magic)";
        return false;
    }
    out.reply = (kind & reply_flag) != 0;
    out.kind = static_cast<Kind>(kind & ~reply_flag);
    if (got_version != version) {
        error = "protocol version " + std::to_string(got_version) + " not supported; this end speaks version " +
                std::to_string(version);
        if (version_only) *version_only = true;
        return false;
    }
    if (reserved != 0) {
        error = "reserved header word is not 0";
        return false;
    }
    if (!may_send(from, out.kind, out.reply)) {
        error = "message kind " + std::to_string(kind) + " is not one the " +
                (from == Sender::client ? std::string("client") : std::string("server")) + " may send";
        return false;
    }
    if (out.reply ? out.aux > last_outcome : (!is_request(out.kind) && out.aux != 0)) {
        error = "bad aux word " + std::to_string(out.aux) + " for " + std::string(kind_name(out.kind));
        return false;
    }
    return true;
}

// Decodes a whole message, `frames` without any routing frame. Returns
// false, with the reason in `error`, for anything but a complete, known
// layout. The payload span points into `frames`.
inline bool decode(Frames frames, Sender from, Message& out, std::string& error) {
    if (frames.empty()) {
        error = "empty message";
        return false;
    }
    if (!decode_header(frames[0], from, out.header, error)) return false;
    Layout layout;
    const auto outcome = static_cast<Outcome>(out.header.aux);
    if (!layout_of(out.header.kind, out.header.reply, out.header.reply ? outcome : Outcome::ok, layout)) {
        error = "no layout for message kind " + std::string(kind_name(out.header.kind));
        return false;
    }
    const std::size_t want_frames = layout.payload ? 2 : 1;
    if (frames.size() != want_frames) {
        error = std::string(kind_name(out.header.kind)) + " takes " + std::to_string(want_frames) + " frame(s), not " +
                std::to_string(frames.size());
        return false;
    }
    Reader in(frames[0].subspan(header_size));
    out.body = Body{};
    for (const Field field : layout.fields) {
        if (!read_field(in, field, out.body)) {
            error = "truncated or malformed body of " + std::string(kind_name(out.header.kind));
            return false;
        }
    }
    if (!in.at_end()) {
        error = "trailing bytes after the body of " + std::string(kind_name(out.header.kind));
        return false;
    }
    out.payload = layout.payload ? frames[1] : std::span<const unsigned char>{};
    return true;
}

// -- writing ---------------------------------------------------------------

namespace detail {

template <typename T>
void put_le(std::string& out, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

inline void put_text(std::string& out, std::string_view text) {
    put_le(out, static_cast<std::uint32_t>(text.size()));
    out.append(text);
}

inline void put_field(std::string& out, Field field, const Body& body) {
    switch (field) {
    case Field::handle: put_le(out, body.handle); break;
    case Field::addr: put_le(out, body.addr); break;
    case Field::value: put_le(out, body.value); break;
    case Field::mask: put_le(out, body.mask); break;
    case Field::signed_value: put_le(out, static_cast<std::uint32_t>(body.signed_value)); break;
    case Field::number: put_le(out, body.number); break;
    case Field::count: put_le(out, body.count); break;
    case Field::flag: put_le(out, static_cast<std::uint8_t>(body.flag ? 1 : 0)); break;
    case Field::text: put_text(out, body.text); break;
    case Field::info: put_text(out, body.info); break;
    case Field::limit_devices: put_le(out, body.limit_devices); break;
    case Field::limit_streams: put_le(out, body.limit_streams); break;
    }
}

}  // namespace detail

// Frame 0 of a message: the header and the body of its layout. Texts
// longer than max_text are cut to it (a decoder would refuse them whole).
// Whether a payload frame must follow is layout_of's `payload`.
inline std::string encode(const Header& header, const Body& body) {
    Layout layout;
    const auto outcome = static_cast<Outcome>(header.aux);
    if (!layout_of(header.kind, header.reply, header.reply ? outcome : Outcome::ok, layout)) layout = {};
    std::string out;
    out.reserve(header_size + 32 + body.text.size() + body.info.size());
    detail::put_le(out, magic);
    detail::put_le(out, version);
    detail::put_le(out, static_cast<std::uint16_t>(static_cast<std::uint16_t>(header.kind) |
                                                    (header.reply ? reply_flag : 0)));
    detail::put_le(out, header.session);
    detail::put_le(out, header.id);
    detail::put_le(out, header.aux);
    detail::put_le(out, std::uint32_t{0});
    if (body.text.size() > max_text || body.info.size() > max_text) {
        Body cut = body;
        cut.text.resize(std::min(cut.text.size(), max_text));
        cut.info.resize(std::min(cut.info.size(), max_text));
        for (const Field field : layout.fields) detail::put_field(out, field, cut);
        return out;
    }
    for (const Field field : layout.fields) detail::put_field(out, field, body);
    return out;
}

// -- timing both ends agree on ------------------------------------------------

// ZeroMQ heartbeats on every socket of both ends: a PING every
// heartbeat_interval, and a connection that brings nothing back for
// heartbeat_timeout after one is dropped, so a dead or frozen peer is
// noticed within 2.5 s.
inline constexpr std::chrono::milliseconds heartbeat_interval{500};
inline constexpr std::chrono::milliseconds heartbeat_timeout{2000};

// A client sends `ping` this often when it has said nothing else; a server
// ends a session it has heard nothing from for session_lease (its default:
// tavo-server --client-timeout).
inline constexpr std::chrono::milliseconds keepalive_interval{1000};
inline constexpr std::chrono::milliseconds session_lease{3000};

// -- the data path's rules --------------------------------------------------

// The credit a data-path message costs: its payload (a chunk's bytes, an
// error's text), at least min_message_cost, and never more than the whole
// window, so that a chunk larger than the window still goes through alone.
// Both ends charge the same: the server before it sends, the client when it
// gives the credit back.
inline std::uint64_t credit_cost(std::uint64_t payload, std::uint64_t window) {
    return std::min(std::max(payload, min_message_cost), window);
}

// The Error text a client delivers for a stream_overflow of `dropped`
// events: one per run of drops on the server.
inline std::string overflow_text(std::uint64_t dropped) {
    return "Remote queue overflow, dropping " + std::to_string(dropped) + " events";
}

}  // namespace tavo::wire
