// Stream events: what flows from a device's producer threads to the consumer.
//
// A read stream is a sequence of events delivered through a stage, a
// std23::move_only_function<void(Event&&)>. Each call delivers one event:
//
//   Stop       the end of the stream; the last event a producer delivers.
//   Error      a failure report; its text reaches the consumer unchanged.
//   OwnedData  a chunk whose bytes the event owns, with the function that
//              frees them. Moving the event moves the ownership.
//   DataView   a chunk viewed in place; the bytes stay the producer's and are
//              valid only until the call that carries the event returns.
//
// Ownership: a stage receives each event by rvalue reference and may move its
// contents out (take over the bytes of an OwnedData). Whatever it leaves in
// the event is destroyed by the caller when the call returns, so bytes that
// nobody took are released then, exactly once.
//
// Threads: release functions may run on any thread (the bytes are often freed
// by a Python thread, long after the producer moved on), so a producer must
// pick one that is safe to call from a thread other than the allocating one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include <tavo/move_only_function.hpp>

// std::string, exceptions and the other library types above cross the plugin
// boundary by value, laid out as libstdc++'s new (__cxx11) ABI lays them out.
// A plugin built with the old string ABI compiles and links, then frees a
// string of the module's as if it were its own and aborts: refuse it here.
#if defined(_GLIBCXX_USE_CXX11_ABI) && !_GLIBCXX_USE_CXX11_ABI
#error "tavo: plugins must be built with libstdc++'s new string ABI (_GLIBCXX_USE_CXX11_ABI=1, the default); the old one lays out std::string differently from the module"
#endif

namespace tavo::DataStream::Events {

// End of the stream. Index 0 of Event.
struct Stop {};

// A failure report. Index 1 of Event.
struct Error {
    std::string message;
};

// A plain function that frees one chunk; it has no context of its own.
using ReleaseFunction = void (*)(unsigned char*);

// The release function of an OwnedData that owns nothing. It is never called
// (a null data is not released); it is there so that no OwnedData, not even
// a default one, carries a null release function.
inline void release_nothing(unsigned char*) noexcept {}

// A chunk of bytes owned by the event. Index 2 of Event.
// An aggregate, fields in this order: `data` owns the bytes together with
// their release function, `size` counts them. Destroying it calls
// `release(data)` when data is not null. Moving transfers data with its
// release function and leaves the source's data null. Not copyable.
//
//     OwnedData{{bytes, &release_array}, n}
//     OwnedData{.data = std::move(owner), .size = n}
//     Event{OwnedData{std::move(owner), n}}
//     Event{std::in_place_index<2>, std::move(owner), n}  // needs C++20's
//         parenthesised aggregate initialisation: g++ 10, clang++ 16
struct OwnedData {
    std::unique_ptr<unsigned char, ReleaseFunction> data{nullptr, &release_nothing};
    std::uint64_t size = 0;
};

// A chunk viewed in place: the bytes belong to someone else and are valid
// only for the duration of the call that carries the event. Index 3 of Event.
struct DataView {
    unsigned char* data;
    std::uint64_t size;
};

static_assert(std::is_aggregate_v<OwnedData>);
static_assert(!std::is_copy_constructible_v<OwnedData>);
static_assert(std::is_nothrow_move_constructible_v<OwnedData>);
// The layout crosses the plugin boundary: owner (pointer and release
// function), then the count.
static_assert(sizeof(OwnedData) == 3 * sizeof(void*) && alignof(OwnedData) == alignof(void*));
static_assert(std::is_trivially_copyable_v<DataView>);

}  // namespace tavo::DataStream::Events

namespace tavo::DataStream {

// The stream event. The alternatives' order is part of the contract: every
// stage dispatches on index() (0 Stop, 1 Error, 2 OwnedData, 3 DataView).
using Event = std::variant<Events::Stop, Events::Error, Events::OwnedData, Events::DataView>;

// One stage of a stream: the sink a device receives, or a consumer.
using Stage = std23::move_only_function<void(Event&&)>;

// Releases a chunk allocated with `new unsigned char[n]`. Producers that
// allocate their chunks that way may use it as the OwnedData release.
inline void release_array(unsigned char* bytes) noexcept { delete[] bytes; }

}  // namespace tavo::DataStream
