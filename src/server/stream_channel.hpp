// One served stream's queue: between the plugin's producer threads, which
// push events into the sink, and the server loop, which sends them to the
// client as its credit allows.
//
// Bounded: at most `max_bytes` of chunk and text bytes and `max_events`
// events wait. A push that finds the queue full is dropped at once (its
// bytes released) and counted; each run of drops waits in the queue as one
// overflow item at its place, which the client receives as one Error
// "Remote queue overflow, dropping N events". Stop is never dropped, and
// events after Stop are past the stream's end and are released unsent. An
// event alone in an empty queue is taken whatever its size, so that a chunk
// larger than the whole queue still passes.
//
// Threads: push() is the sink, called by one producer thread at a time
// (the contract's rule for sinks); the loop calls the other operations. One
// mutex guards the queue; nothing else is done under it, and bytes are
// released outside it. Waking the loop is a callback, called outside the
// lock, only when the queue goes from "nothing for the loop" to "something"
// (so a fast producer does not make a system call per event).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <tavo/device.hpp>

namespace tavo::server {

struct StreamItem {
    enum class Kind { data, error, overflow, stop };
    Kind kind = Kind::data;
    tavo::DataStream::Events::OwnedData data;  // kind data
    std::string text;                          // kind error
    std::uint64_t dropped = 0;                 // kind overflow

    // Bytes this item counts against the queue and the client's credit.
    std::uint64_t payload_size() const { return kind == Kind::data ? data.size : kind == Kind::error ? text.size() : 0; }
};

class StreamChannel {
public:
    StreamChannel(std::uint64_t max_bytes, std::size_t max_events, std::function<void()> wake);

    // The sink's body. Never throws and never waits for the loop.
    void push(tavo::DataStream::Event&& event) noexcept;

    // Takes the first item when `fits(payload_size)` says it may be sent;
    // empty otherwise (nothing queued, or not enough credit).
    std::optional<StreamItem> take_if(const std::function<bool(std::uint64_t)>& fits);

    // Puts back an item that could not be sent after all (the client's
    // pipe was full); it is sent first next time.
    void put_back(StreamItem&& item);

    // Whether anything waits.
    bool empty() const;

    // Events dropped so far (for the log).
    std::uint64_t dropped_total() const;

private:
    bool full_for(std::uint64_t size) const;  // mutex_ held
    void count_drop();                        // mutex_ held

    const std::uint64_t max_bytes_;
    const std::size_t max_events_;
    const std::function<void()> wake_;

    mutable std::mutex mutex_;  // guards everything below
    std::deque<StreamItem> items_;
    std::uint64_t bytes_ = 0;   // payload bytes of the items (overflow items count 0)
    std::size_t events_ = 0;    // items other than overflow items
    std::uint64_t dropped_total_ = 0;
    bool stopped_ = false;      // Stop was pushed: later events are past the end
    bool loop_knows_ = false;   // the loop has been woken for what is queued
};

// The sink to hand to a device: pushes into `channel`, which it shares.
tavo::Device::Sink make_sink(std::shared_ptr<StreamChannel> channel);

}  // namespace tavo::server
