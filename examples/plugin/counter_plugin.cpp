// A Device Manager plugin to start from: one device, "counter", with four
// registers, 4 KiB of bulk memory and a read stream of counting bytes.
//
// Threads: the module calls the device with the interpreter lock held, which
// serialises those calls, so the device's own state needs no lock. The
// stream is the exception: its producer thread and stop() (called without
// the lock, possibly from two threads at once) share only the stream object.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <dlfcn.h>

#include <tavo/device_manager.hpp>
#include <tavo/fork_safe_thread.hpp>

namespace {

using Status = tavo::BasicDeviceStatus;
using tavo::DataStream::Event;

class CountingStream final : public tavo::Device::DataStream {
public:
    CountingStream(tavo::Device::Sink&& sink, std::size_t chunk, unsigned char first)
        : sink(std::move(sink)), producer([this, chunk, first](std::stop_token t) { produce(t, chunk, first); }) {}

    // The module calls it without the interpreter lock, so the sink (whose
    // destruction joins the module's worker) may go here, after stop. While
    // the interpreter exits it calls it with the lock held; destroying a sink
    // then leaves the worker behind instead of joining it.
    ~CountingStream() override { stop(); }

    // Keeps the sink, so every chunk pushed before Stop still reaches Python.
    void stop() override {
        std::lock_guard lock(stopping);
        if (!producer.joinable()) return;
        producer.request_stop();
        producer.join();
        sink(Event(tavo::DataStream::Events::Stop{}));  // the producer is gone: one pusher at a time
    }

private:
    void produce(std::stop_token token, std::size_t chunk, unsigned char next) {
        while (!token.stop_requested()) {
            auto* bytes = new (std::nothrow) unsigned char[chunk];
            if (bytes == nullptr) {
                sink(Event(tavo::DataStream::Events::Error{"out of memory"}));
                return;
            }
            for (std::size_t i = 0; i < chunk; ++i) bytes[i] = next++;
            // The event owns the bytes from here; release_array may run on any thread.
            sink(tavo::DataStream::Events::OwnedData{.data = {bytes, &tavo::DataStream::release_array}, .size = chunk});
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    tavo::Device::Sink sink;
    std::mutex stopping;
    // Last: starts once the members it uses exist. A ForkSafeThread, not a
    // std::jthread: a forked child that drops the stream forgets the
    // producer, which does not exist there, instead of joining it.
    tavo::ForkSafeThread producer;
};

class CounterDevice final : public tavo::Device {
public:
    Status set_register(unsigned addr, unsigned value, unsigned mask) override {
        staged.push_back({addr, value, mask});
        return Status::Success;  // checked when sent
    }
    Status send_registers() override {
        auto batch = std::exchange(staged, {});
        for (const auto& w : batch)
            if (w.addr >= registers.size()) return Status::Failure;  // all or nothing
        for (const auto& w : batch) registers[w.addr] = (registers[w.addr] & ~w.mask) | (w.value & w.mask);
        return Status::Success;
    }
    unsigned get_register(unsigned addr) override { return addr < snapshot.size() ? snapshot[addr] : 0; }
    Status read_registers() override {
        snapshot = registers;
        return Status::Success;
    }
    Status trigger(unsigned addr, std::int32_t) override { return addr == 0 ? Status::Success : Status::Failure; }
    std::size_t write(unsigned addr, std::size_t length, const unsigned char* data) override {
        const std::size_t n = addr < memory.size() ? std::min(length, memory.size() - addr) : 0;
        if (n) std::memcpy(memory.data() + addr, data, n);
        return n;
    }
    std::size_t read(unsigned addr, std::size_t length, unsigned char* data) override {
        const std::size_t n = addr < memory.size() ? std::min(length, memory.size() - addr) : 0;
        if (n) std::memcpy(data, memory.data() + addr, n);
        return n;
    }
    // `addr` is the first byte's value; 0 asks for the default chunk size.
    std::optional<std::unique_ptr<DataStream>> start_read_stream(unsigned addr, Sink&& sink,
                                                                 std::size_t chunk_size) override {
        return std::make_unique<CountingStream>(std::move(sink), chunk_size ? chunk_size : 256,
                                                static_cast<unsigned char>(addr));
    }
    std::optional<std::string> get_info() override { return "example counter device, 4 registers"; }

private:
    struct Write { unsigned addr, value, mask; };
    std::vector<Write> staged;
    std::array<unsigned, 4> registers{}, snapshot{};
    std::array<unsigned char, 4096> memory{};
};

class CounterManager final : public tavo::DeviceManager {
public:
    std::string info() override { return "example counter plugin 0.1.0"; }
    std::filesystem::path location() override {
        Dl_info where{};  // the library that holds this code
        return dladdr(reinterpret_cast<void*>(&make), &where) ? where.dli_fname : "";
    }
    std::string list_devices() override { return "counter\texample counter device\n"; }
    std::string get_device_options() override { return "counter (no options)"; }
    tavo::DeviceHandle create_device(const std::string& name) override {
        if (name != "counter") throw std::runtime_error("unknown device '" + name + "'; valid devices: counter");
        // The device holds the manager, whose owner holds this library.
        return tavo::make_device<CounterDevice>(shared_from_this());
    }
    static tavo::DeviceManager* make() { return new CounterManager; }
};

}  // namespace

TAVO_DEVICE_MANAGER_ENTRY(CounterManager::make);
