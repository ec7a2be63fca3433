// Throughput of the stream queue against a bare single-producer queue of the
// same element type, for OwnedData and DataView events.
//
// Each iteration pushes `kEvents` 64-byte chunks and a Stop from the
// benchmark thread; the timed interval ends when the consumer thread has
// taken the Stop, so it covers push, hand-over and delivery. OwnedData chunks
// are slices of one block allocated before the loop, with a release function
// that does nothing: a chunk allocated on one thread and freed on another
// makes both threads contend for the allocator's lock, which swings either
// side's figure by 3x from run to run and says nothing about the queue. Both
// sides start and join one consumer thread per iteration. The limit is far
// above kEvents: nothing overflows.
//
// Threads: the benchmark thread produces; the stream queue's worker, or the
// bare queue's own polling thread, consumes. The consumer's count is read
// only after the Stop hand-over (a promise orders the accesses).
#include <cstdint>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

#include <benchmark/benchmark.h>

#include "tavo/stream_queue.hpp"

namespace {

using tavo::DataStream::Event;
namespace Events = tavo::DataStream::Events;

constexpr std::int64_t kEvents = 1 << 20;
constexpr std::uint64_t kChunk = 64;
constexpr int kUnlimited = 1 << 30;

enum class Kind { Owned, View };

// The chunks' bytes: owned by this block, which outlives every queue.
unsigned char* chunk_bytes(std::int64_t index) {
    static const auto block = std::make_unique<unsigned char[]>(kEvents * kChunk);
    return block.get() + index * kChunk;
}

void keep_bytes(unsigned char*) noexcept {}

// The producer's side of event `index`, identical for both queues.
Event make_event(Kind kind, unsigned char* view_bytes, std::int64_t index) {
    if (kind == Kind::View) return Events::DataView{view_bytes, kChunk};
    return Events::OwnedData{{chunk_bytes(index), &keep_bytes}, kChunk};
}

// Counts data events and reports the count when the Stop arrives.
struct CountingConsumer {
    std::promise<std::int64_t>* done;
    std::int64_t count = 0;

    void operator()(Event&& event) {
        if (event.index() == 0) {
            done->set_value(count);
        } else {
            ++count;
        }
    }
};

void check_count(benchmark::State& state, std::int64_t delivered) {
    if (delivered != kEvents) state.SkipWithError("the consumer did not receive every event");
}

void stream_queue(benchmark::State& state, Kind kind) {
    unsigned char view_bytes[kChunk] = {};
    for (auto _ : state) {
        std::promise<std::int64_t> done;
        auto arrived = done.get_future();
        // The sink exactly as a device receives it: the queue behind a stage.
        tavo::DataStream::Stage sink =
            tavo::DataStream::make_stream_queue(tavo::DataStream::Stage(CountingConsumer{&done}), kUnlimited);
        for (std::int64_t i = 0; i < kEvents; ++i) sink(make_event(kind, view_bytes, i));
        sink(Events::Stop{});
        check_count(state, arrived.get());
    }
    state.SetItemsProcessed(state.iterations() * kEvents);
}

// The bare queue: the same polling loop as the stream queue's worker (yield
// when empty), without limit check, view copy or stage call.
void bare_queue(benchmark::State& state, Kind kind) {
    unsigned char view_bytes[kChunk] = {};
    for (auto _ : state) {
        tavo::DataStream::EventQueue queue(64);
        std::promise<std::int64_t> done;
        auto arrived = done.get_future();
        std::jthread consumer([&queue, &done] {
            CountingConsumer count{&done};
            Event event;
            for (;;) {
                if (!queue.try_dequeue(event)) {
                    std::this_thread::yield();
                    continue;
                }
                const bool stop = event.index() == 0;
                count(std::move(event));
                event = Events::Stop{};
                if (stop) return;
            }
        });
        for (std::int64_t i = 0; i < kEvents; ++i) queue.enqueue(make_event(kind, view_bytes, i));
        queue.enqueue(Events::Stop{});
        check_count(state, arrived.get());
    }
    state.SetItemsProcessed(state.iterations() * kEvents);
}

void BM_StreamQueue_Owned(benchmark::State& s) { stream_queue(s, Kind::Owned); }
void BM_BareQueue_Owned(benchmark::State& s) { bare_queue(s, Kind::Owned); }
void BM_StreamQueue_View(benchmark::State& s) { stream_queue(s, Kind::View); }
void BM_BareQueue_View(benchmark::State& s) { bare_queue(s, Kind::View); }

// run.sh interleaves the repetitions at random, so that a burst of load from
// elsewhere hits both sides alike.
BENCHMARK(BM_StreamQueue_Owned)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_BareQueue_Owned)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_StreamQueue_View)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_BareQueue_View)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
