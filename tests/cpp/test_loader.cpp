// Tests of tavo::get_device_manager: path checks, load failures, factory
// failures, and the lifetime of the library behind the returned owner.
// Library residency is observed with dlopen(RTLD_NOLOAD), which opens
// nothing and so leaves the loader's close as the last one.
#include "tavo/device_manager_loader.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

fs::path plugin(const std::string& stem) { return fs::path(TAVO_TEST_PLUGIN_DIR) / ("lib" + stem + ".so"); }

bool is_loaded(const fs::path& library) {
    void* handle = dlopen(library.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle != nullptr) dlclose(handle);
    return handle != nullptr;
}

// The what() of the Exception that loading `path` throws.
template <typename Exception = std::runtime_error>
std::string load_failure(const fs::path& path) {
    try {
        (void)tavo::get_device_manager(path);
    } catch (const Exception& e) {
        return e.what();
    }
    ADD_FAILURE() << "loading " << path << " did not throw the expected exception";
    return {};
}

// A scratch directory, removed with everything in it.
class ScratchDir {
public:
    ScratchDir() : path(fs::temp_directory_path() / ("tavo_loader_" + std::to_string(getpid()))) {
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~ScratchDir() { fs::remove_all(path); }
    fs::path operator/(const std::string& name) const { return path / name; }

    const fs::path path;
};

// Records what tp_tracking reports; the plugin calls it from dlclose and
// from the manager's destructor, on the releasing thread.
std::mutex tracking_mutex;
std::vector<std::string> tracking_log;

void record_tracking(const char* event) {
    std::lock_guard lock(tracking_mutex);
    tracking_log.emplace_back(event);
}

std::vector<std::string> tracked_events() {
    std::lock_guard lock(tracking_mutex);
    return tracking_log;
}

// Loads tp_tracking and connects its log. The plugin is reached through a
// NOLOAD open that is closed again at once.
std::shared_ptr<tavo::DeviceManager> load_tracking(const fs::path& path = plugin("tp_tracking")) {
    auto manager = tavo::get_device_manager(path);
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    EXPECT_NE(handle, nullptr);
    if (handle == nullptr) return manager;
    auto* set_log = reinterpret_cast<void (*)(void (*)(const char*))>(dlsym(handle, "tp_tracking_set_log"));
    EXPECT_NE(set_log, nullptr);
    if (set_log != nullptr) set_log(&record_tracking);
    dlclose(handle);
    std::lock_guard lock(tracking_mutex);
    tracking_log.clear();
    return manager;
}

TEST(LoaderPaths, MissingPathsAreNotFound) {
    ScratchDir dir;
    EXPECT_EQ(load_failure(""), "Device Manager not found: ");
    EXPECT_EQ(load_failure(dir / "absent.so"), "Device Manager not found: " + (dir / "absent.so").native());
    fs::create_symlink(dir / "absent.so", dir / "dangling.so");
    EXPECT_EQ(load_failure(dir / "dangling.so"), "Device Manager not found: " + (dir / "dangling.so").native());
    // A component that is a file, not a directory, also means "not there".
    const auto below_file = plugin("tp_tracking") / "inner.so";
    EXPECT_EQ(load_failure(below_file), "Device Manager not found: " + below_file.native());
}

TEST(LoaderPaths, OtherStatusFailuresPropagateAsFilesystemErrors) {
    ScratchDir dir;
    fs::create_symlink(dir / "loop.so", dir / "loop.so");
    EXPECT_NE(load_failure<fs::filesystem_error>(dir / "loop.so"), "");
    EXPECT_NE(load_failure<fs::filesystem_error>(dir / (std::string(300, 'x') + ".so")), "");
}

TEST(LoaderPaths, NonRegularFilesQuoteTheCallersPath) {
    ScratchDir dir;
    EXPECT_EQ(load_failure(dir.path), "Not a regular file: " + dir.path.native());
    EXPECT_EQ(load_failure("/dev/null"), "Not a regular file: /dev/null");
    fs::create_directory_symlink(dir.path, dir / "dir_link");
    EXPECT_EQ(load_failure(dir / "dir_link"), "Not a regular file: " + (dir / "dir_link").native());
}

TEST(LoaderPaths, FileThatIsNoLibraryFailsWithTheDynamicLoadersReason) {
    ScratchDir dir;
    const auto text_file = dir / "text.so";
    std::ofstream(text_file) << "not an ELF object\n";

    ASSERT_EQ(dlopen(text_file.c_str(), RTLD_LAZY), nullptr);
    const std::string reason = dlerror();
    const auto message = load_failure<std::exception>(text_file);
    EXPECT_TRUE(message.starts_with("boost::dll::shared_library::load() failed (dlerror system message: " +
                                    reason + ")"))
        << message;
}

TEST(LoaderPaths, SymlinkedPluginLoadsAndMessagesQuoteTheLink) {
    ScratchDir dir;
    fs::create_symlink(plugin("tp_tracking"), dir / "tracking_link.so");
    {
        auto manager = tavo::get_device_manager(dir / "tracking_link.so");
        ASSERT_NE(manager, nullptr);
        EXPECT_EQ(manager->info(), "tracking manager");
    }
    EXPECT_FALSE(is_loaded(plugin("tp_tracking")));

    fs::create_symlink(plugin("tp_no_entry"), dir / "no_entry_link.so");
    EXPECT_EQ(load_failure(dir / "no_entry_link.so"),
              "Device Manager does not have create_manager function: " + (dir / "no_entry_link.so").native());
}

TEST(LoaderPaths, BareNameLoadsFromTheCurrentDirectory) {
    const auto previous = fs::current_path();
    fs::current_path(TAVO_TEST_PLUGIN_DIR);
    struct RestoreDirectory {
        fs::path directory;
        ~RestoreDirectory() { fs::current_path(directory); }
    } restore{previous};

    auto manager = tavo::get_device_manager("libtp_tracking.so");
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(manager->info(), "tracking manager");
    EXPECT_EQ(load_failure("libtp_absent.so"), "Device Manager not found: libtp_absent.so");
}

TEST(LoaderFailures, LibraryWithoutEntryIsRejectedAndClosed) {
    const auto path = plugin("tp_no_entry");
    EXPECT_EQ(load_failure(path), "Device Manager does not have create_manager function: " + path.native());
    EXPECT_FALSE(is_loaded(path));
}

TEST(LoaderFailures, FactoryStdExceptionIsWrappedWithPathAndText) {
    const auto path = plugin("tp_throwing_factory");
    EXPECT_EQ(load_failure(path), "Failed to create manager: " + path.native() + " factory failed");
    EXPECT_FALSE(is_loaded(path));
}

TEST(LoaderFailures, FactoryNonStdExceptionPassesThroughUnchanged) {
    const auto path = plugin("tp_unknown_throw");
    int thrown = 0;
    try {
        (void)tavo::get_device_manager(path);
    } catch (int value) {
        thrown = value;
    }
    EXPECT_EQ(thrown, 42);
}

// The exception's type information and destructor are the plugin's code:
// catching it must not touch an unmapped library. Run in a child process,
// as the failure mode is a crash.
TEST(LoaderFailures, FactoryExceptionOfAPluginTypeCanBeCaughtAndDestroyed) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto path = plugin("tp_foreign_throw");
    EXPECT_EXIT(
        {
            int outcome = 3;  // no exception
            try {
                (void)tavo::get_device_manager(path);
            } catch (const std::exception&) {
                outcome = 2;
            } catch (...) {
                outcome = 0;
            }  // the exception object is destroyed here
            std::_Exit(outcome);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(LoaderLifetime, NullManagerStillOwnsTheLibrary) {
    const auto path = plugin("tp_null_factory");
    auto manager = tavo::get_device_manager(path);
    EXPECT_EQ(manager.get(), nullptr);
    EXPECT_EQ(manager.use_count(), 1);  // a control block exists: it holds the library
    EXPECT_TRUE(is_loaded(path));
    manager.reset();
    EXPECT_FALSE(is_loaded(path));
}

TEST(LoaderLifetime, EachLoadMakesItsOwnManagerAndShareTheLibrary) {
    const auto path = plugin("tp_tracking");
    auto first = load_tracking();
    auto second = tavo::get_device_manager(path);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first.get(), second.get());

    first.reset();
    EXPECT_EQ(tracked_events(), std::vector<std::string>{"manager destroyed"});
    EXPECT_TRUE(is_loaded(path));
    EXPECT_EQ(second->info(), "tracking manager");
    second.reset();
    EXPECT_FALSE(is_loaded(path));
}

TEST(LoaderLifetime, ManagerIsDestroyedBeforeTheLibraryCloses) {
    auto manager = load_tracking();
    manager.reset();
    EXPECT_EQ(tracked_events(), (std::vector<std::string>{"manager destroyed", "library unloaded"}));
}

TEST(LoaderLifetime, WeakOwnerKeepsTheLibraryLoaded) {
    const auto path = plugin("tp_tracking");
    auto manager = load_tracking();
    std::weak_ptr<tavo::DeviceManager> weak = manager;
    manager.reset();
    EXPECT_EQ(tracked_events(), std::vector<std::string>{"manager destroyed"});
    EXPECT_TRUE(is_loaded(path));
    weak.reset();
    EXPECT_EQ(tracked_events(), (std::vector<std::string>{"manager destroyed", "library unloaded"}));
    EXPECT_FALSE(is_loaded(path));
}

TEST(LoaderLifetime, SharedFromThisJoinsTheReturnedOwner) {
    auto manager = tavo::get_device_manager(plugin("tp_tracking"));
    ASSERT_NE(manager, nullptr);
    const auto shared = manager->shared_from_this();
    EXPECT_EQ(shared, manager);
    EXPECT_EQ(manager.use_count(), 2);
}

// tp_probe serves the binding's tests; these check its C++ side through the
// loader, so a broken probe shows up here rather than as a puzzling
// binding failure.
class ProbePlugin : public ::testing::Test {
protected:
    // The probe pins itself: its chunks and handles may outlive the manager.
    std::shared_ptr<tavo::DeviceManager> manager = tavo::get_device_manager(plugin("tp_probe"));

    // One line "key=value" of a device's info report.
    static std::string info_value(tavo::Device& device, const std::string& key) {
        const auto info = device.get_info().value_or("");
        const auto start = info.find(key + "=");
        if (start == std::string::npos) return "<missing " + key + ">";
        const auto value = start + key.size() + 1;
        return info.substr(value, info.find('\n', value) - value);
    }
};

TEST_F(ProbePlugin, ManagerTextsAndControlNames) {
    EXPECT_EQ(manager->info(), "probe manager");
    EXPECT_EQ(manager->location(), fs::path("/tmp/probe-location"));
    EXPECT_EQ(manager->list_devices(), "probe\n");
    EXPECT_EQ(manager->create_device(""), nullptr);
    EXPECT_EQ(manager->create_device("none"), nullptr);
    EXPECT_EQ(manager->create_device("set-info:ff0041"), nullptr);
    EXPECT_EQ(manager->info(), std::string("\xff\0A", 3));
    EXPECT_EQ(manager->create_device("set-location:2f78"), nullptr);
    EXPECT_EQ(manager->location(), fs::path("/x"));

    try {
        (void)manager->create_device("throw:device broke");
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "device broke");
    }
    EXPECT_THROW((void)manager->create_device("bad-alloc"), std::bad_alloc);
    EXPECT_THROW((void)manager->create_device("throw-int"), int);
    EXPECT_THROW((void)manager->create_device("other"), std::runtime_error);
}

TEST_F(ProbePlugin, DeviceResultsFollowItsOptions) {
    const std::string name = "probe:status=1,reg=77,count=5,fill=9,status_text=none";
    auto device = manager->create_device(name);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(manager.use_count(), 2);  // the device keeps its manager alive

    EXPECT_EQ(device->set_register(1, 2, 3), tavo::BasicDeviceStatus::Failure);
    EXPECT_EQ(info_value(*device, "last_call"), "set_register 1 2 3");
    EXPECT_EQ(device->get_register(4), 77u);
    EXPECT_EQ(info_value(*device, "last_call"), "get_register 4");
    EXPECT_EQ(device->trigger(6, -2), tavo::BasicDeviceStatus::Failure);
    EXPECT_EQ(info_value(*device, "last_call"), "trigger 6 -2");
    // The interface's default: get_register is not reached after a failed read.
    EXPECT_EQ(device->get_register_sync(4), std::nullopt);
    EXPECT_EQ(info_value(*device, "last_call"), "read_registers");

    const unsigned char out[] = {200, 1};
    EXPECT_EQ(device->write(8, 2, out), 5u);
    EXPECT_EQ(info_value(*device, "last_call"), "write 8 2 200");
    EXPECT_EQ(device->write(8, 0, nullptr), 5u);
    EXPECT_EQ(info_value(*device, "last_call"), "write 8 0 -1");
    std::vector<unsigned char> in(10000, 0);
    EXPECT_EQ(device->read(3, in.size(), in.data()), 5u);
    EXPECT_EQ(in, std::vector<unsigned char>(10000, 9));
    EXPECT_EQ(info_value(*device, "last_call"), "read 3 10000");

    EXPECT_EQ(device->get_status(), std::nullopt);
    std::string name_hex;
    for (unsigned char c : name) name_hex += "0123456789abcdef"[c >> 4], name_hex += "0123456789abcdef"[c & 15];
    EXPECT_EQ(info_value(*device, "name_hex"), name_hex);

    auto plain = manager->create_device("probe");
    EXPECT_EQ(plain->set_register_sync(1, 1, 1), tavo::BasicDeviceStatus::Success);
    EXPECT_EQ(plain->read(0, 3, in.data()), 3u);
    EXPECT_EQ(in[0], 0xAB);
    EXPECT_EQ(plain->get_status(), "probe ok");
    EXPECT_EQ(manager->create_device("probe:bad_utf8=1")->get_status(), "\xff\xfe");
}

// Collects a stream's events as plain values, copying views at once.
struct StreamLog {
    std::mutex mutex;
    std::vector<std::string> events;

    tavo::Device::Sink sink() {
        return [this](tavo::DataStream::Event&& event) {
            std::string text;
            if (event.index() == 0) text = "stop";
            if (event.index() == 1) text = "error " + std::get<1>(event).message;
            if (event.index() == 2) {
                const auto& owned = std::get<2>(event);
                text = "owned " + std::string(reinterpret_cast<const char*>(owned.data.get()), owned.size);
            }
            if (event.index() == 3) {
                const auto& view = std::get<3>(event);
                text = "view " + std::string(reinterpret_cast<const char*>(view.data), view.size);
            }
            std::lock_guard lock(mutex);
            events.push_back(std::move(text));
        };
    }
    std::vector<std::string> taken() {
        std::lock_guard lock(mutex);
        return events;
    }
};

TEST_F(ProbePlugin, StreamRunsItsScriptAndCountsChunks) {
    auto device = manager->create_device("probe:script=owned:3/view:2/error:late/repeat:2:1/wait/stop");
    const auto allocated = std::stoull(info_value(*device, "chunks_allocated"));
    const auto released = std::stoull(info_value(*device, "chunks_released"));
    StreamLog log;
    auto stream = device->start_read_stream(5, log.sink(), 64);
    ASSERT_TRUE(stream.has_value());
    ASSERT_NE(*stream, nullptr);
    EXPECT_EQ(info_value(*device, "last_call"), "start_read_stream 5 64");

    (*stream)->stop();  // ends the wait; the script's own Stop follows, no second one
    EXPECT_EQ(log.taken(), (std::vector<std::string>{"owned " + std::string("\0\1\2", 3), "view \3\4", "error late",
                                                     "owned \5", "owned \6", "stop"}));
    EXPECT_EQ(std::stoull(info_value(*device, "chunks_allocated")), allocated + 3);
    EXPECT_EQ(std::stoull(info_value(*device, "chunks_released")), released + 3);
    EXPECT_EQ(info_value(*device, "stop_calls"), "1");

    device.reset();  // the handle outlives its device
    stream.reset();
}

TEST_F(ProbePlugin, StreamRefusalsLeaveTheSinkWithTheCaller) {
    for (const char* mode : {"none", "null", "throw"}) {
        SCOPED_TRACE(mode);
        auto device = manager->create_device(std::string("probe:stream=") + mode);
        StreamLog log;
        auto sink = log.sink();
        std::optional<std::unique_ptr<tavo::Device::DataStream>> stream;
        if (std::string(mode) == "throw") {
            EXPECT_THROW(stream = device->start_read_stream(0, std::move(sink), 0), std::runtime_error);
        } else {
            stream = device->start_read_stream(0, std::move(sink), 0);
            EXPECT_EQ(stream.has_value(), std::string(mode) == "null");
            if (stream) {
                EXPECT_EQ(*stream, nullptr);
            }
        }
        ASSERT_TRUE(sink);  // not moved out: still callable here
        sink(tavo::DataStream::Events::Stop{});
        EXPECT_EQ(log.taken(), std::vector<std::string>{"stop"});
    }
}

TEST_F(ProbePlugin, StopModesAndHandleDestruction) {
    auto device = manager->create_device("probe:script=wait,on_stop=destroy");
    StreamLog log;
    auto stream = device->start_read_stream(0, log.sink(), 0);
    ASSERT_TRUE(stream && *stream);
    (*stream)->stop();
    EXPECT_TRUE(log.taken().empty());  // the sink was destroyed, not told to stop
    stream.reset();
    EXPECT_EQ(info_value(*device, "handles_destroyed"), "1");

    // A never-stopped handle: its destructor ends the wait and joins.
    StreamLog dropped;
    auto waiting = device->start_read_stream(0, dropped.sink(), 0);
    waiting.reset();
    EXPECT_TRUE(dropped.taken().empty());
    EXPECT_EQ(info_value(*device, "handles_destroyed"), "2");
    EXPECT_EQ(info_value(*device, "stop_calls"), "1");
}

}  // namespace
