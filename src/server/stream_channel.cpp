// The served stream's bounded queue and its drop accounting.

#include "stream_channel.hpp"

#include <cstring>
#include <new>
#include <utility>
#include <variant>

namespace tavo::server {

namespace events = tavo::DataStream::Events;

StreamChannel::StreamChannel(std::uint64_t max_bytes, std::size_t max_events, std::function<void()> wake)
    : max_bytes_(max_bytes), max_events_(max_events), wake_(std::move(wake)) {}

bool StreamChannel::full_for(std::uint64_t size) const {
    return events_ > 0 && (events_ >= max_events_ || bytes_ + size > max_bytes_);
}

void StreamChannel::count_drop() {
    ++dropped_total_;
    if (!items_.empty() && items_.back().kind == StreamItem::Kind::overflow) {
        ++items_.back().dropped;
        return;
    }
    StreamItem overflow;
    overflow.kind = StreamItem::Kind::overflow;
    overflow.dropped = 1;
    items_.push_back(std::move(overflow));
}

void StreamChannel::push(tavo::DataStream::Event&& event) noexcept {
    StreamItem item;
    bool settled = false;  // a view already dropped (and counted) or past the end
    switch (event.index()) {
    case 0: item.kind = StreamItem::Kind::stop; break;
    case 1:
        item.kind = StreamItem::Kind::error;
        item.text = std::move(std::get<1>(event).message);
        break;
    case 2: item.data = std::move(std::get<2>(event)); break;
    default: {
        // A view's bytes are the producer's only until this call returns:
        // copy them, but only once it is known that they will be kept. One
        // producer pushes and the loop only takes away, so "room" cannot
        // turn into "full" between the look and the store below.
        const auto& view = std::get<3>(event);
        bool keep;
        {
            std::lock_guard lock(mutex_);
            keep = !stopped_ && !full_for(view.size);
            if (!keep && !stopped_) count_drop();
        }
        if (!keep) {
            settled = true;
            break;
        }
        auto* copy = view.size > 0 ? new (std::nothrow) unsigned char[view.size] : nullptr;
        if (view.size > 0 && copy == nullptr) {  // no memory for the copy: dropped, and counted
            std::lock_guard lock(mutex_);
            count_drop();
            settled = true;
            break;
        }
        if (copy != nullptr) std::memcpy(copy, view.data, view.size);
        item.data = events::OwnedData{{copy, &tavo::DataStream::release_array}, view.size};
        break;
    }
    }
    StreamItem rejected;  // its bytes are released after the lock is let go
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (settled) {
            // dropped and counted above, or past the end
        } else if (stopped_) {
            rejected = std::move(item);  // past the end of the stream
        } else if (item.kind != StreamItem::Kind::stop && full_for(item.payload_size())) {
            rejected = std::move(item);
            count_drop();
        } else {
            if (item.kind == StreamItem::Kind::stop) stopped_ = true;
            bytes_ += item.payload_size();
            ++events_;
            items_.push_back(std::move(item));
        }
        wake = !loop_knows_ && !items_.empty();
        if (wake) loop_knows_ = true;
    }
    if (wake) wake_();
}

std::optional<StreamItem> StreamChannel::take_if(const std::function<bool(std::uint64_t)>& fits) {
    std::lock_guard lock(mutex_);
    if (items_.empty()) {
        loop_knows_ = false;
        return std::nullopt;
    }
    if (!fits(items_.front().payload_size())) return std::nullopt;
    StreamItem item = std::move(items_.front());
    items_.pop_front();
    if (item.kind != StreamItem::Kind::overflow) {
        bytes_ -= item.payload_size();
        --events_;
    }
    if (items_.empty()) loop_knows_ = false;
    return item;
}

void StreamChannel::put_back(StreamItem&& item) {
    std::lock_guard lock(mutex_);
    if (item.kind != StreamItem::Kind::overflow) {
        bytes_ += item.payload_size();
        ++events_;
    }
    items_.push_front(std::move(item));
    loop_knows_ = true;
}

bool StreamChannel::empty() const {
    std::lock_guard lock(mutex_);
    return items_.empty();
}

std::uint64_t StreamChannel::dropped_total() const {
    std::lock_guard lock(mutex_);
    return dropped_total_;
}

tavo::Device::Sink make_sink(std::shared_ptr<StreamChannel> channel) {
    return [channel = std::move(channel)](tavo::DataStream::Event&& event) { channel->push(std::move(event)); };
}

}  // namespace tavo::server
