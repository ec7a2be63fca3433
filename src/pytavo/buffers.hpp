// The byte-chunk records that carry stream data into Python.
//
// ManagedBuffer owns its bytes (taken over from an OwnedData event, never
// copied) and frees them with the event's release function when its Python
// object dies, on whichever thread drops the last reference (with the
// interpreter lock held). It also holds a share of the device's keep_alive,
// because the release function may be code of the plugin library.
//
// DataView owns nothing while its callback runs: it points at bytes that
// belong to the stream machinery (an event, or the alignment stage's
// accumulation buffer). The consumer clears the view when the callback
// returns, so later buffer exports see zero bytes. An export taken during the
// callback and still alive when it returns cannot be redirected: then the
// consumer has the record keep those bytes (`kept`) until the last export is
// released, so such an export may see stale bytes but never freed memory.
//
// Both export the Python buffer protocol: one writable dimension of unsigned
// bytes.
#pragma once

#include <cstdint>
#include <memory>

#include <pybind11/pybind11.h>

#include <tavo/stream_events.hpp>

#include "instance_guard.hpp"

namespace pytavo {

struct ManagedBuffer {
    std::unique_ptr<unsigned char, tavo::DataStream::Events::ReleaseFunction> data;
    std::uint64_t size;
    std::shared_ptr<const void> keep_alive;  // released after the bytes

    ManagedBuffer(tavo::DataStream::Events::OwnedData&& event, std::shared_ptr<const void> owner) noexcept
        : data(std::move(event.data)), size(event.size), keep_alive(std::move(owner)) {}
    ManagedBuffer(ManagedBuffer&&) noexcept = default;
    ManagedBuffer& operator=(ManagedBuffer&&) noexcept = default;
    ~ManagedBuffer() { data.reset(); }  // bytes first, then keep_alive
};

struct DataView {
    unsigned char* data;
    std::uint64_t size;
    std::uint64_t exports = 0;               // live buffer exports; changed with the lock held
    std::shared_ptr<const void> keep_alive{};  // the code that frees `kept`: declared first, released last
    std::shared_ptr<const void> kept{};        // the bytes of exports that outlived the callback
};

// Registers ManagedBuffer and then DataView, in that order.
void register_buffers(pybind11::module_& m);

}  // namespace pytavo

PYTAVO_CONSTRUCTED_ONLY(pytavo::ManagedBuffer);
PYTAVO_CONSTRUCTED_ONLY(pytavo::DataView);
