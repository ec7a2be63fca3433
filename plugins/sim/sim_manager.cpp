// The simulator's Device Manager and the plugin's entry point.
//
// Threads: the manager holds nothing mutable after construction, so
// create_device may run on several threads at once, concurrently with the
// other calls.

#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include <tavo/device_manager.hpp>

#include "device_config.hpp"
#include "plugin_library.hpp"
#include "sim_device.hpp"

namespace tavo::sim {

namespace {

class SimManager final : public tavo::DeviceManager {
public:
    explicit SimManager(std::filesystem::path location) : location_(std::move(location)) {}

    std::string info() override { return "TAVO simulator 0.1.0"; }

    std::filesystem::path location() override { return location_; }

    std::string list_devices() override { return device_list_text(); }

    std::string get_device_options() override { return device_options_text(); }

    // Each device owns the manager through its keep_alive, and the manager's
    // owner holds the library: the device's code outlives every other owner.
    tavo::DeviceHandle create_device(const std::string& name) override {
        return tavo::make_device<SimDevice>(shared_from_this(), parse_device_name(name));
    }

private:
    const std::filesystem::path location_;
};

tavo::DeviceManager* make_sim_manager() {
    pin_own_library();
    return new SimManager(own_library_path());
}

}  // namespace

}  // namespace tavo::sim

TAVO_DEVICE_MANAGER_ENTRY(tavo::sim::make_sim_manager);
