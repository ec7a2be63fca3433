// The latency benchmark's plugin: one device whose read stream pushes
// OwnedData chunks at a fixed rate, each starting with its push time as a
// little-endian uint64 of std::chrono::steady_clock nanoseconds (the clock
// of Python's time.monotonic_ns), taken just before the sink call.
//
// Device name: `stamp:rate=<chunks per second>,chunks=<count>`; both are
// required. Register, bulk and trigger operations fail: the device streams
// only.
//
// Threads: each stream has one producer thread, the only caller of the sink
// until it is joined; then stop() (or the destructor) pushes Stop unless the
// producer already did, on the stopping thread. The handle owns the sink and
// destroys it in its destructor, after the producer is joined.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <tavo/device_manager.hpp>

namespace {

using tavo::BasicDeviceStatus;
using Clock = std::chrono::steady_clock;
namespace Events = tavo::DataStream::Events;

struct Plan {
    unsigned rate;
    unsigned chunks;
    std::size_t chunk_size;
};

class StampStream final : public tavo::Device::DataStream {
public:
    StampStream(Plan plan, tavo::Device::Sink&& sink) : sink(std::move(sink)) {
        producer = std::jthread([this, plan](std::stop_token token) { produce(token, plan); });
    }
    ~StampStream() override { stop(); }

    void stop() override {
        std::lock_guard lock(stopping);
        if (stopped) return;
        producer.request_stop();
        producer.join();
        if (!pushed_stop) sink(Events::Stop{});
        stopped = true;
    }

private:
    void produce(const std::stop_token& token, Plan plan) {
        const auto start = Clock::now();
        std::mutex pacing;
        std::condition_variable_any wake;
        for (unsigned k = 0; k < plan.chunks; ++k) {
            const auto due = start + std::chrono::nanoseconds(std::uint64_t{k} * 1'000'000'000 / plan.rate);
            std::unique_lock lock(pacing);
            if (wake.wait_until(lock, token, due, [] { return false; }) || token.stop_requested()) return;
            lock.unlock();
            auto* bytes = new unsigned char[plan.chunk_size]();
            const std::uint64_t now =
                std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
            std::memcpy(bytes, &now, sizeof now);
            sink(Events::OwnedData{{bytes, &tavo::DataStream::release_array}, plan.chunk_size});
        }
        sink(Events::Stop{});
        pushed_stop = true;  // read by stop() after the join
    }

    tavo::Device::Sink sink;
    std::jthread producer;
    std::mutex stopping;  // serialises concurrent stop() calls
    bool stopped = false;
    bool pushed_stop = false;
};

class StampDevice final : public tavo::Device {
public:
    StampDevice(unsigned rate, unsigned chunks) : rate(rate), chunks(chunks) {}

    BasicDeviceStatus set_register(unsigned, unsigned, unsigned) override { return BasicDeviceStatus::Failure; }
    BasicDeviceStatus send_registers() override { return BasicDeviceStatus::Failure; }
    unsigned get_register(unsigned) override { return 0; }
    BasicDeviceStatus read_registers() override { return BasicDeviceStatus::Failure; }
    BasicDeviceStatus trigger(unsigned, std::int32_t) override { return BasicDeviceStatus::Failure; }
    std::size_t write(unsigned, std::size_t, const unsigned char*) override { return 0; }
    std::size_t read(unsigned, std::size_t, unsigned char*) override { return 0; }

    std::optional<std::unique_ptr<DataStream>> start_read_stream(unsigned, Sink&& sink,
                                                                 std::size_t chunk_size) override {
        const Plan plan{rate, chunks, chunk_size < 8 ? 8 : chunk_size};
        return std::make_unique<StampStream>(plan, std::move(sink));
    }

private:
    unsigned rate;
    unsigned chunks;
};

class StampManager final : public tavo::DeviceManager {
public:
    std::string info() override { return "TAVO benchmark stamp plugin"; }
    std::filesystem::path location() override { return {}; }
    std::string list_devices() override { return "stamp\ttime-stamping stream device\n"; }
    std::string get_device_options() override { return "stamp:rate=<1..>,chunks=<n>"; }

    tavo::DeviceHandle create_device(const std::string& name) override {
        unsigned rate = 0;
        unsigned chunks = 0;
        if (std::sscanf(name.c_str(), "stamp:rate=%u,chunks=%u", &rate, &chunks) != 2 || rate == 0) {
            throw std::runtime_error("expected stamp:rate=<R>,chunks=<N> with R > 0");
        }
        // The device's code is this library: keep the manager (and so the
        // library) alive as long as the device.
        return tavo::make_device<StampDevice>(shared_from_this(), rate, chunks);
    }
};

tavo::DeviceManager* make_stamp_manager() { return new StampManager; }

}  // namespace

TAVO_DEVICE_MANAGER_ENTRY(make_stamp_manager);
