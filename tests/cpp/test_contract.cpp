// Tests of the plugin-facing headers: event ownership and layout, the
// device interface's default operations and the device handle's deleter.
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <tavo/device.hpp>

namespace {

namespace events = tavo::DataStream::Events;
using tavo::BasicDeviceStatus;
using tavo::DataStream::Event;

std::atomic<int> releases{0};

void count_release(unsigned char* bytes) {
    releases.fetch_add(1);
    delete[] bytes;
}

TEST(StreamEvents, OwnedDataIsReleasedOnceWhereverItMoves) {
    releases = 0;
    {
        Event first(events::OwnedData{{new unsigned char[4], &count_release}, 4});
        Event second = std::move(first);
        Event third(std::in_place_index<0>);
        third = std::move(second);
        EXPECT_EQ(std::get<2>(third).size, 4u);
        EXPECT_EQ(std::get<2>(first).data, nullptr);
        EXPECT_EQ(releases, 0);
    }
    EXPECT_EQ(releases, 1);

    { Event empty(events::OwnedData{{nullptr, &count_release}, 0}); }
    { events::OwnedData defaulted; }
    { events::OwnedData sized_only{.size = 5}; }
    EXPECT_EQ(releases, 1);
}

// Code written from the field list (data, then size) compiles and owns its
// bytes in every form.
TEST(StreamEvents, OwnedDataIsBuiltFromItsFieldsInOrder) {
    using Owner = std::unique_ptr<unsigned char, events::ReleaseFunction>;
    releases = 0;
    {
        events::OwnedData positional{Owner(new unsigned char[2], &count_release), 2};
        events::OwnedData designated{.data = {new unsigned char[3], &count_release}, .size = 3};
        EXPECT_EQ(positional.size, 2u);
        EXPECT_EQ(designated.size, 3u);
        const Event from_field_list{std::move(positional)};
        EXPECT_EQ(std::get<2>(from_field_list).size, 2u);
#if defined(__cpp_aggregate_paren_init)  // g++ 10, clang++ 16
        const Event in_place{std::in_place_index<2>, std::move(designated.data), designated.size};
        EXPECT_EQ(std::get<2>(in_place).size, 3u);
        EXPECT_EQ(designated.data, nullptr);
#endif
    }
    EXPECT_EQ(releases, 2);
}

TEST(StreamEvents, DataViewCopiesAndAlternativesKeepTheirIndex) {
    unsigned char bytes[3] = {1, 2, 3};
    const events::DataView original{bytes, 3};
    const Event view = original;
    const Event again = std::get<3>(view);  // copies, unlike OwnedData
    EXPECT_EQ(std::get<3>(again).data, bytes);
    EXPECT_EQ(std::get<3>(again).size, 3u);
    EXPECT_EQ(std::get<3>(view).data, bytes);

    EXPECT_EQ(Event(events::Stop{}).index(), 0u);
    EXPECT_EQ(Event(events::Error{"x"}).index(), 1u);
    EXPECT_EQ(Event(events::OwnedData{}).index(), 2u);
    EXPECT_EQ(view.index(), 3u);
}

// A device implementing only the pure operations, with scripted results,
// recording every call so the default bodies' call sequences show.
class ScriptedDevice : public tavo::Device {
public:
    BasicDeviceStatus set_result = BasicDeviceStatus::Success;
    BasicDeviceStatus send_result = BasicDeviceStatus::Success;
    BasicDeviceStatus read_result = BasicDeviceStatus::Success;
    std::vector<std::string> calls;

    BasicDeviceStatus set_register(unsigned addr, unsigned value, unsigned mask) override {
        calls.push_back("set " + std::to_string(addr) + " " + std::to_string(value) + " " + std::to_string(mask));
        return set_result;
    }
    BasicDeviceStatus send_registers() override {
        calls.push_back("send");
        return send_result;
    }
    unsigned get_register(unsigned addr) override {
        calls.push_back("get " + std::to_string(addr));
        return addr * 10;
    }
    BasicDeviceStatus read_registers() override {
        calls.push_back("read");
        return read_result;
    }
    BasicDeviceStatus trigger(unsigned, std::int32_t) override { return BasicDeviceStatus::Success; }
    std::size_t write(unsigned, std::size_t length, const unsigned char*) override { return length; }
    std::size_t read(unsigned, std::size_t length, unsigned char*) override { return length; }
};

TEST(DeviceDefaults, SetRegisterSyncReportsOnlyTheSend) {
    ScriptedDevice device;
    device.set_result = BasicDeviceStatus::Failure;
    EXPECT_EQ(device.set_register_sync(1, 2, 3), BasicDeviceStatus::Success);
    device.set_result = BasicDeviceStatus::Success;
    device.send_result = static_cast<BasicDeviceStatus>(5);
    EXPECT_EQ(device.set_register_sync(4, 5, 6), static_cast<BasicDeviceStatus>(5));
    EXPECT_EQ(device.calls, (std::vector<std::string>{"set 1 2 3", "send", "set 4 5 6", "send"}));
}

TEST(DeviceDefaults, GetRegisterSyncReadsFirstAndSkipsGetOnFailure) {
    ScriptedDevice device;
    EXPECT_EQ(device.get_register_sync(7), 70u);
    device.read_result = BasicDeviceStatus::Failure;
    EXPECT_EQ(device.get_register_sync(8), std::nullopt);
    EXPECT_EQ(device.calls, (std::vector<std::string>{"read", "get 7", "read"}));
}

TEST(DeviceDefaults, NoStreamAndNoTextsByDefault) {
    ScriptedDevice device;
    int delivered = 0;
    tavo::Device::Sink sink = [&delivered](Event&&) { ++delivered; };
    EXPECT_EQ(device.start_read_stream(0, std::move(sink), 0), std::nullopt);
    ASSERT_TRUE(sink);  // the sink stayed with the caller
    sink(events::Stop{});
    EXPECT_EQ(delivered, 1);
    EXPECT_EQ(device.get_status(), std::nullopt);
    EXPECT_EQ(device.get_info(), std::nullopt);
}

// Records its own deletion, so the deleter's order shows.
class RecordingDevice final : public ScriptedDevice {
public:
    explicit RecordingDevice(std::vector<std::string>& log) : log(log) {}
    ~RecordingDevice() override { log.push_back("device deleted"); }

private:
    std::vector<std::string>& log;
};

TEST(DeviceHandle, DeviceIsDeletedBeforeKeepAliveIsReleased) {
    std::vector<std::string> log;
    {
        std::shared_ptr<const void> owner(new int(0), [&log](const int* value) {
            log.push_back("keep_alive released");
            delete value;
        });
        auto handle = tavo::make_device<RecordingDevice>(std::move(owner), log);
        EXPECT_TRUE(log.empty());
    }
    EXPECT_EQ(log, (std::vector<std::string>{"device deleted", "keep_alive released"}));
}

TEST(DeviceHandle, EmptyKeepAliveDeletesOnlyTheDevice) {
    std::vector<std::string> log;
    tavo::make_device<RecordingDevice>(nullptr, log).reset();
    EXPECT_EQ(log, std::vector<std::string>{"device deleted"});
}

}  // namespace
