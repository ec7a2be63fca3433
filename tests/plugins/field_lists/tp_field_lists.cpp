// tp_field_lists: a plugin written from the contract's field lists alone, as
// a vendor would write it without reading the module: events built as
// aggregates with designated initialisers, and devices handed over with an
// empty keep_alive. It is built with g++, with clang++ and with g++
// -fno-gnu-unique; the last two leave nothing that pins the library, so it
// is unloaded as soon as the module lets go of its last owner.
//
// Device "fields": register writes are staged and applied on send, bulk
// memory of 64 bytes, and a stream that pushes its whole script from
// start_read_stream (a push never waits) and keeps the sink until the handle
// is destroyed.
#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

#include <tavo/device_manager.hpp>

namespace {

namespace Events = tavo::DataStream::Events;
using tavo::BasicDeviceStatus;
using tavo::DataStream::Event;

void release_chunk(unsigned char* bytes) { delete[] bytes; }

class ScriptedStream final : public tavo::Device::DataStream {
public:
    explicit ScriptedStream(tavo::Device::Sink&& sink) : sink(std::move(sink)) {
        auto* bytes = new unsigned char[4]{1, 2, 3, 4};
        this->sink(Event{Events::OwnedData{.data = {bytes, &release_chunk}, .size = 4}});
        this->sink(Event{Events::Error{.message = "fields: scripted error"}});
        this->sink(Event{Events::DataView{.data = view.data(), .size = view.size()}});
        this->sink(Event{Events::Stop{}});
    }
    // The script ended with Stop; nothing is left to stop.
    void stop() override {}

private:
    std::array<unsigned char, 3> view{7, 8, 9};
    tavo::Device::Sink sink;  // destroyed with the handle, never under the interpreter lock
};

class FieldsDevice final : public tavo::Device {
public:
    BasicDeviceStatus set_register(unsigned addr, unsigned value, unsigned) override {
        staged.push_back({addr, value});
        return BasicDeviceStatus::Success;
    }
    BasicDeviceStatus send_registers() override {
        for (const auto& [addr, value] : std::exchange(staged, {})) registers.at(addr % registers.size()) = value;
        return BasicDeviceStatus::Success;
    }
    unsigned get_register(unsigned addr) override { return registers.at(addr % registers.size()); }
    BasicDeviceStatus read_registers() override { return BasicDeviceStatus::Success; }
    BasicDeviceStatus trigger(unsigned addr, std::int32_t) override {
        return addr == 0 ? BasicDeviceStatus::Success : BasicDeviceStatus::Failure;
    }
    std::size_t write(unsigned, std::size_t length, const unsigned char* data) override {
        const std::size_t n = std::min(length, memory.size());
        std::memcpy(memory.data(), data, n);
        return n;
    }
    std::size_t read(unsigned, std::size_t length, unsigned char* data) override {
        const std::size_t n = std::min(length, memory.size());
        std::memcpy(data, memory.data(), n);
        return n;
    }
    std::optional<std::unique_ptr<DataStream>> start_read_stream(unsigned, Sink&& sink, std::size_t) override {
        return std::make_unique<ScriptedStream>(std::move(sink));
    }
    std::optional<std::string> get_info() override { return "fields device"; }

private:
    struct Staged {
        unsigned addr, value;
    };
    std::vector<Staged> staged;
    std::array<unsigned, 4> registers{};
    std::array<unsigned char, 64> memory{};
};

class FieldsManager final : public tavo::DeviceManager {
public:
    std::string info() override { return "field lists manager"; }
    std::filesystem::path location() override { return "field-lists"; }
    std::string list_devices() override { return "fields\n"; }
    std::string get_device_options() override { return "fields"; }
    std::unique_ptr<tavo::Device, tavo::device_deleter> create_device(const std::string& name) override {
        if (name != "fields") throw std::runtime_error("no device " + name);
        // Nothing to keep alive, as far as this plugin knows.
        return {new FieldsDevice, tavo::device_deleter{.keep_alive = {}}};
    }
};

tavo::DeviceManager* make_manager() { return new FieldsManager; }

}  // namespace

TAVO_DEVICE_MANAGER_ENTRY(make_manager);
