// tp_probe: a scriptable Device Manager for the binding's tests.
//
// The device name chooses the behaviour. "probe[:key=value,...]" makes a
// ProbeDevice whose results, texts and read stream follow the options; other
// names make the manager change itself or fail: "set-info:<hex>" and
// "set-location:<hex>" replace info() / location() bytes, "throw:<text>",
// "bad-alloc" and "throw-int" throw, "" and "none" give an empty handle.
// get_info reports what the device saw (last call, stop calls, destroyed
// handles, chunk counters), so a test checks what crossed the boundary.
//
// Stream scripts ('/'-separated): owned:<n>, view:<n>, repeat:<k>:<n>,
// error:<text>, remote_drops:<n> (the error text of a remote device's own
// overflow, "Remote queue overflow, dropping <n> events"), stop, sleep:<ms>,
// wait. Data byte k of a stream is k mod 251,
// counted across all data items. "wait" blocks until stop() or the handle's
// destructor signals the producer; "sleep" ends early on that signal too, so
// dropping a handle never waits out a long sleep.
//
// Ownership: a device and its stream handles share one ProbeState, so a
// handle may outlive its device. Chunk counters are process-wide: chunks
// outlive every object here (the consumer frees them, on any thread). The
// library pins itself on the first factory call, since handles and release
// functions may run after the manager's last owner has closed it.
//
// Threads: device operations run on the caller's thread. Each running stream
// has one producer thread, the only caller of the sink until stop() or the
// destructor has joined it; after that the caller of those owns the sink.
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <tavo/device_manager.hpp>

namespace {

namespace events = tavo::DataStream::Events;
using tavo::BasicDeviceStatus;

std::atomic<std::uint64_t> chunks_allocated{0};
std::atomic<std::uint64_t> chunks_released{0};
std::atomic<std::uintptr_t> last_chunk{0};
std::atomic<std::int64_t> devices_alive{0};

void release_chunk(unsigned char* bytes) noexcept {
    chunks_released.fetch_add(1);
    delete[] bytes;
}

[[noreturn]] void refuse(std::string_view what, std::string_view text) {
    throw std::runtime_error("probe: " + std::string(what) + ": " + std::string(text));
}

std::string to_hex(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const unsigned char byte : bytes) {
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return hex;
}

template <typename Number>
Number parse_number(std::string_view text, int base = 10) {
    Number value{};
    const auto* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || error != std::errc{} || stop != end) refuse("bad number", text);
    return value;
}

std::string from_hex(std::string_view hex) {
    if (hex.size() % 2 != 0) refuse("odd hex length", hex);
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        bytes += static_cast<char>(parse_number<unsigned>(hex.substr(i, 2), 16));
    }
    return bytes;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const auto end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

struct ScriptItem {
    enum class Kind { owned, view, error, stop, sleep, wait } kind;
    std::uint64_t size = 0;   // bytes of a data item, milliseconds of a sleep
    std::uint64_t times = 1;  // how often an owned item repeats
    std::string text;
};

std::vector<ScriptItem> parse_script(std::string_view script) {
    using Kind = ScriptItem::Kind;
    std::vector<ScriptItem> items;
    for (const auto item : split(script, '/')) {
        const auto colon = item.find(':');
        const auto verb = item.substr(0, colon);
        const auto operand = colon == std::string_view::npos ? std::string_view{} : item.substr(colon + 1);
        if (verb == "owned") {
            items.push_back({Kind::owned, parse_number<std::uint64_t>(operand), 1, {}});
        } else if (verb == "view") {
            items.push_back({Kind::view, parse_number<std::uint64_t>(operand), 1, {}});
        } else if (verb == "repeat") {
            const auto parts = split(operand, ':');
            if (parts.size() != 2) refuse("bad repeat", item);
            items.push_back({Kind::owned, parse_number<std::uint64_t>(parts[1]), parse_number<std::uint64_t>(parts[0]), {}});
        } else if (verb == "error") {
            items.push_back({Kind::error, 0, 1, std::string(operand)});
        } else if (verb == "remote_drops") {
            items.push_back({Kind::error, 0, 1, "Remote queue overflow, dropping " + std::string(operand) + " events"});
        } else if (item == "stop") {
            items.push_back({Kind::stop, 0, 1, {}});
        } else if (verb == "sleep") {
            items.push_back({Kind::sleep, parse_number<std::uint64_t>(operand), 1, {}});
        } else if (item == "wait") {
            items.push_back({Kind::wait, 0, 1, {}});
        } else {
            refuse("unknown script item", item);
        }
    }
    return items;
}

enum class StreamMode { none, null, refuse, run };
enum class StopMode { push, destroy, nothing };

struct ProbeOptions {
    std::int32_t status = 0;
    std::uint32_t reg = 0;
    std::optional<std::uint64_t> count;  // empty: the length of the call
    unsigned char fill = 0xAB;
    std::optional<std::string> status_text = "probe ok";
    bool bad_utf8 = false;
    StreamMode stream = StreamMode::run;
    std::vector<ScriptItem> script = parse_script("stop");
    StopMode on_stop = StopMode::push;
    std::uint32_t create_ms = 0;  // create_device takes this long
};

ProbeOptions parse_options(std::string_view list) {
    ProbeOptions options;
    if (list.empty()) return options;
    for (const auto option : split(list, ',')) {
        const auto equals = option.find('=');
        if (equals == std::string_view::npos) refuse("option without value", option);
        const auto key = option.substr(0, equals);
        const auto value = option.substr(equals + 1);
        if (key == "status") {
            options.status = parse_number<std::int32_t>(value);
        } else if (key == "reg") {
            options.reg = parse_number<std::uint32_t>(value);
        } else if (key == "count") {
            options.count = value == "length" ? std::nullopt : std::optional{parse_number<std::uint64_t>(value)};
        } else if (key == "fill") {
            options.fill = parse_number<unsigned char>(value);
        } else if (key == "status_text") {
            options.status_text = value == "none" ? std::nullopt : std::optional<std::string>(value);
        } else if (key == "bad_utf8") {
            options.bad_utf8 = value == "1";
        } else if (key == "stream") {
            if (value == "none") options.stream = StreamMode::none;
            else if (value == "null") options.stream = StreamMode::null;
            else if (value == "throw") options.stream = StreamMode::refuse;
            else if (value == "run") options.stream = StreamMode::run;
            else refuse("unknown stream mode", value);
        } else if (key == "script") {
            options.script = parse_script(value);
        } else if (key == "create_ms") {
            options.create_ms = parse_number<std::uint32_t>(value);
        } else if (key == "on_stop") {
            if (value == "push") options.on_stop = StopMode::push;
            else if (value == "destroy") options.on_stop = StopMode::destroy;
            else if (value == "nothing") options.on_stop = StopMode::nothing;
            else refuse("unknown on_stop mode", value);
        } else {
            refuse("unknown option", key);
        }
    }
    return options;
}

// What one device and its stream handles observed. Device operations and
// handle calls may come from different threads.
class ProbeState {
public:
    explicit ProbeState(std::string name) : name_hex(to_hex(name)) {}

    void record(std::string call) {
        std::lock_guard lock(mutex);
        last_call = std::move(call);
    }

    std::string report() {
        std::lock_guard lock(mutex);
        return "name_hex=" + name_hex + "\nlast_call=" + last_call +
               "\nstop_calls=" + std::to_string(stop_calls.load()) +
               "\nhandles_destroyed=" + std::to_string(handles_destroyed.load()) +
               "\nchunks_allocated=" + std::to_string(chunks_allocated.load()) +
               "\nchunks_released=" + std::to_string(chunks_released.load()) +
               "\nlast_chunk=" + hex_address(last_chunk.load()) +
               "\ndevices_alive=" + std::to_string(devices_alive.load()) + "\n";
    }

    std::atomic<std::uint64_t> stop_calls{0};
    std::atomic<std::uint64_t> handles_destroyed{0};

private:
    static std::string hex_address(std::uintptr_t address) {
        char text[2 * sizeof address + 1];
        const auto end = std::to_chars(text, text + sizeof text, address, 16).ptr;
        return std::string(text, end);
    }

    const std::string name_hex;
    std::mutex mutex;  // guards last_call
    std::string last_call;
};

class ProbeStream final : public tavo::Device::DataStream {
public:
    ProbeStream(std::shared_ptr<ProbeState> state, tavo::Device::Sink&& sink, std::vector<ScriptItem> script,
                StopMode on_stop)
        : state(std::move(state)), sink(std::move(sink)), on_stop(on_stop) {
        producer = std::thread([this, script = std::move(script)] { produce(script); });
    }

    // The sink goes only after the producer is joined: it is the producer's
    // until then.
    ~ProbeStream() override {
        end_production();
        sink = nullptr;
        state->handles_destroyed.fetch_add(1);
    }

    void stop() override {
        end_production();
        // The producer is joined: stop_pushed and the sink are ours now.
        if (on_stop == StopMode::push && sink && !stop_pushed) {
            stop_pushed = true;
            sink(events::Stop{});
        } else if (on_stop == StopMode::destroy) {
            sink = nullptr;
        }
        state->stop_calls.fetch_add(1);
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

    // Returns early once signalled; no timeout waits for the signal alone.
    void wait_for_signal(std::optional<std::chrono::milliseconds> timeout) {
        std::unique_lock lock(signal_mutex);
        if (timeout) signal.wait_for(lock, *timeout, [this] { return signalled; });
        else signal.wait(lock, [this] { return signalled; });
    }

    void fill_pattern(unsigned char* bytes, std::uint64_t size) {
        for (std::uint64_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>((offset + i) % 251);
        offset += size;
    }

    void push_owned(std::uint64_t size) {
        auto* bytes = new unsigned char[size];
        chunks_allocated.fetch_add(1);
        last_chunk.store(reinterpret_cast<std::uintptr_t>(bytes));
        fill_pattern(bytes, size);
        sink(events::OwnedData{{bytes, &release_chunk}, size});
    }

    // Runs on the producer thread.
    void produce(const std::vector<ScriptItem>& script) {
        using Kind = ScriptItem::Kind;
        std::vector<unsigned char> view_buffer;  // reused, and spoiled after each push
        for (const auto& item : script) {
            switch (item.kind) {
            case Kind::owned:
                for (std::uint64_t i = 0; i < item.times; ++i) push_owned(item.size);
                break;
            case Kind::view:
                view_buffer.resize(item.size);
                fill_pattern(view_buffer.data(), item.size);
                sink(events::DataView{view_buffer.data(), item.size});
                std::fill(view_buffer.begin(), view_buffer.end(), 0xEE);
                break;
            case Kind::error:
                sink(events::Error{item.text});
                break;
            case Kind::stop:
                sink(events::Stop{});
                stop_pushed = true;
                break;
            case Kind::sleep:
                wait_for_signal(std::chrono::milliseconds(item.size));
                break;
            case Kind::wait:
                wait_for_signal(std::nullopt);
                break;
            }
        }
    }

    std::shared_ptr<ProbeState> state;
    tavo::Device::Sink sink;
    const StopMode on_stop;
    bool stop_pushed = false;  // the producer's until joined
    std::uint64_t offset = 0;  // producer only: data bytes pushed so far
    std::mutex signal_mutex;
    std::condition_variable signal;
    bool signalled = false;
    std::thread producer;  // last: starts after everything it uses exists
};

class ProbeDevice final : public tavo::Device {
public:
    ProbeDevice(std::shared_ptr<ProbeState> state, ProbeOptions options)
        : state(std::move(state)), options(std::move(options)) {
        devices_alive.fetch_add(1);
    }
    ~ProbeDevice() override { devices_alive.fetch_sub(1); }

    BasicDeviceStatus set_register(unsigned addr, unsigned value, unsigned mask) override {
        record("set_register", addr, value, mask);
        return status();
    }
    BasicDeviceStatus send_registers() override {
        state->record("send_registers");
        return status();
    }
    unsigned get_register(unsigned addr) override {
        record("get_register", addr);
        return options.reg;
    }
    BasicDeviceStatus read_registers() override {
        state->record("read_registers");
        return status();
    }
    BasicDeviceStatus trigger(unsigned addr, std::int32_t value) override {
        record("trigger", addr, value);
        return status();
    }
    std::size_t write(unsigned addr, std::size_t length, const unsigned char* data) override {
        record("write", addr, length, length ? std::int64_t{data[0]} : std::int64_t{-1});
        return options.count.value_or(length);
    }
    std::size_t read(unsigned addr, std::size_t length, unsigned char* data) override {
        std::fill_n(data, length, options.fill);
        record("read", addr, length);
        return options.count.value_or(length);
    }

    std::optional<std::unique_ptr<DataStream>> start_read_stream(unsigned addr, Sink&& sink,
                                                                 std::size_t chunk_size) override {
        record("start_read_stream", addr, chunk_size);
        switch (options.stream) {
        case StreamMode::none:
            return std::nullopt;
        case StreamMode::null:
            return std::optional<std::unique_ptr<DataStream>>(std::in_place);
        case StreamMode::refuse:
            throw std::runtime_error("stream refused");
        case StreamMode::run:
            break;
        }
        return std::make_unique<ProbeStream>(state, std::move(sink), options.script, options.on_stop);
    }

    std::optional<std::string> get_status() override {
        if (options.bad_utf8) return std::string("\xff\xfe");
        return options.status_text;
    }
    std::optional<std::string> get_info() override { return state->report(); }

private:
    BasicDeviceStatus status() const { return static_cast<BasicDeviceStatus>(options.status); }

    template <typename... Operands>
    void record(const char* call, Operands... operands) {
        std::string text = call;
        ((text += ' ', text += std::to_string(operands)), ...);
        state->record(std::move(text));
    }

    const std::shared_ptr<ProbeState> state;
    const ProbeOptions options;
};

// Keeps this library mapped for the rest of the process: stream handles and
// chunk release functions may run after the loader has closed it.
void pin_library() {
    Dl_info self{};
    if (dladdr(&devices_alive, &self) == 0 || self.dli_fname == nullptr) return;
    if (void* handle = dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE)) dlclose(handle);
}

class ProbeManager final : public tavo::DeviceManager {
public:
    std::string info() override {
        std::lock_guard lock(mutex);
        return info_bytes;
    }
    std::filesystem::path location() override {
        std::lock_guard lock(mutex);
        return location_bytes;
    }
    std::string list_devices() override { return "probe\n"; }
    std::string get_device_options() override { return "probe:key=value,...\n"; }

    // Runs without the interpreter lock, concurrently with info()/location().
    tavo::DeviceHandle create_device(const std::string& name) override {
        const std::string_view text = name;
        if (text.empty() || text == "none") return {};
        if (text.starts_with("set-info:")) {
            auto bytes = from_hex(text.substr(9));
            std::lock_guard lock(mutex);
            info_bytes = std::move(bytes);
            return {};
        }
        if (text.starts_with("set-location:")) {
            auto bytes = from_hex(text.substr(13));
            std::lock_guard lock(mutex);
            location_bytes = std::move(bytes);
            return {};
        }
        if (text.starts_with("throw:")) throw std::runtime_error(std::string(text.substr(6)));
        if (text == "bad-alloc") throw std::bad_alloc();
        if (text == "throw-int") throw 7;

        std::string_view option_list;
        if (text.starts_with("probe:")) option_list = text.substr(6);
        else if (text != "probe") refuse("unknown device", text);
        auto options = parse_options(option_list);
        if (options.create_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(options.create_ms));
        return tavo::make_device<ProbeDevice>(shared_from_this(), std::make_shared<ProbeState>(name),
                                              std::move(options));
    }

private:
    std::mutex mutex;  // guards both byte strings
    std::string info_bytes = "probe manager";
    std::string location_bytes = "/tmp/probe-location";
};

tavo::DeviceManager* make_manager() {
    pin_library();
    return new ProbeManager;
}

}  // namespace

TAVO_DEVICE_MANAGER_ENTRY(make_manager);
