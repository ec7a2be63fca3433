#include "pull_queue.hpp"

#include "stream_queue.hpp"  // workers_abandoned()

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

namespace tavo::DataStream {

std::optional<std::uint64_t> remote_overflow_count(std::string_view text) noexcept {
    constexpr std::string_view head = "Remote queue overflow, dropping ";
    constexpr std::string_view tail = " events";
    if (text.size() <= head.size() + tail.size() || !text.starts_with(head) || !text.ends_with(tail)) return {};
    const std::string_view digits = text.substr(head.size(), text.size() - head.size() - tail.size());
    std::uint64_t count = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
    // A report of no drops is no gap: it stays an error with its text.
    if (error != std::errc{} || end != digits.data() + digits.size() || count == 0) return {};
    return count;
}

// The sink: a share of the queue. Its destruction, on whichever thread the
// device destroys it, is the producer's last act.
class PullSink {
public:
    explicit PullSink(std::shared_ptr<PullQueue> queue) noexcept : queue(std::move(queue)) {}
    PullSink(PullSink&&) noexcept = default;
    ~PullSink() {
        if (queue) queue->producer_gone();
    }
    void operator()(Event&& event) noexcept { queue->push(std::move(event)); }

private:
    std::shared_ptr<PullQueue> queue;
};

Stage PullQueue::make_sink(std::shared_ptr<PullQueue> queue) {
    return Stage(std::in_place_type<PullSink>, std::move(queue));
}

PullQueue::PullQueue(Limits limits) : limits(limits), queue(63) {
    if (limits.alignment > 0) {
        aligner = std::make_unique<AlignmentStage>(limits.alignment,
                                                   [this](Event&& piece) { store_piece(std::move(piece)); });
    }
    event_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (event_fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

PullQueue::~PullQueue() { ::close(event_fd); }

// -- producer -----------------------------------------------------------------

void PullQueue::push(Event&& event) noexcept {
    if (workers_abandoned()) {
        // The process is exiting, with this stream left open: nobody reads
        // any more, and a device thread producing at full speed would starve
        // the exit of processor time. It is slowed to a crawl instead.
        std::this_thread::sleep_for(exit_crawl);
        return;
    }
    if (ended || closed.load(std::memory_order_relaxed)) return;  // the caller frees the event
    switch (event.index()) {
    case 0: producer_gone(); return;
    case 1: {
        auto& text = std::get<1>(event).message;
        if (const auto count = remote_overflow_count(text)) {
            drop(*count);
            return;
        }
        if (!admit(0)) {
            drop(1);
            return;
        }
        flush();  // the bytes before the error come first
        if (!queue.enqueue(Pulled::Item(Pulled::Error{std::move(text)}))) {
            drop(1);
            return;
        }
        errors.store(errors.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        stored(false, 0, true);
        return;
    }
    default: data(event); return;
    }
}

void PullQueue::producer_gone() noexcept {
    if (ended) return;
    if (!closed.load(std::memory_order_relaxed)) {
        flush();  // the final, shorter piece
        store_until_done(Pulled::End{});
        stored(false, 0, false);
    }
    ended = true;
}

void PullQueue::data(Event& event) noexcept {
    const bool owned = event.index() == 2;
    const std::uint64_t size = owned ? std::get<2>(event).size : std::get<3>(event).size;
    if (aligner) {
        if (size == 0) return;  // no piece comes of it
        if (!admit(size) || !aligner->reserve()) {
            drop(1);
            return;
        }
        (*aligner)(std::move(event));  // the pieces come back through store_piece
        return;
    }
    if (!admit(size)) {
        drop(1);
        return;
    }
    Pulled::Data piece;
    piece.size = size;
    if (owned) {
        piece.owned = std::move(std::get<2>(event));  // the chunk's own bytes: no copy
    } else {
        // A view is valid only during this call: its bytes are copied into
        // storage of our own.
        auto* copy = new (std::nothrow) unsigned char[size ? size : 1];
        if (copy == nullptr) {
            drop(1);
            return;
        }
        if (size) std::memcpy(copy, std::get<3>(event).data, size);
        piece.owned = Events::OwnedData{{copy, &release_array}, size};
    }
    piece.bytes = piece.owned.data.get();
    if (!store_data(std::move(piece))) drop(1);
}

// An event is taken while the reader holds fewer than max_items, and its
// bytes (with those carried for alignment) fit under the byte bound, or the
// reader holds no bytes at all, or a waiting read needs more than is held.
bool PullQueue::admit(std::uint64_t size) {
    const std::uint64_t extra = size + (aligner ? aligner->carried() : 0);
    if (!held_items.fits(1, limits.max_items,
                         [this] { return stored_item_total - released_items.load(std::memory_order_acquire); })) {
        return false;
    }
    if (held_bytes.fits(extra, limits.max_bytes,
                        [this] { return stored_byte_total - released_bytes.load(std::memory_order_acquire); })) {
        return true;
    }
    return held_bytes.held() < read_need.load(std::memory_order_relaxed);  // held() is fresh after a refusal
}

// `events` more dropped: on the open run if there is one, else a new marker,
// behind the bytes carried so far (not when the drop happens while a piece
// is stored: the stage is busy then, and its carry comes after the gap).
void PullQueue::drop(std::uint64_t events, bool flush_first) {
    dropped.store(dropped.load(std::memory_order_relaxed) + events, std::memory_order_relaxed);
    if (runs.extend(events)) return;
    if (flush_first) flush();
    store_until_done(Pulled::Dropped{runs.start(events)});
    stored(false, 0, false);
}

void PullQueue::flush() noexcept {
    if (aligner && aligner->carried() > 0) aligner->flush();
}

// A piece from the alignment stage, during its call: its bytes are kept (a
// share of the chunk or of the accumulation buffer) or, when they are not
// the stage's to keep, copied.
void PullQueue::store_piece(Event&& event) {
    if (event.index() != 3) return;  // only pieces come back: Stop and errors never enter the stage here
    const auto& view = std::get<3>(event);
    Pulled::Data piece{view.data, view.size, {}, aligner->keep_piece()};
    if (!piece.shared) {
        auto* copy = new (std::nothrow) unsigned char[view.size];
        if (copy == nullptr) {
            drop(1, false);
            return;
        }
        std::memcpy(copy, view.data, view.size);
        piece.bytes = copy;
        piece.owned = Events::OwnedData{{copy, &release_array}, view.size};
    }
    if (!store_data(std::move(piece))) drop(1, false);
}

bool PullQueue::store_data(Pulled::Data&& piece) {
    const std::uint64_t size = piece.size;
    // Without memory for a block the item is destroyed here: a drop.
    if (!queue.enqueue(Pulled::Item(std::move(piece)))) return false;
    pieces.store(pieces.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    stored(true, size, true);
    return true;
}

// Markers and the end are never dropped; a failed block allocation is waited out.
void PullQueue::store_until_done(Pulled::Item&& item) {
    while (!queue.enqueue(std::move(item))) std::this_thread::yield();
}

void PullQueue::stored(bool data_item, std::uint64_t size, bool counted) {
    items_stored.store(items_stored.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    if (counted) {
        ++stored_item_total;
        held_items.add(1);
        runs.stored();
    }
    if (data_item) {
        stored_byte_total += size;
        held_bytes.add(size);
        bytes.store(stored_byte_total, std::memory_order_relaxed);
    }
    // Pairs with arm(): either the reader sees this item when it pulls after
    // arming, or this sees the reader armed.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (!armed.load(std::memory_order_acquire)) return;  // and with it, the wake_at of that arm
    if (data_item && stored_byte_total < wake_at.load(std::memory_order_relaxed)) return;
    // One wake per arm: until the woken reader runs, further stores would
    // each write the fd again.
    if (armed.exchange(false, std::memory_order_acq_rel)) wake();
}

// -- consumer -----------------------------------------------------------------

bool PullQueue::pull(Pulled::Item& item) {
    if (!queue.try_dequeue(item)) return false;
    if (const auto* piece = std::get_if<Pulled::Data>(&item)) {
        pulled_bytes += piece->size;
    } else if (!std::holds_alternative<Pulled::Error>(item)) {
        return true;  // markers and the end are stored past the bound, uncounted
    }
    released_items.store(released_items.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    return true;
}

void PullQueue::release(std::uint64_t size) noexcept {
    released_bytes.store(released_bytes.load(std::memory_order_relaxed) + size, std::memory_order_release);
}

void PullQueue::set_read_need(std::uint64_t bytes) noexcept {
    read_need.store(bytes, std::memory_order_relaxed);
}

void PullQueue::close() noexcept {
    closed.store(true, std::memory_order_relaxed);
    wake();
}

PullQueue::Counts PullQueue::counts() const noexcept {
    return {pieces.load(std::memory_order_relaxed), bytes.load(std::memory_order_relaxed),
            dropped.load(std::memory_order_relaxed), errors.load(std::memory_order_relaxed)};
}

void PullQueue::arm(std::uint64_t need) noexcept {
    wake_at.store(pulled_bytes + need, std::memory_order_relaxed);
    armed.store(true, std::memory_order_release);
    std::atomic_thread_fence(std::memory_order_seq_cst);  // pairs with the fence in stored()
}

void PullQueue::disarm() noexcept { armed.store(false, std::memory_order_relaxed); }

bool PullQueue::wait(std::chrono::milliseconds timeout) const noexcept {
    pollfd ready{event_fd, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(timeout.count())) <= 0) return false;  // timed out, or a signal
    return clear_wake();
}

void PullQueue::wake() const noexcept {
    const std::uint64_t one = 1;
    (void)!::write(event_fd, &one, sizeof one);  // fails only when the count is full: it is readable then
}

bool PullQueue::clear_wake() const noexcept {
    std::uint64_t count = 0;
    return ::read(event_fd, &count, sizeof count) == sizeof count;
}

}  // namespace tavo::DataStream
