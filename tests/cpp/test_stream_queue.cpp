// Tests of the stream queue: limits and overflow notices, event ownership
// (every chunk released exactly once, whether delivered, dropped or left
// behind), delivery order, and what destruction waits for.
//
// Chunks count their releases in one atomic; the consumer records what it
// sees under a mutex, since it runs on the queue's worker thread.
#include "tavo/stream_queue.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__) && __has_include(<sanitizer/lsan_interface.h>)
#include <sanitizer/lsan_interface.h>
#define TAVO_TEST_HAS_LSAN 1
#endif

namespace {

namespace events = tavo::DataStream::Events;
using tavo::DataStream::Event;
using tavo::DataStream::EventQueue;
using tavo::DataStream::Stage;
using Queue = tavo::DataStream::StreamQueue<EventQueue>;
using namespace std::chrono_literals;

constexpr auto patience = 20s;  // only ever reached when something is broken

std::atomic<int> chunk_releases{0};

void count_release(unsigned char* bytes) {
    chunk_releases.fetch_add(1);
    delete[] bytes;
}

// An OwnedData chunk carrying a sequence number.
Event chunk(std::uint64_t sequence) {
    auto* bytes = new unsigned char[sizeof sequence];
    std::memcpy(bytes, &sequence, sizeof sequence);
    return events::OwnedData{{bytes, &count_release}, sizeof sequence};
}

class Gate {
public:
    void open() {
        {
            std::lock_guard lock(mutex);
            is_open = true;
        }
        changed.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return is_open; });
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool is_open = false;
};

// What a consumer saw, and on which thread it was destroyed. Must outlive
// the queue's worker.
class Recorder {
public:
    // The consumer stage. With `hold`, its first call records the event and
    // then blocks until the gate opens, keeping the worker inside the call.
    Stage consumer(Gate* hold = nullptr) {
        return [this, hold, guard = DestructionGuard{this}](Event&& event) {
            (void)guard;
            bool first = false;
            {
                std::lock_guard lock(mutex);
                first = seen_events.empty();
                seen_events.push_back(describe(event));
                consumer_thread = std::this_thread::get_id();
            }
            changed.notify_all();
            if (first && hold != nullptr) hold->wait();
        };
    }

    [[nodiscard]] bool wait_for_events(std::size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, patience, [&] { return seen_events.size() >= count; });
    }

    [[nodiscard]] bool wait_for_destruction() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, patience, [&] { return destroyed; });
    }

    std::vector<std::string> seen() {
        std::lock_guard lock(mutex);
        return seen_events;
    }

    bool consumer_destroyed() {
        std::lock_guard lock(mutex);
        return destroyed;
    }

    // Call after wait_for_destruction.
    std::pair<std::thread::id, std::thread::id> call_and_destruction_threads() {
        std::lock_guard lock(mutex);
        return {consumer_thread, destruction_thread};
    }

private:
    // Owned by the consumer; reports where the consumer is destroyed.
    struct DestructionGuard {
        Recorder* recorder;
        DestructionGuard(Recorder* owner) : recorder(owner) {}
        DestructionGuard(DestructionGuard&& other) noexcept : recorder(std::exchange(other.recorder, nullptr)) {}
        ~DestructionGuard() {
            if (recorder == nullptr) return;
            // Notify under the lock: once a waiter sees `destroyed` it may
            // destroy the recorder, and an abandoned worker is never joined.
            std::lock_guard lock(recorder->mutex);
            recorder->destroyed = true;
            recorder->destruction_thread = std::this_thread::get_id();
            recorder->changed.notify_all();
        }
    };

    static std::string describe(const Event& event) {
        switch (event.index()) {
        case 0:
            return "stop";
        case 1:
            return "error " + std::get<1>(event).message;
        case 2: {
            const auto& owned = std::get<2>(event);
            std::uint64_t sequence = 0;
            if (owned.size != sizeof sequence) return "owned size " + std::to_string(owned.size);
            std::memcpy(&sequence, owned.data.get(), sizeof sequence);
            return "owned " + std::to_string(sequence);
        }
        default:
            return "view";
        }
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> seen_events;
    std::thread::id consumer_thread;
    std::thread::id destruction_thread;
    bool destroyed = false;
};

const std::string notice = std::string("error ") + tavo::DataStream::overflow_notice;

class StreamQueueTest : public ::testing::Test {
protected:
    void SetUp() override { chunk_releases = 0; }
};

TEST_F(StreamQueueTest, LimitBelowTheInitialBlockIsRefusedAndKeepsTheConsumer) {
    Recorder recorder;
    Stage consumer = recorder.consumer();
    try {
        Queue queue(std::move(consumer), 63);
        ADD_FAILURE() << "63 accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "max_elements must be greater than init_elements");
    }
    EXPECT_THROW((void)tavo::DataStream::make_stream_queue(std::move(consumer), 0), std::runtime_error);
    ASSERT_TRUE(consumer);
    consumer(events::Stop{});
    EXPECT_EQ(recorder.seen(), std::vector<std::string>{"stop"});

    Queue accepted(std::move(consumer), 64);
    accepted(chunk(1));
    ASSERT_TRUE(recorder.wait_for_events(2));
}

TEST_F(StreamQueueTest, PushesPastTheLimitBecomeNoticesInOrder) {
    Recorder recorder;
    Gate gate;
    std::vector<std::string> expected;
    {
        Stage sink = tavo::DataStream::make_stream_queue(recorder.consumer(&gate), 64);
        sink(chunk(0));
        ASSERT_TRUE(recorder.wait_for_events(1));  // the worker is now held inside the call
        expected.push_back("owned 0");
        for (std::uint64_t i = 1; i <= 64; ++i) {
            sink(chunk(i));
            expected.push_back("owned " + std::to_string(i));
        }
        ASSERT_EQ(chunk_releases, 0);
        for (std::uint64_t i = 65; i < 75; ++i) {
            sink(chunk(i));
            EXPECT_EQ(chunk_releases, static_cast<int>(i - 64)) << "a dropped chunk is released at once";
            expected.push_back(notice);
        }
        // A Stop past the limit is still stored: the stream ends.
        sink(events::Stop{});
        expected.push_back("stop");

        gate.open();
        ASSERT_TRUE(recorder.wait_for_events(expected.size()));
        sink(chunk(100));  // after the Stop: never delivered, freed with the queue
    }
    EXPECT_EQ(recorder.seen(), expected);
    EXPECT_EQ(chunk_releases, 76);
}

// A long overflow stores one marker, not one notice per dropped event, and
// still yields every notice at its place. An Error the device pushes with the
// notice's own text is delivered once, as itself.
TEST_F(StreamQueueTest, HeldOverflowStaysBoundedAndLosesNoNotice) {
    constexpr std::uint64_t dropped = 200000;
    Recorder recorder;
    Gate gate;
    std::vector<std::string> expected{"owned 0", notice};
    {
        Queue queue(recorder.consumer(&gate), 64);
        queue(chunk(0));
        ASSERT_TRUE(recorder.wait_for_events(1));
        queue(events::Error{tavo::DataStream::overflow_notice});
        for (std::uint64_t i = 1; i < 64; ++i) {
            queue(chunk(i));
            expected.push_back("owned " + std::to_string(i));
        }
        for (std::uint64_t i = 0; i < dropped; ++i) queue(chunk(1000 + i));
        expected.insert(expected.end(), dropped, notice);
        EXPECT_LE(queue.stored(), 65u);
        queue(events::Stop{});
        expected.push_back("stop");
        EXPECT_EQ(chunk_releases, static_cast<int>(dropped));

        gate.open();
        ASSERT_TRUE(recorder.wait_for_events(expected.size()));
    }
    EXPECT_EQ(recorder.seen(), expected);
}

TEST_F(StreamQueueTest, LargeLimitHoldsThatManyEvents) {
    Recorder recorder;
    Gate gate;
    {
        Queue queue(recorder.consumer(&gate), 4096);
        queue(chunk(0));
        ASSERT_TRUE(recorder.wait_for_events(1));
        for (std::uint64_t i = 1; i <= 3000; ++i) queue(chunk(i));
        EXPECT_EQ(chunk_releases, 0);
        gate.open();
        ASSERT_TRUE(recorder.wait_for_events(3001));
    }
    const auto seen = recorder.seen();
    ASSERT_EQ(seen.size(), 3001u);
    for (std::size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], "owned " + std::to_string(i));
    EXPECT_EQ(chunk_releases, 3001);
}

TEST_F(StreamQueueTest, ViewIsCopiedBeforeThePushReturns) {
    std::mutex mutex;
    std::vector<std::pair<std::size_t, std::vector<unsigned char>>> received;  // index, bytes
    Gate gate;
    {
        Queue queue(
            [&](Event&& event) {
                gate.wait();
                std::vector<unsigned char> bytes;
                if (event.index() == 2) {
                    const auto& owned = std::get<2>(event);
                    bytes.assign(owned.data.get(), owned.data.get() + owned.size);
                }
                std::lock_guard lock(mutex);
                received.emplace_back(event.index(), std::move(bytes));
            },
            64);
        unsigned char buffer[4] = {1, 2, 3, 4};
        queue(events::DataView{buffer, sizeof buffer});
        std::memset(buffer, 0xEE, sizeof buffer);
        queue(events::DataView{buffer, 0});
        queue(events::Stop{});
        gate.open();
        for (auto deadline = std::chrono::steady_clock::now() + patience;
             std::chrono::steady_clock::now() < deadline;) {
            {
                std::lock_guard lock(mutex);
                if (received.size() == 3) break;
            }
            std::this_thread::sleep_for(1ms);
        }
    }
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0], (std::pair<std::size_t, std::vector<unsigned char>>{2, {1, 2, 3, 4}}));
    EXPECT_EQ(received[1], (std::pair<std::size_t, std::vector<unsigned char>>{2, {}}));
    EXPECT_EQ(received[2].first, 0u);
}

TEST_F(StreamQueueTest, NothingReachesTheConsumerAfterStop) {
    Recorder recorder;
    {
        Queue queue(recorder.consumer(), 64);
        queue(chunk(1));
        queue(events::Stop{});
        ASSERT_TRUE(recorder.wait_for_destruction());  // the worker left its loop
        for (std::uint64_t i = 2; i < 7; ++i) queue(chunk(i));
        EXPECT_EQ(chunk_releases, 1);
    }
    EXPECT_EQ(recorder.seen(), (std::vector<std::string>{"owned 1", "stop"}));
    EXPECT_EQ(chunk_releases, 6);
}

TEST_F(StreamQueueTest, DestructionWaitsForTheCallInProgressThenFreesTheRest) {
    Recorder recorder;
    Gate gate;
    auto queue = std::make_unique<Queue>(recorder.consumer(&gate), 64);
    (*queue)(chunk(0));
    ASSERT_TRUE(recorder.wait_for_events(1));
    for (std::uint64_t i = 1; i <= 10; ++i) (*queue)(chunk(i));

    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        queue.reset();
        destroyed = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(destroyed) << "destruction returned while the consumer was still inside a call";
    gate.open();
    destroyer.join();

    EXPECT_EQ(recorder.seen(), std::vector<std::string>{"owned 0"});
    EXPECT_EQ(chunk_releases, 11);
    ASSERT_TRUE(recorder.consumer_destroyed());
    const auto [call_thread, destruction_thread] = recorder.call_and_destruction_threads();
    EXPECT_EQ(destruction_thread, call_thread);
    EXPECT_NE(destruction_thread, std::this_thread::get_id());
}

// A consumer that drops the last owner of its own queue (a stream owned by
// the object whose method is its callback) destroys the queue on the worker:
// the queue is freed with every undelivered chunk, each released once.
TEST_F(StreamQueueTest, QueueDestroyedByItsOwnConsumerFreesItsEvents) {
    Recorder recorder;
    Gate gate;
    auto sink = std::make_unique<Stage>();
    *sink = tavo::DataStream::make_stream_queue(
        [&sink, record = recorder.consumer(&gate)](Event&& event) mutable {
            record(std::move(event));
            sink.reset();  // on the worker, inside the consumer call
        },
        64);
    (*sink)(chunk(0));
    ASSERT_TRUE(recorder.wait_for_events(1));  // held inside the first call
    for (std::uint64_t i = 1; i <= 50; ++i) (*sink)(chunk(i));
    gate.open();
    ASSERT_TRUE(recorder.wait_for_destruction());  // the worker has left its loop
    EXPECT_EQ(sink, nullptr);
    EXPECT_EQ(recorder.seen(), std::vector<std::string>{"owned 0"});
    EXPECT_EQ(chunk_releases, 51);
}

TEST_F(StreamQueueTest, SleepingWorkerDeliversWithAnyPollInterval) {
    for (const auto interval : {std::chrono::nanoseconds(0), std::chrono::nanoseconds(-1ms),
                                std::chrono::nanoseconds(1ms)}) {
        SCOPED_TRACE(interval.count());
        Recorder recorder;
        Queue queue(recorder.consumer(), 64, interval);
        queue(chunk(1));
        queue(events::Error{"late"});
        queue(events::Stop{});
        ASSERT_TRUE(recorder.wait_for_events(3));
        EXPECT_EQ(recorder.seen(), (std::vector<std::string>{"owned 1", "error late", "stop"}));
    }
}

void check_order_under_load(std::uint64_t total, int limit) {
    Recorder recorder;
    {
        Queue queue(recorder.consumer(), limit);
        std::thread producer([&] {
            for (std::uint64_t i = 0; i < total; ++i) queue(chunk(i));
        });
        producer.join();
        ASSERT_TRUE(recorder.wait_for_events(total));
    }
    const auto seen = recorder.seen();
    ASSERT_EQ(seen.size(), total);
    std::size_t notices = 0;
    for (std::uint64_t i = 0; i < total; ++i) {
        if (seen[i] == notice) {
            ++notices;
            continue;
        }
        ASSERT_EQ(seen[i], "owned " + std::to_string(i));
    }
    if (limit > static_cast<int>(total)) {
        EXPECT_EQ(notices, 0u);
    }
    EXPECT_EQ(chunk_releases, static_cast<int>(total));
}

// Every pushed event shows up at its own position: as itself or, when it was
// dropped, as a notice. Nothing is lost without one, nothing is reordered.
TEST_F(StreamQueueTest, ConcurrentProducerKeepsOrderAndLosesNothingSilently) {
    constexpr std::uint64_t total = 100000;
    // A small limit drops most of a fast producer's events; one above the
    // total must drop none.
    for (const int limit : {64, 2 * static_cast<int>(total)}) {
        SCOPED_TRACE(limit);
        chunk_releases = 0;
        check_order_under_load(total, limit);
    }
}

// Abandoning is process-wide and irreversible: this suite must run last, and
// --gtest_repeat over it is meaningless (later rounds would run abandoned).
TEST(zz_AbandonedWorkers, DestructionNoLongerWaitsForABlockedConsumer) {
    Recorder recorder;
    Gate gate;
    chunk_releases = 0;
    {
#ifdef TAVO_TEST_HAS_LSAN
        // The abandoned queue is leaked on purpose.
        __lsan::ScopedDisabler leaked_on_purpose;
#endif
        auto queue = std::make_unique<Queue>(recorder.consumer(&gate), 64);
        (*queue)(chunk(0));
        ASSERT_TRUE(recorder.wait_for_events(1));
        (*queue)(chunk(1));

        tavo::DataStream::abandon_workers();
        EXPECT_TRUE(tavo::DataStream::workers_abandoned());
        // Destroyed on a thread of its own so that a destructor which still
        // waits fails the test instead of hanging it.
        std::promise<void> destroyed;
        std::thread destroyer([&] {
            queue.reset();
            destroyed.set_value();
        });
        EXPECT_EQ(destroyed.get_future().wait_for(5s), std::future_status::ready)
            << "destruction waited for the blocked consumer";
        EXPECT_FALSE(recorder.consumer_destroyed());
        EXPECT_EQ(chunk_releases, 0);
        gate.open();
        destroyer.join();
    }

    // The detached worker finishes its call, sees the stop request and
    // leaves; the chunk still queued is leaked along with its queue.
    ASSERT_TRUE(recorder.wait_for_destruction());
    EXPECT_EQ(recorder.seen(), std::vector<std::string>{"owned 0"});
}

}  // namespace
