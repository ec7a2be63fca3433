// tp_faults: a Device Manager whose every operation can be told to fail, for
// the fault-matrix tests of the binding.
//
// A fault is armed for one operation and fires on that operation's next call
// only, so the test can call again and see the object still works. Kinds:
//   runtime    throw std::runtime_error("<op>: <text>"), text from text=...
//   bad_alloc  throw std::bad_alloc
//   int        throw 7 (not derived from std::exception)
//   range      return an out-of-range value: status 7, register 0xFFFFFFFF,
//              count 2^64-1, texts that are not UTF-8
//   taken      start_read_stream only: take the sink, then throw
//              runtime_error (the sink is handed to a thread of ours that
//              pushes Stop and destroys it, as the contract asks)
//   segv       crash the process with SIGSEGV (for a plugin served by
//              tavo-server, whose crash must not reach the client)
//
// Arming: a device's faults come with its name,
//   "faults[:<op>=<kind>,...,text=<text>]"
// where <op> is a device operation (set_register_sync, set_register,
// send_registers, get_register_sync, get_register, read_registers, trigger,
// write, read, start_read_stream, get_status, get_info) or a stream handle's
// "stop". trigger(0xFA17, <kind index>) re-arms every fault of the name. The
// manager's own operations are armed with create_device("arm:<op>=<kind>"),
// which returns an empty handle; create_device itself fails with
// create_device("fail:<kind>").
//
// Successful results: Success, register addr + 1, counts = length, status
// "ok", info "tp_faults device", a stream of four 16-byte chunks (byte k is k
// mod 256) and one empty chunk with null data after the first, that ends
// with Stop when stopped.
//
// Threads: device operations run on the caller's thread with the interpreter
// lock held, except handle stop(); create_device runs without the lock,
// concurrently with the manager's other operations, hence the manager's
// mutex. A handle's producer thread is the only user of the sink until it is
// joined.
#include <dlfcn.h>

#include <atomic>
#include <csignal>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include <tavo/device_manager.hpp>

namespace {

using tavo::BasicDeviceStatus;
namespace events = tavo::DataStream::Events;

enum class Fault { none, runtime, bad_alloc, thrown_int, range, taken, segv };

Fault parse_fault(std::string_view kind) {
    if (kind == "runtime") return Fault::runtime;
    if (kind == "bad_alloc") return Fault::bad_alloc;
    if (kind == "int") return Fault::thrown_int;
    if (kind == "range") return Fault::range;
    if (kind == "taken") return Fault::taken;
    if (kind == "segv") return Fault::segv;
    throw std::runtime_error("tp_faults: unknown fault kind '" + std::string(kind) + "'");
}

const std::string bad_utf8 = "bad \xff\xfe text";

// The faults armed for a set of operations, each firing once.
class FaultTable {
public:
    void arm(std::string op, Fault fault) {
        std::lock_guard lock(mutex);
        armed[op] = fault;
        planned[std::move(op)] = fault;
    }
    void rearm() {
        std::lock_guard lock(mutex);
        armed = planned;
    }
    void set_text(std::string value) {
        std::lock_guard lock(mutex);
        text = std::move(value);
    }

    // Takes the fault armed for `op`; throws it unless it is `range` or
    // `taken`, which the caller acts out.
    Fault fire(const std::string& op) {
        Fault fault = Fault::none;
        std::string message;
        {
            std::lock_guard lock(mutex);
            const auto found = armed.find(op);
            if (found == armed.end()) return Fault::none;
            fault = found->second;
            armed.erase(found);
            message = op + ": " + text;
        }
        switch (fault) {
        case Fault::runtime: throw std::runtime_error(message);
        case Fault::bad_alloc: throw std::bad_alloc();
        case Fault::thrown_int: throw 7;
        case Fault::segv: std::raise(SIGSEGV); return fault;
        default: return fault;
        }
    }

private:
    std::mutex mutex;  // the stream handle's stop() fires from a thread without the lock
    std::map<std::string, Fault> armed;
    std::map<std::string, Fault> planned;
    std::string text = "injected failure";
};

// Keeps this library mapped for the rest of the process: handles, detached
// sink disposers and chunk release functions may outlive the manager.
std::atomic<int> pin_anchor{0};
void pin_library() {
    Dl_info self{};
    if (dladdr(&pin_anchor, &self) == 0 || self.dli_fname == nullptr) return;
    if (void* handle = dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE)) dlclose(handle);
}

// Ends a sink the device took but will not use: pushes Stop and destroys it
// on a thread of ours, never on the caller's (which holds the interpreter
// lock that the sink's destruction may wait for).
void dispose_on_own_thread(tavo::Device::Sink&& sink) {
    std::thread([sink = std::move(sink)]() mutable {
        sink(events::Stop{});
        sink = nullptr;
    }).detach();
}

class FaultStream final : public tavo::Device::DataStream {
public:
    FaultStream(std::shared_ptr<FaultTable> faults, tavo::Device::Sink&& sink)
        : faults(std::move(faults)), sink(std::move(sink)) {
        producer = std::thread([this] { produce(); });
    }

    ~FaultStream() override {
        end_production();
        sink = nullptr;
    }

    // Runs without the interpreter lock. A fault fires after production has
    // ended, before Stop is pushed: the handle keeps the sink, and its
    // destructor releases it.
    void stop() override {
        end_production();
        faults->fire("stop");
        if (sink && !stop_pushed) {
            stop_pushed = true;
            sink(events::Stop{});
        }
    }

private:
    void end_production() {
        {
            std::lock_guard lock(signal_mutex);
            signalled = true;
        }
        signal.notify_all();
        if (producer.joinable()) producer.join();
    }

    // An empty chunk without bytes (null data, size 0) follows the first: the
    // event type allows it, and consumers must pass it by.
    void produce() {
        for (unsigned chunk = 0; chunk < 4; ++chunk) {
            auto* bytes = new unsigned char[16];
            for (unsigned i = 0; i < 16; ++i) bytes[i] = static_cast<unsigned char>(chunk * 16 + i);
            sink(events::OwnedData{{bytes, &tavo::DataStream::release_array}, 16});
            if (chunk == 0) sink(tavo::DataStream::Event(std::in_place_index<2>));
        }
        std::unique_lock lock(signal_mutex);
        signal.wait(lock, [this] { return signalled; });
    }

    std::shared_ptr<FaultTable> faults;
    tavo::Device::Sink sink;
    bool stop_pushed = false;  // the caller of stop()'s, after the join
    std::mutex signal_mutex;
    std::condition_variable signal;
    bool signalled = false;
    std::thread producer;  // last: starts after everything it uses exists
};

class FaultDevice final : public tavo::Device {
public:
    explicit FaultDevice(std::shared_ptr<FaultTable> faults) : faults(std::move(faults)) {}

    BasicDeviceStatus set_register_sync(unsigned addr, unsigned value, unsigned mask) override {
        return status("set_register_sync", addr + value + mask);
    }
    BasicDeviceStatus set_register(unsigned addr, unsigned value, unsigned mask) override {
        return status("set_register", addr + value + mask);
    }
    BasicDeviceStatus send_registers() override { return status("send_registers", 0); }
    std::optional<unsigned> get_register_sync(unsigned addr) override {
        if (faults->fire("get_register_sync") == Fault::range) return std::numeric_limits<unsigned>::max();
        return addr + 1;
    }
    unsigned get_register(unsigned addr) override {
        if (faults->fire("get_register") == Fault::range) return std::numeric_limits<unsigned>::max();
        return addr + 1;
    }
    BasicDeviceStatus read_registers() override { return status("read_registers", 0); }
    BasicDeviceStatus trigger(unsigned addr, std::int32_t value) override {
        if (addr == 0xFA17 && value == 0) faults->rearm();
        return status("trigger", addr);
    }
    std::size_t write(unsigned, std::size_t length, const unsigned char*) override {
        return count("write", length);
    }
    std::size_t read(unsigned, std::size_t length, unsigned char* data) override {
        for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<unsigned char>(i);
        return count("read", length);
    }

    std::optional<std::unique_ptr<DataStream>> start_read_stream(unsigned, Sink&& sink, std::size_t) override {
        if (faults->fire("start_read_stream") == Fault::taken) {
            dispose_on_own_thread(std::move(sink));
            throw std::runtime_error("start_read_stream: sink taken, then failed");
        }
        return std::make_unique<FaultStream>(faults, std::move(sink));
    }

    std::optional<std::string> get_status() override { return text("get_status", "ok"); }
    std::optional<std::string> get_info() override { return text("get_info", "tp_faults device"); }

private:
    BasicDeviceStatus status(const std::string& op, unsigned) {
        if (faults->fire(op) == Fault::range) return static_cast<BasicDeviceStatus>(7);
        return BasicDeviceStatus::Success;
    }
    std::size_t count(const std::string& op, std::size_t length) {
        if (faults->fire(op) == Fault::range) return std::numeric_limits<std::size_t>::max();
        return length;
    }
    std::optional<std::string> text(const std::string& op, const char* good) {
        if (faults->fire(op) == Fault::range) return bad_utf8;
        return std::string(good);
    }

    const std::shared_ptr<FaultTable> faults;
};

// Splits "key=value,key=value" into the faults of a table.
void arm_from_list(FaultTable& table, std::string_view list) {
    while (!list.empty()) {
        const auto comma = list.find(',');
        const auto option = list.substr(0, comma);
        list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
        const auto equals = option.find('=');
        if (equals == std::string_view::npos) {
            throw std::runtime_error("tp_faults: option without value '" + std::string(option) + "'");
        }
        const auto key = option.substr(0, equals);
        const auto value = option.substr(equals + 1);
        if (key == "text") table.set_text(std::string(value));
        else table.arm(std::string(key), parse_fault(value));
    }
}

class FaultManager final : public tavo::DeviceManager {
public:
    std::string info() override { return text("info", "tp_faults manager"); }
    std::filesystem::path location() override {
        if (faults.fire("location") == Fault::range) return std::filesystem::path(bad_utf8);
        return "/tmp/tp_faults";
    }
    std::string list_devices() override { return text("list_devices", "faults\n"); }
    std::string get_device_options() override { return text("get_device_options", "faults:<op>=<kind>,...\n"); }

    // Runs without the interpreter lock.
    tavo::DeviceHandle create_device(const std::string& name) override {
        const std::string_view view = name;
        if (view.starts_with("arm:")) {
            arm_from_list(faults, view.substr(4));
            return {};
        }
        if (view.starts_with("fail:")) {
            faults.arm("create_device", parse_fault(view.substr(5)));
            if (faults.fire("create_device") == Fault::range) return {};
        }
        auto device_faults = std::make_shared<FaultTable>();
        if (view.starts_with("faults:")) arm_from_list(*device_faults, view.substr(7));
        else if (view != "faults") throw std::runtime_error("tp_faults: unknown device '" + name + "'");
        return tavo::make_device<FaultDevice>(shared_from_this(), std::move(device_faults));
    }

private:
    std::string text(const std::string& op, const char* good) {
        if (faults.fire(op) == Fault::range) return bad_utf8;
        return good;
    }

    FaultTable faults;
};

tavo::DeviceManager* make_manager() {
    pin_library();
    return new FaultManager;
}

}  // namespace

TAVO_DEVICE_MANAGER_ENTRY(make_manager);
