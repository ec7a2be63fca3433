// The simulator plugin, loaded through the production loader: manager texts
// and errors, register and memory semantics, thread safety, and read streams
// checked byte by byte against the counter pattern.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tavo/device_manager_loader.hpp"

namespace {

using tavo::BasicDeviceStatus;
namespace Events = tavo::DataStream::Events;
using namespace std::chrono_literals;

constexpr unsigned ID = 0x0000, VERSION = 0x0004, MEMORY_SIZE = 0x0008, DEVICE_INDEX = 0x000C;
constexpr unsigned SCRATCH[4] = {0x0010, 0x0014, 0x0018, 0x001C};
constexpr unsigned CONTROL = 0x0020, RATE = 0x0024, CHUNKS = 0x0028, ERROR_EVERY = 0x002C;
constexpr unsigned STATUS = 0x0030, CHUNKS_PRODUCED = 0x0034;
constexpr unsigned TRIGGER_COUNT = 0x0040, LAST_TRIGGER = 0x0044;

std::filesystem::path plugin_path() { return std::filesystem::path(TAVO_PLUGIN_DIR) / "libtavo_sim.so"; }

std::shared_ptr<tavo::DeviceManager> load() {
    auto manager = tavo::get_device_manager(plugin_path());
    if (!manager) throw std::runtime_error("the simulator factory returned null");
    return manager;
}

unsigned read_reg(tavo::Device& device, unsigned addr) { return device.get_register_sync(addr).value(); }

// The expected stream byte at `index` for a stream started with `seed`.
unsigned char counter_byte(std::uint64_t index, std::uint32_t seed) {
    return static_cast<unsigned char>(static_cast<std::uint32_t>(seed + index / 4) >> (8 * (index % 4)));
}

// What a test sink saw. Filled on the producer's thread (or stop()'s),
// read by the test under the same lock.
struct StreamRecord {
    explicit StreamRecord(std::uint32_t stream_seed = 0) : seed(stream_seed) {}

    std::mutex mutex;
    std::condition_variable changed;
    std::uint32_t seed;
    std::uint64_t bytes = 0;
    std::uint64_t owned_chunks = 0;
    std::uint64_t view_chunks = 0;
    std::vector<std::uint64_t> chunk_sizes_seen;  // distinct sizes, in order of appearance
    std::vector<std::string> errors;
    std::vector<std::uint64_t> chunks_before_error;
    int stops = 0;
    bool event_after_stop = false;
    bool content_ok = true;
    std::uint64_t first_bad_byte = 0;
    bool sink_destroyed = false;

    std::uint64_t chunks() const { return owned_chunks + view_chunks; }

    void take(tavo::DataStream::Event&& event) {
        std::lock_guard lock(mutex);
        if (stops > 0) event_after_stop = true;
        switch (event.index()) {
        case 0: ++stops; break;
        case 1:
            errors.push_back(std::get<1>(event).message);
            chunks_before_error.push_back(chunks());
            break;
        case 2: {
            auto& owned = std::get<2>(event);
            check(owned.data.get(), owned.size);
            ++owned_chunks;
            break;
        }
        case 3: {
            auto& view = std::get<3>(event);
            check(view.data, view.size);
            ++view_chunks;
            break;
        }
        }
        changed.notify_all();
    }

    void check(const unsigned char* data, std::uint64_t size) {
        if (chunk_sizes_seen.empty() || chunk_sizes_seen.back() != size) chunk_sizes_seen.push_back(size);
        for (std::uint64_t j = 0; j < size && content_ok; ++j) {
            if (data[j] != counter_byte(bytes + j, seed)) {
                content_ok = false;
                first_bad_byte = bytes + j;
            }
        }
        bytes += size;
    }

    template <typename Predicate>
    bool wait(Predicate done, std::chrono::milliseconds timeout = 5000ms) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return done(*this); });
    }
};

// Marks the record when the sink (and so this guard inside it) is destroyed.
struct SinkGuard {
    std::shared_ptr<StreamRecord> record;
    explicit SinkGuard(std::shared_ptr<StreamRecord> r) : record(std::move(r)) {}
    SinkGuard(SinkGuard&& other) noexcept = default;
    ~SinkGuard() {
        if (!record) return;
        std::lock_guard lock(record->mutex);
        record->sink_destroyed = true;
    }
};

tavo::Device::Sink recording_sink(const std::shared_ptr<StreamRecord>& record) {
    return [guard = SinkGuard(record)](tavo::DataStream::Event&& event) { guard.record->take(std::move(event)); };
}

std::unique_ptr<tavo::Device::DataStream> start(tavo::Device& device, const std::shared_ptr<StreamRecord>& record,
                                                std::size_t chunk_size) {
    auto sink = recording_sink(record);
    auto stream = device.start_read_stream(record->seed, std::move(sink), chunk_size);
    if (!stream || !*stream) throw std::runtime_error("the simulator refused to start a stream");
    return std::move(*stream);
}

// Polls the STATUS register until no stream runs (the producer leaves just
// after pushing its last event).
bool becomes_idle(tavo::Device& device) {
    for (int i = 0; i < 500; ++i) {
        if ((read_reg(device, STATUS) & 1) == 0) return true;
        std::this_thread::sleep_for(2ms);
    }
    return false;
}

// ---------------------------------------------------------------- manager

TEST(SimManager, DescribesItselfAndItsDevices) {
    auto manager = load();
    EXPECT_NE(manager->info().find("simulator"), std::string::npos);
    EXPECT_TRUE(manager->location().is_absolute());
    EXPECT_EQ(manager->location(), std::filesystem::canonical(plugin_path()));
    EXPECT_EQ(manager->list_devices(),
              "sim0\tsimulated acquisition device\nsim1\tsimulated acquisition device\n"
              "sim2\tsimulated acquisition device\nsim3\tsimulated acquisition device\n");
    const auto options = manager->get_device_options();
    for (const char* key : {"memory=", "chunk=", "rate=", "chunks=", "view=", "error_every="}) {
        EXPECT_NE(options.find(key), std::string::npos) << key;
    }
    for (const char* id : {"sim0", "sim1", "sim2", "sim3"}) {
        auto device = manager->create_device(id);
        ASSERT_TRUE(device) << id;
        EXPECT_EQ(read_reg(*device, DEVICE_INDEX), static_cast<unsigned>(id[3] - '0'));
    }
}

TEST(SimManager, RejectsBadNamesWithTheValidChoices) {
    auto manager = load();
    const struct {
        const char* name;
        std::vector<std::string> expected;
    } cases[] = {
        {"sim9", {"unknown device 'sim9'", "valid devices: sim0, sim1, sim2, sim3"}},
        {"", {"unknown device ''"}},
        {"sim0:bogus=1", {"unknown option 'bogus'", "valid options: memory, chunk, rate, chunks, view, error_every"}},
        {"sim0:memory", {"malformed option 'memory'", "key=value"}},
        {"sim0:", {"malformed option ''"}},
        {"sim0:memory=12k", {"malformed value '12k'", "'memory'"}},
        {"sim0:memory=-1", {"malformed value '-1'"}},
        {"sim0:rate=", {"malformed value ''"}},
        {"sim0:memory=1073741825", {"out of range", "'memory'", "0..1073741824"}},
        {"sim0:chunks=99999999999999999999999", {"out of range", "'chunks'"}},
        {"sim0:view=2", {"out of range", "'view'", "0..1"}},
        {"sim0:chunk=0", {"out of range", "'chunk'"}},
        {"sim0:rate=1,rate=2", {"option 'rate' given twice"}},
    };
    for (const auto& c : cases) {
        try {
            (void)manager->create_device(c.name);
            ADD_FAILURE() << "accepted '" << c.name << "'";
        } catch (const std::runtime_error& e) {
            for (const auto& part : c.expected) {
                EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << c.name << ": " << e.what();
            }
        }
    }
}

TEST(SimManager, OptionsSetInitialRegistersAndDevicesAreIndependent) {
    auto manager = load();
    auto device = manager->create_device("sim2:memory=0x10000,chunk=100,rate=50,chunks=7,view=1,error_every=3");
    EXPECT_EQ(read_reg(*device, MEMORY_SIZE), 0x10000u);
    EXPECT_EQ(read_reg(*device, CONTROL), 0b11u);
    EXPECT_EQ(read_reg(*device, RATE), 50u);
    EXPECT_EQ(read_reg(*device, CHUNKS), 7u);
    EXPECT_EQ(read_reg(*device, ERROR_EVERY), 3u);
    EXPECT_NE(device->get_info()->find("memory 65536 bytes"), std::string::npos) << *device->get_info();

    auto plain = manager->create_device("sim2");
    EXPECT_EQ(read_reg(*plain, MEMORY_SIZE), 1u << 20);
    EXPECT_EQ(read_reg(*plain, CONTROL), 0u);
    ASSERT_EQ(device->set_register_sync(SCRATCH[0], 0xAAAA, ~0u), BasicDeviceStatus::Success);
    EXPECT_EQ(read_reg(*plain, SCRATCH[0]), 0u);
}

// ---------------------------------------------------------------- registers

TEST(SimRegisters, MasksStagingAndSnapshot) {
    auto device = load()->create_device("sim0");
    // The snapshot is empty until the first read_registers.
    EXPECT_EQ(device->get_register(ID), 0u);
    ASSERT_EQ(device->read_registers(), BasicDeviceStatus::Success);
    EXPECT_EQ(device->get_register(ID), 0x54415630u);
    EXPECT_EQ(device->get_register(VERSION), 0x00010000u);
    EXPECT_EQ(device->get_register(0x0002), 0u);  // unaligned: unmapped
    EXPECT_EQ(device->get_register(0x1000), 0u);

    ASSERT_EQ(device->set_register_sync(SCRATCH[1], 0x12345678, 0xFFFFFFFF), BasicDeviceStatus::Success);
    ASSERT_EQ(device->set_register_sync(SCRATCH[1], 0x0000AB00, 0x0000FF00), BasicDeviceStatus::Success);
    // Staged writes apply in order, each masked against the previous result.
    EXPECT_EQ(device->set_register(SCRATCH[1], 0xF0000000, 0xF0000000), BasicDeviceStatus::Success);
    EXPECT_EQ(device->set_register(SCRATCH[1], 0x00000000, 0x0000000F), BasicDeviceStatus::Success);
    // Not sent yet, and the snapshot is stale until read_registers.
    EXPECT_EQ(read_reg(*device, SCRATCH[1]), 0x1234AB78u);
    ASSERT_EQ(device->send_registers(), BasicDeviceStatus::Success);
    EXPECT_EQ(device->get_register(SCRATCH[1]), 0x1234AB78u);
    ASSERT_EQ(device->read_registers(), BasicDeviceStatus::Success);
    EXPECT_EQ(device->get_register(SCRATCH[1]), 0xF234AB70u);
    EXPECT_EQ(device->send_registers(), BasicDeviceStatus::Success);  // empty stage
}

TEST(SimRegisters, BatchWithBadAddressAppliesNothing) {
    auto device = load()->create_device("sim0");
    for (unsigned bad : {ID, VERSION, STATUS, CHUNKS_PRODUCED, TRIGGER_COUNT, 0x0050u, 0x0011u}) {
        (void)device->set_register(SCRATCH[0], 0x11, ~0u);
        (void)device->set_register(bad, 0x22, ~0u);
        (void)device->set_register(SCRATCH[2], 0x33, ~0u);
        EXPECT_EQ(device->send_registers(), BasicDeviceStatus::Failure) << std::hex << bad;
        EXPECT_EQ(read_reg(*device, SCRATCH[0]), 0u) << std::hex << bad;
        EXPECT_EQ(read_reg(*device, SCRATCH[2]), 0u) << std::hex << bad;
    }
    EXPECT_EQ(read_reg(*device, ID), 0x54415630u);
    EXPECT_EQ(read_reg(*device, VERSION), 0x00010000u);
    EXPECT_EQ(device->set_register_sync(ID, 0, ~0u), BasicDeviceStatus::Failure);
    // The failed batch was dropped: the next send holds only the new write.
    EXPECT_EQ(device->set_register_sync(SCRATCH[3], 0x44, ~0u), BasicDeviceStatus::Success);
    EXPECT_EQ(read_reg(*device, SCRATCH[0]), 0u);
    EXPECT_EQ(read_reg(*device, SCRATCH[3]), 0x44u);
}

TEST(SimRegisters, TriggerCountsAndKeepsLastValue) {
    auto device = load()->create_device("sim0");
    EXPECT_EQ(device->trigger(0, 7), BasicDeviceStatus::Success);
    EXPECT_EQ(device->trigger(0, -2), BasicDeviceStatus::Success);
    EXPECT_EQ(device->trigger(4, 99), BasicDeviceStatus::Failure);
    EXPECT_EQ(read_reg(*device, TRIGGER_COUNT), 2u);
    EXPECT_EQ(read_reg(*device, LAST_TRIGGER), 0xFFFFFFFEu);
}

// ---------------------------------------------------------------- memory

TEST(SimMemory, BoundsAndRoundTrip) {
    auto manager = load();
    auto device = manager->create_device("sim1");
    const std::size_t size = 1u << 20;
    std::vector<unsigned char> data(16), back(16, 0xEE);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i + 1);

    EXPECT_EQ(device->write(100, data.size(), data.data()), data.size());
    EXPECT_EQ(device->read(100, back.size(), back.data()), back.size());
    EXPECT_EQ(back, data);
    EXPECT_EQ(device->read(200, 4, back.data()), 4u);  // untouched memory is zero
    EXPECT_EQ(back[0] | back[1] | back[2] | back[3], 0);

    EXPECT_EQ(device->write(size - 5, data.size(), data.data()), 5u);
    std::fill(back.begin(), back.end(), 0xEE);
    EXPECT_EQ(device->read(size - 5, back.size(), back.data()), 5u);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 5, back.begin()));
    EXPECT_EQ(back[5], 0xEE);  // nothing written past the short count
    EXPECT_EQ(device->write(size, 1, data.data()), 0u);
    EXPECT_EQ(device->read(size + 1000, 1, back.data()), 0u);

    auto empty = manager->create_device("sim1:memory=0");
    EXPECT_EQ(empty->write(0, 1, data.data()), 0u);
    EXPECT_EQ(empty->read(0, 1, back.data()), 0u);

    auto large = manager->create_device("sim1:memory=268435456");
    EXPECT_EQ(large->write((1u << 28) - 8, 16, data.data()), 8u);
    EXPECT_EQ(large->read((1u << 28) - 8, 16, back.data()), 8u);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 8, back.begin()));
}

// ---------------------------------------------------------------- threads

TEST(SimConcurrency, RegisterBatchesAreNeverSeenTorn) {
    auto device = load()->create_device("sim0");
    // The stage is one per device, so writers serialise their own staging;
    // the reader takes no lock of the test's and must still see whole batches.
    std::mutex staging;
    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, snapshots{0};
    auto writer = [&](unsigned base) {
        for (unsigned n = 0; n < 2000; ++n) {
            std::lock_guard lock(staging);
            for (unsigned addr : SCRATCH) (void)device->set_register(addr, base + n, ~0u);
            (void)device->send_registers();
        }
    };
    std::latch reading(1);
    std::thread reader([&] {
        while (!done.load()) {
            (void)device->read_registers();
            const unsigned first = device->get_register(SCRATCH[0]);
            for (unsigned addr : SCRATCH) torn += device->get_register(addr) != first;
            if (++snapshots == 1) reading.count_down();
        }
    });
    // The writers start once the reader reads, so that the two overlap even
    // on a busy machine that runs the writers first.
    reading.wait();
    std::thread a(writer, 0x10000u), b(writer, 0x20000u);
    std::thread triggers([&] {
        for (int n = 0; n < 1000; ++n) (void)device->trigger(0, n);
    });
    a.join();
    b.join();
    triggers.join();
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(snapshots.load(), 0);
    EXPECT_EQ(read_reg(*device, TRIGGER_COUNT), 1000u);
}

TEST(SimConcurrency, BulkCopiesAreNeverSeenTorn) {
    auto device = load()->create_device("sim0");
    constexpr std::size_t block = 64 * 1024;
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    auto writer = [&](unsigned char fill) {
        std::vector<unsigned char> data(block, fill);
        for (int n = 0; n < 300; ++n) (void)device->write(4096, block, data.data());
    };
    std::thread reader([&] {
        std::vector<unsigned char> back(block);
        while (!done.load()) {
            (void)device->read(4096, block, back.data());
            torn += std::count(back.begin(), back.end(), back[0]) != static_cast<long>(block);
        }
    });
    std::thread a(writer, 0xA1), b(writer, 0xB2);
    a.join();
    b.join();
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}

// ---------------------------------------------------------------- streams

struct FiniteCase {
    std::size_t chunk_size;
    bool view;
    unsigned chunks;
};

std::string finite_case_name(const testing::TestParamInfo<FiniteCase>& info) {
    return (info.param.view ? "View" : "Owned") + std::to_string(info.param.chunk_size);
}

class SimFiniteStream : public testing::TestWithParam<FiniteCase> {};

TEST_P(SimFiniteStream, DeliversTheCounterSequenceThenOneStop) {
    const auto param = GetParam();
    auto device = load()->create_device("sim0:chunks=" + std::to_string(param.chunks) +
                                        ",view=" + std::to_string(param.view ? 1 : 0));
    auto record = std::make_shared<StreamRecord>(0xFFFFFFF0u);  // the counter wraps
    auto stream = start(*device, record, param.chunk_size);
    ASSERT_TRUE(record->wait([](auto& r) { return r.stops > 0; }));
    ASSERT_TRUE(becomes_idle(*device));
    stream->stop();  // after the producer's own Stop: pushes nothing more
    stream.reset();

    std::lock_guard lock(record->mutex);
    EXPECT_EQ(record->stops, 1);
    EXPECT_FALSE(record->event_after_stop);
    EXPECT_TRUE(record->content_ok) << "first bad byte " << record->first_bad_byte;
    EXPECT_EQ(record->chunks(), param.chunks);
    EXPECT_EQ(param.view ? record->view_chunks : record->owned_chunks, param.chunks);
    EXPECT_EQ(record->bytes, std::uint64_t{param.chunks} * param.chunk_size);
    EXPECT_EQ(record->chunk_sizes_seen, std::vector<std::uint64_t>{param.chunk_size});
    EXPECT_TRUE(record->errors.empty());
    EXPECT_TRUE(record->sink_destroyed);
    EXPECT_EQ(read_reg(*device, CHUNKS_PRODUCED), param.chunks);
}

INSTANTIATE_TEST_SUITE_P(ChunkSizesAndModes, SimFiniteStream,
                         testing::Values(FiniteCase{1, false, 3001}, FiniteCase{3, false, 1001},
                                         FiniteCase{4096, false, 64}, FiniteCase{4099, false, 64},
                                         FiniteCase{1, true, 3001}, FiniteCase{3, true, 1001},
                                         FiniteCase{4096, true, 64}, FiniteCase{4099, true, 64},
                                         // sizes whose chunks are recycled
                                         FiniteCase{16384, false, 300}, FiniteCase{65537, false, 200}),
                         finite_case_name);

TEST(SimStream, InjectsErrorsWithoutBreakingTheData) {
    auto device = load()->create_device("sim3:chunks=10,error_every=3");
    auto record = std::make_shared<StreamRecord>();
    auto stream = start(*device, record, 5);
    ASSERT_TRUE(record->wait([](auto& r) { return r.stops > 0; }));
    std::lock_guard lock(record->mutex);
    EXPECT_EQ(record->errors, (std::vector<std::string>{"simulated error at chunk 3", "simulated error at chunk 6",
                                                        "simulated error at chunk 9"}));
    EXPECT_EQ(record->chunks_before_error, (std::vector<std::uint64_t>{3, 6, 9}));
    EXPECT_EQ(record->chunks(), 10u);
    EXPECT_TRUE(record->content_ok);
}

TEST(SimStream, ReadsRegistersAtStartAndUsesDefaults) {
    auto device = load()->create_device("sim0:chunk=100,error_every=2");
    // Clearing CONTROL bit 0 turns injection off although ERROR_EVERY stays.
    ASSERT_EQ(device->set_register_sync(CONTROL, 0, 1), BasicDeviceStatus::Success);
    ASSERT_EQ(device->set_register_sync(CHUNKS, 4, ~0u), BasicDeviceStatus::Success);
    auto record = std::make_shared<StreamRecord>(0x12345678u);
    auto stream = start(*device, record, 0);
    // Later writes do not reach the running stream.
    ASSERT_EQ(device->set_register_sync(CHUNKS, 1000, ~0u), BasicDeviceStatus::Success);
    ASSERT_TRUE(record->wait([](auto& r) { return r.stops > 0; }));
    std::lock_guard lock(record->mutex);
    EXPECT_EQ(record->chunk_sizes_seen, std::vector<std::uint64_t>{100});
    EXPECT_EQ(record->chunks(), 4u);
    EXPECT_TRUE(record->errors.empty());
    EXPECT_TRUE(record->content_ok);
}

TEST(SimStream, RefusesAHugeChunkAndKeepsNothing) {
    auto device = load()->create_device("sim0");
    auto record = std::make_shared<StreamRecord>();
    auto sink = recording_sink(record);
    EXPECT_THROW((void)device->start_read_stream(0, std::move(sink), (std::size_t{1} << 28) + 1), std::runtime_error);
    EXPECT_TRUE(static_cast<bool>(sink));  // still the caller's
    EXPECT_EQ(read_reg(*device, STATUS), 0u);
}

TEST(SimStream, StopEndsProductionPushesOneStopAndKeepsTheSink) {
    auto device = load()->create_device("sim0");
    auto record = std::make_shared<StreamRecord>(7);
    auto stream = start(*device, record, 3);
    ASSERT_TRUE(record->wait([](auto& r) { return r.chunks() >= 100; }));
    EXPECT_EQ(read_reg(*device, STATUS), 1u);
    EXPECT_NE(device->get_status()->find("streaming 1 stream"), std::string::npos) << *device->get_status();

    std::thread other([&] { stream->stop(); });
    stream->stop();
    other.join();
    {
        std::lock_guard lock(record->mutex);
        EXPECT_EQ(record->stops, 1);
        EXPECT_FALSE(record->sink_destroyed);
    }
    stream->stop();
    EXPECT_TRUE(becomes_idle(*device));
    EXPECT_NE(device->get_status()->find("idle"), std::string::npos);
    stream.reset();
    std::lock_guard lock(record->mutex);
    EXPECT_EQ(record->stops, 1);
    EXPECT_FALSE(record->event_after_stop);
    EXPECT_TRUE(record->content_ok);
    EXPECT_TRUE(record->sink_destroyed);
    EXPECT_EQ(record->bytes % 3, 0u);
}

TEST(SimStream, DestroyingTheHandleEndsTheStreamWithOneStop) {
    auto device = load()->create_device("sim0:view=1");
    auto record = std::make_shared<StreamRecord>();
    auto stream = start(*device, record, 4096);
    ASSERT_TRUE(record->wait([](auto& r) { return r.chunks() >= 10; }));
    stream.reset();
    EXPECT_TRUE(becomes_idle(*device));
    std::lock_guard lock(record->mutex);
    EXPECT_EQ(record->stops, 1);
    EXPECT_FALSE(record->event_after_stop);
    EXPECT_TRUE(record->sink_destroyed);
    EXPECT_TRUE(record->content_ok);
}

TEST(SimStream, OutlivesItsDeviceAndManager) {
    auto manager = load();
    auto device = manager->create_device("sim0:rate=1000");
    auto record = std::make_shared<StreamRecord>();
    auto stream = start(*device, record, 64);
    ASSERT_TRUE(record->wait([](auto& r) { return r.chunks() >= 5; }));
    device.reset();
    manager.reset();  // the loader closes the library here
    std::uint64_t seen = 0;
    {
        std::lock_guard lock(record->mutex);
        seen = record->chunks();
    }
    ASSERT_TRUE(record->wait([seen](auto& r) { return r.chunks() >= seen + 10; }));
    stream->stop();
    stream.reset();
    std::lock_guard lock(record->mutex);
    EXPECT_EQ(record->stops, 1);
    EXPECT_TRUE(record->content_ok);
}

TEST(SimStream, PacesChunksAtTheRate) {
    auto device = load()->create_device("sim0:rate=200,chunks=21");
    auto record = std::make_shared<StreamRecord>();
    const auto begin = std::chrono::steady_clock::now();
    auto stream = start(*device, record, 16);
    ASSERT_TRUE(record->wait([](auto& r) { return r.stops > 0; }));
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    // Chunk k is due at k / rate: the last one at 100 ms.
    EXPECT_GE(elapsed, 100ms);
    EXPECT_LT(elapsed, 2000ms);
    std::lock_guard lock(record->mutex);
    EXPECT_EQ(record->chunks(), 21u);
}

TEST(SimStream, StopInterruptsASlowSchedule) {
    auto device = load()->create_device("sim0:rate=1");
    auto record = std::make_shared<StreamRecord>();
    auto stream = start(*device, record, 16);
    ASSERT_TRUE(record->wait([](auto& r) { return r.chunks() >= 1; }));
    const auto begin = std::chrono::steady_clock::now();
    stream->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 500ms);
    std::lock_guard lock(record->mutex);
    EXPECT_EQ(record->chunks(), 1u);
    EXPECT_EQ(record->stops, 1);
}

}  // namespace
