// tp_tracking: a minimal manager that reports, through a log the test
// installs, when it is destroyed and when its library is unloaded, so the
// test can prove the manager dies while its code is still mapped.
//
// The log is a plain function of the test executable: it outlives this
// library. It is set and read on whatever thread loads or releases the
// manager, hence the atomic.
#include <atomic>
#include <filesystem>
#include <string>

#include <tavo/device_manager.hpp>

namespace {

std::atomic<void (*)(const char*)> log_function{nullptr};

void log(const char* event) {
    if (auto* function = log_function.load()) function(event);
}

class TrackingManager final : public tavo::DeviceManager {
public:
    ~TrackingManager() override { log("manager destroyed"); }

    std::string info() override { return "tracking manager"; }
    std::filesystem::path location() override { return {}; }
    std::string list_devices() override { return {}; }
    std::string get_device_options() override { return {}; }
    tavo::DeviceHandle create_device(const std::string&) override { return {}; }
};

tavo::DeviceManager* make_manager() { return new TrackingManager; }

// Runs from dlclose, after the last owner released the library.
__attribute__((destructor)) void report_unload() { log("library unloaded"); }

}  // namespace

extern "C" __attribute__((visibility("default"))) void tp_tracking_set_log(void (*function)(const char*)) {
    log_function.store(function);
}

TAVO_DEVICE_MANAGER_ENTRY(make_manager);
