#include "alignment_stage.hpp"

#include <cstring>

namespace pytavo {

using tavo::DataStream::Event;

void AlignmentStage::operator()(Event&& event) {
    switch (event.index()) {
    case 0:
        if (fill > 0) pass_view(buffer.data(), fill);  // the final, shorter piece
        fill = 0;
        consumer(std::move(event));
        break;
    case 1: consumer(std::move(event)); break;
    case 2: {
        auto& owned = std::get<2>(event);
        align(owned.data.get(), owned.size);
        break;
    }
    default: {
        const auto& view = std::get<3>(event);
        align(view.data, view.size);
        break;
    }
    }
}

void AlignmentStage::align(unsigned char* p, std::uint64_t n) {
    if (n == 0) return;  // an empty chunk may have no bytes at all (a null pointer)
    const std::uint64_t a = alignment;
    if (fill > 0) {
        if (fill + n < a) {
            std::memcpy(buffer.data() + fill, p, n);
            fill += n;
            return;
        }
        const std::uint64_t k = a - fill;
        std::memcpy(buffer.data() + fill, p, k);
        pass_view(buffer.data(), a);
        const std::uint64_t r = n - k;
        fill = r % a;
        std::memcpy(buffer.data(), p + n - fill, fill);
        if (r - fill > 0) pass_view(p + k, r - fill);
        return;
    }
    fill = n % a;
    if (fill) std::memcpy(buffer.data(), p + n - fill, fill);
    if (n - fill > 0) pass_view(p, n - fill);
}

}  // namespace pytavo
