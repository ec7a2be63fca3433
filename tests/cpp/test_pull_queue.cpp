// Tests of the queue of a pulled stream: its two bounds and the runs of
// drops they cause, errors and gaps at their place in an aligned stream's
// bytes, the remote device's overflow text, and a producer and a consumer on
// two threads (order, wakes, every chunk released exactly once).
#include "tavo/pull_queue.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

namespace events = tavo::DataStream::Events;
namespace pulled = tavo::DataStream::Pulled;
using tavo::DataStream::Event;
using tavo::DataStream::PullQueue;
using namespace std::chrono_literals;

std::atomic<int> releases{0};

void count_release(unsigned char* bytes) {
    releases.fetch_add(1);
    delete[] bytes;
}

// A chunk of `size` bytes; byte i of the stream is (start + i) % 251.
Event chunk(std::uint64_t start, std::uint64_t size) {
    auto* bytes = new unsigned char[size ? size : 1];
    for (std::uint64_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>((start + i) % 251);
    return events::OwnedData{{bytes, &count_release}, size};
}

Event error(std::string text) { return Event(std::in_place_index<1>, events::Error{std::move(text)}); }
Event stop() { return Event(std::in_place_index<0>); }

// What the reader sees: "<n>" for a piece of n bytes, "E:<text>",
// "D<count>" for a run of drops, "end". Releases every piece it takes.
std::vector<std::string> drain(PullQueue& queue, std::string* bytes = nullptr) {
    std::vector<std::string> seen;
    pulled::Item item;
    while (queue.pull(item)) {
        if (auto* piece = std::get_if<pulled::Data>(&item)) {
            seen.push_back(std::to_string(piece->size));
            if (bytes) bytes->append(reinterpret_cast<const char*>(piece->bytes), piece->size);
            queue.release(piece->size);
        } else if (auto* e = std::get_if<pulled::Error>(&item)) {
            seen.push_back("E:" + e->text);
        } else if (auto* d = std::get_if<pulled::Dropped>(&item)) {
            seen.push_back("D" + std::to_string(d->take()));
        } else {
            seen.push_back("end");
        }
        item = pulled::End{};  // frees what the reader did not take
    }
    return seen;
}

// Pushes past either bound are dropped, one run per gap, and counted; what
// the reader gives back makes room again; one chunk larger than the byte
// bound goes through alone, when nothing else is held.
TEST(PullQueue, BoundsDropRunsAndTheLargeChunk) {
    releases = 0;
    {
        auto queue = std::make_shared<PullQueue>(PullQueue::Limits{64, 1000, 0});
        auto sink = PullQueue::make_sink(queue);
        for (int i = 0; i < 12; ++i) sink(chunk(0, 100));  // 10 fit, 2 dropped
        EXPECT_EQ(queue->counts().dropped, 2u);
        pulled::Item first;
        ASSERT_TRUE(queue->pull(first));
        queue->release(100);
        for (int i = 0; i < 3; ++i) sink(chunk(0, 100));  // one fits, two dropped: a second run
        first = pulled::End{};
        EXPECT_EQ(drain(*queue), (std::vector<std::string>{"100", "100", "100", "100", "100", "100", "100", "100",
                                                           "100", "D2", "100", "D2"}));
        sink(chunk(0, 5000));  // larger than the bound, and nothing held: alone
        sink(chunk(0, 1));     // now something is held
        EXPECT_EQ(drain(*queue), (std::vector<std::string>{"5000", "D1"}));
        for (int i = 0; i < 70; ++i) sink(chunk(0, 1));  // the item bound
        sink(stop());
        sink(chunk(0, 1));  // after the end: discarded
        const auto seen = drain(*queue);
        ASSERT_EQ(seen.size(), 66u);
        EXPECT_EQ(seen[64], "D6");
        EXPECT_EQ(seen[65], "end");
        const auto counts = queue->counts();
        EXPECT_EQ(counts.pieces, 10u + 1 + 1 + 64);
        EXPECT_EQ(counts.dropped, 2u + 2 + 1 + 6);
    }
    EXPECT_EQ(releases.load(), 12 + 3 + 2 + 70 + 1);
}

// In an aligned stream an error and a gap come after exactly the bytes
// produced before them: the carried bytes go first, as a shorter piece.
// Pieces are shares of the chunks, not copies. The remote device's overflow
// text is a run of drops; any other text an error.
TEST(PullQueue, AlignedErrorsAndGapsAtTheirPlace) {
    auto queue = std::make_shared<PullQueue>(PullQueue::Limits{64, 1 << 20, 4});
    auto sink = PullQueue::make_sink(queue);
    sink(chunk(0, 6));
    sink(error("Remote queue overflow, dropping 7 events"));
    sink(chunk(6, 3));
    sink(error("device fault"));
    sink(error("Remote queue overflow, dropping 7 event"));  // not the text: an error
    Event last = chunk(9, 9);
    const unsigned char* last_bytes = std::get<2>(last).data.get();
    sink(std::move(last));
    std::string bytes;
    auto seen = drain(*queue, &bytes);
    EXPECT_EQ(seen, (std::vector<std::string>{"4", "2", "D7", "3", "E:device fault",
                                              "E:Remote queue overflow, dropping 7 event", "8"}));
    sink(stop());
    seen = drain(*queue, &bytes);
    EXPECT_EQ(seen, (std::vector<std::string>{"1", "end"}));
    for (std::size_t i = 0; i < bytes.size(); ++i) ASSERT_EQ(static_cast<unsigned char>(bytes[i]), i % 251) << i;
    EXPECT_EQ(queue->counts().dropped, 7u);
    EXPECT_EQ(queue->counts().errors, 2u);

    // The piece taken straight from a chunk points into it.
    sink = PullQueue::make_sink(queue = std::make_shared<PullQueue>(PullQueue::Limits{64, 1 << 20, 4}));
    last = chunk(0, 8);
    last_bytes = std::get<2>(last).data.get();
    sink(std::move(last));
    pulled::Item item;
    ASSERT_TRUE(queue->pull(item));
    EXPECT_EQ(std::get<pulled::Data>(item).bytes, last_bytes);
}

// A producer thread pushes a numbered stream while the reader waits on the
// fd between pulls: every chunk arrives in order or is counted in a gap, the
// reader is woken for each (no wait runs into its timeout), and destroying
// the sink ends the stream.
TEST(PullQueue, ProducerAndWaitingReaderOnTwoThreads) {
    constexpr std::uint64_t total = 20000;
    releases = 0;
    {
        auto queue = std::make_shared<PullQueue>(PullQueue::Limits{64, 1 << 20, 0});
        std::thread producer([sink = PullQueue::make_sink(queue)]() mutable {
            for (std::uint64_t i = 0; i < total; ++i) {
                auto* bytes = new unsigned char[sizeof i];
                std::memcpy(bytes, &i, sizeof i);
                sink(events::OwnedData{{bytes, &count_release}, sizeof i});
                if (i % 1000 == 0) std::this_thread::sleep_for(1ms);  // the reader catches up and waits
            }
        });  // the sink dies with the thread's callable: the end
        std::uint64_t next = 0, timeouts = 0;
        bool ended = false;
        pulled::Item item;
        while (!ended) {
            if (!queue->pull(item)) {
                queue->arm(0);
                if (!queue->pull(item)) {
                    timeouts += !queue->wait(5s);
                    queue->disarm();
                    continue;
                }
                queue->disarm();
            }
            if (auto* piece = std::get_if<pulled::Data>(&item)) {
                std::uint64_t number;
                std::memcpy(&number, piece->bytes, sizeof number);
                ASSERT_EQ(number, next);
                ++next;
                queue->release(piece->size);
            } else if (auto* d = std::get_if<pulled::Dropped>(&item)) {
                next += d->take();
            } else {
                ended = std::holds_alternative<pulled::End>(item);
            }
            item = pulled::End{};
        }
        producer.join();
        EXPECT_EQ(next, total);
        EXPECT_EQ(timeouts, 0u);
        EXPECT_EQ(queue->counts().pieces + queue->counts().dropped, total);
    }
    EXPECT_EQ(releases.load(), static_cast<int>(total));
}

}  // namespace
