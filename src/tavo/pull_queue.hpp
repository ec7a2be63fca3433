// The queue behind a stream that its reader pulls: the device's producer
// thread pushes events into the sink, and the reading thread takes them out
// directly, with no worker thread in between.
//
// Design: a single-producer, single-consumer queue of items (data pieces,
// error texts, drop markers, the end), bounded twice: by the items stored
// and not yet pulled (`max_items`), and by the bytes the reader holds
// (`max_bytes`; one piece larger than the bound goes through alone, when the
// reader holds nothing). Bytes are held from the store until the reader
// gives them back with release(): bytes it hands to its caller, or copies
// out and frees. Past
// either bound the pushed event is dropped and counted at once, on the
// producer: a run of consecutive drops is one marker with its count
// (DropRuns), so nothing is done per dropped event and a reader that is
// faster than the device catches up as soon as it reads.
//
// An aligned stream's alignment stage runs here, on the producer: its pieces
// keep the chunk's (or the accumulation buffer's) bytes instead of copying
// them. Before an error or a gap it passes the carried bytes on as a shorter
// piece, so that both stay at their exact place in the bytes.
//
// Waking: the reader waits on an eventfd, which the producer writes only
// while the reader has armed it (and only once the stored bytes reach what
// the reader needs, or a non-data item is stored): a reader that keeps up
// costs the producer no system call, an idle one no CPU.
//
// Exit: once the process is exiting (abandon_workers(), stream_queue.hpp),
// every push is discarded and sleeps for `exit_crawl`: streams left open do
// not compete with the exit for the processor.
//
// Threads: push() and the sink's destruction run on the device's thread (one
// at a time, as for any sink); everything else is the consumer's, one thread
// at a time (the module serialises it with the interpreter lock), except
// wait(), wake() and counts(), which any thread may call. Nothing here knows
// about Python. The queue is shared by the sink and the reader: the last of
// the two frees it, and with it everything still queued.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <readerwriterqueue/readerwriterqueue.h>

#include <tavo/stream_events.hpp>

#include "tavo/alignment_stage.hpp"
#include "tavo/overflow_rules.hpp"

namespace tavo::DataStream {

namespace Pulled {

// A piece of the stream's bytes. Its bytes belong to `owned` (a plain
// stream's chunk, never copied) or to `shared` (an aligned stream's piece: a
// share of the chunk or of an accumulation buffer), and die with the piece.
struct Data {
    unsigned char* bytes = nullptr;
    std::uint64_t size = 0;
    Events::OwnedData owned;
    std::shared_ptr<const void> shared;
};
struct Error {
    std::string text;
};
// A run of dropped events. Its count is final once taken; a consumer that
// takes it before it is done with the marker finds it again in `taken`.
struct Dropped {
    std::shared_ptr<DropRuns::Count> count;
    std::uint64_t taken = 0;

    std::uint64_t take() noexcept {
        if (count) {
            taken = DropRuns::take(*count);
            count.reset();
        }
        return taken;
    }
};
struct End {};

using Item = std::variant<Data, Error, Dropped, End>;

}  // namespace Pulled

// The text a remote device's own queue reports its drops with, whose count
// (above 0) is taken as a run of drops here: "Remote queue overflow,
// dropping N events".
std::optional<std::uint64_t> remote_overflow_count(std::string_view text) noexcept;

class PullQueue {
public:
    static constexpr std::chrono::milliseconds exit_crawl{20};

    struct Limits {
        std::uint64_t max_items;  // at least 1
        std::uint64_t max_bytes;  // at least 1
        std::uint64_t alignment;  // 0 for a plain stream
    };
    // What the producer has stored and dropped so far.
    struct Counts {
        std::uint64_t pieces, bytes, dropped, errors;
    };

    // Throws std::bad_alloc, std::length_error (an alignment no buffer can
    // have) or std::system_error (no eventfd).
    explicit PullQueue(Limits limits);
    ~PullQueue();
    PullQueue(const PullQueue&) = delete;
    PullQueue& operator=(const PullQueue&) = delete;

    // The sink to hand to the device: a stage that shares `queue`. Destroying
    // it ends the stream: an End is stored unless the device pushed Stop.
    static Stage make_sink(std::shared_ptr<PullQueue> queue);

    // -- producer --------------------------------------------------------
    // Never throws and never waits for the reader (a failed allocation of a
    // marker or the end is waited out, as the stream queue does).
    void push(Event&& event) noexcept;

    // -- consumer --------------------------------------------------------
    // Moves the next stored item into `item`; false when there is none. The
    // item no longer counts against max_items; its bytes still count.
    bool pull(Pulled::Item& item);
    // The reader no longer holds these bytes of data.
    void release(std::uint64_t bytes) noexcept;
    // While a read waits for `bytes` more than the reader holds already
    // taken, data is let in for as long as the bytes held are short of that,
    // whatever max_bytes says: a read larger than the bound could never be
    // met otherwise, as the piece that completes it overshoots its need.
    // 0 when no read waits.
    void set_read_need(std::uint64_t bytes) noexcept;
    // The reader stops reading: from now on pushes are discarded. Wakes
    // every waiter.
    void close() noexcept;
    Counts counts() const noexcept;
    // How many items the producer has stored so far: a reader about to wait
    // may watch it change for a moment before it arms the fd. Any thread.
    std::uint64_t stored_items() const noexcept { return items_stored.load(std::memory_order_acquire); }

    // -- waiting (consumer) ------------------------------------------------
    // Asks the producer to wake the fd once a non-data item, or `need` bytes
    // more than pulled so far (0: any item), are stored; that wake disarms
    // it. Pull again after arming: what was stored before it may not have
    // woken anyone.
    void arm(std::uint64_t need) noexcept;
    void disarm() noexcept;
    // Blocks for up to `timeout` until the fd is readable, and clears it if
    // so (then true). Returns early on a signal. Any thread; no lock held.
    bool wait(std::chrono::milliseconds timeout) const noexcept;
    // Makes the fd readable. Any thread.
    void wake() const noexcept;
    // Readable while a wake is pending: for an event loop's reader callback.
    int wait_fd() const noexcept { return event_fd; }
    // Clears a pending wake; true if there was one.
    bool clear_wake() const noexcept;

private:
    friend class PullSink;
    using Queue = moodycamel::ReaderWriterQueue<Pulled::Item, 512>;

    void producer_gone() noexcept;
    void data(Event& event) noexcept;
    bool admit(std::uint64_t size);
    void drop(std::uint64_t events, bool flush_first = true);
    void flush() noexcept;
    void store_piece(Event&& piece);
    bool store_data(Pulled::Data&& piece);
    void store_until_done(Pulled::Item&& item);
    void stored(bool data_item, std::uint64_t bytes, bool counted);

    // The fields are grouped by who writes them how often, each group on its
    // own cache line: a line that both sides write on every item would
    // travel between their cores twice per item.
    static constexpr std::size_t line = 64;

    const Limits limits;
    int event_fd = -1;
    Queue queue;

    // Producer only.
    alignas(line) std::unique_ptr<AlignmentStage> aligner;  // aligned streams
    DropRuns runs;
    HeldBound held_items, held_bytes;
    std::uint64_t stored_item_total = 0;  // data pieces and errors stored
    std::uint64_t stored_byte_total = 0;
    bool ended = false;  // End stored: nothing more is taken

    // Written by the producer on every store; read by the consumer (a reader
    // about to wait watches items_stored) and by counts().
    alignas(line) std::atomic<std::uint64_t> items_stored{0};
    std::atomic<std::uint64_t> pieces{0}, bytes{0}, dropped{0}, errors{0};

    // Written by the consumer on every pull or take; read by the producer
    // only near the bounds (HeldBound).
    alignas(line) std::atomic<std::uint64_t> released_items{0}, released_bytes{0};
    std::uint64_t pulled_bytes = 0;  // consumer only

    // Written by the consumer when it waits or closes; read by the producer
    // on every store.
    alignas(line) std::atomic<bool> armed{false};
    std::atomic<bool> closed{false};
    std::atomic<std::uint64_t> wake_at{0};  // the producer's byte total that wakes the reader
    std::atomic<std::uint64_t> read_need{0};
};

}  // namespace tavo::DataStream
