// The benchmarks' ctypes peer: what a user would write without the module.
// A plain C-ABI library whose producer thread fills chunks like the
// simulator does (counter words, or a CLOCK_MONOTONIC stamp in the first
// eight bytes) and calls a ctypes callback once per chunk, with no queue.
//
// Threads: peer_run starts one producer thread and joins it; ctypes releases
// the interpreter lock around the call and the callback takes it itself
// (ctypes callbacks acquire it on any thread). The chunk is valid only during
// the callback.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>

namespace {

using Callback = void (*)(const unsigned char* data, std::size_t size);

void fill_counter(unsigned char* out, std::size_t size, std::uint64_t first_word) {
    for (std::size_t k = 0; k + 4 <= size; k += 4) {
        const auto word = static_cast<std::uint32_t>(first_word + k / 4);
        std::memcpy(out + k, &word, 4);
    }
}

void stamp(unsigned char* out, std::size_t size) {
    const std::uint64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count();
    if (size >= sizeof now) std::memcpy(out, &now, sizeof now);
}

}  // namespace

// Produces `chunks` chunks of `size` bytes, each a fresh allocation freed
// after its callback. rate 0 produces as fast as possible, counter-filled;
// rate R > 0 paces chunk k to start + k / R and stamps it instead.
extern "C" __attribute__((visibility("default"))) void peer_run(Callback callback, std::size_t size,
                                                                std::uint64_t chunks, std::uint64_t rate) {
    std::thread producer([=] {
        const auto start = std::chrono::steady_clock::now();
        for (std::uint64_t k = 0; k < chunks; ++k) {
            if (rate != 0) std::this_thread::sleep_until(start + std::chrono::nanoseconds(k * 1'000'000'000 / rate));
            std::unique_ptr<unsigned char[]> chunk(new unsigned char[size]);
            if (rate == 0) {
                fill_counter(chunk.get(), size, k * size / 4);
            } else {
                stamp(chunk.get(), size);
            }
            callback(chunk.get(), size);
        }
    });
    producer.join();
}
