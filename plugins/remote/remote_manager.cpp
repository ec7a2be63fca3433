// The remote plugin's Device Manager and entry point.
//
// Its devices live on tavo-servers: create_device("ENDPOINT/DEVICE") asks
// the server at ENDPOINT for DEVICE. Its device list is that of the servers
// named in TAVO_REMOTE, each asked with a short deadline, every device
// named so that create_device takes it as it is.
//
// The library pins itself (RTLD_NODELETE): stream threads, connection
// keepers and the release function of every received chunk are its code,
// and any of them may outlive the manager.
//
// Threads: the manager holds nothing mutable, so every operation may run on
// several threads at once.

#include <dlfcn.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include <tavo/device_manager.hpp>

#include "client_settings.hpp"
#include "connection.hpp"
#include "remote_device.hpp"

namespace tavo::remote {

namespace {

namespace wire = tavo::wire;

constexpr std::chrono::milliseconds list_deadline{1000};

const char* own_file_name() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&own_file_name), &info) == 0 || info.dli_fname == nullptr) {
        throw std::runtime_error("remote plugin: dladdr cannot locate its own library");
    }
    return info.dli_fname;
}

void pin_own_library() {
    void* handle = dlopen(own_file_name(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    if (handle == nullptr) {
        const char* reason = dlerror();
        throw std::runtime_error(std::string("remote plugin: cannot pin its library: ") + (reason ? reason : "?"));
    }
    dlclose(handle);
}

// Asks every server of TAVO_REMOTE for `kind` and hands each answer (or
// the reason there is none) to `take`.
template <typename Take>
void ask_listed_servers(wire::Kind kind, Take take) {
    const auto endpoints = listed_servers();
    if (endpoints.empty()) return;
    const ClientSettings settings = settings_from_environment();
    const auto deadline = std::min(list_deadline, settings.timeout);
    for (const auto& endpoint : endpoints) {
        try {
            take(endpoint, Connection::get(endpoint, settings)->call(kind, {}, deadline).message.body.text, "");
        } catch (const std::exception& e) {
            take(endpoint, std::string(), std::string(e.what()));
        }
    }
}

class RemoteManager final : public tavo::DeviceManager {
public:
    explicit RemoteManager(std::filesystem::path location) : location_(std::move(location)) {}

    std::string info() override {
        return "TAVO remote 0.1.0: devices of tavo-server, named ENDPOINT/DEVICE (tcp://HOST:PORT/DEVICE or "
               "ipc://PATH/DEVICE); the device list is that of the servers in TAVO_REMOTE";
    }

    std::filesystem::path location() override { return location_; }

    // One line per device, "ENDPOINT/DEVICE<tab>description"; a server
    // that does not answer gives one line "# ENDPOINT: why".
    std::string list_devices() override {
        std::string out;
        ask_listed_servers(wire::Kind::list_devices, [&out](const std::string& endpoint, const std::string& list,
                                                             const std::string& failure) {
            if (!failure.empty()) {
                out += "# " + endpoint + ": " + failure + "\n";
                return;
            }
            std::istringstream lines(list);
            for (std::string line; std::getline(lines, line);) {
                if (!line.empty()) out += endpoint + "/" + line + "\n";
            }
        });
        return out;
    }

    std::string get_device_options() override {
        std::string out =
            "ENDPOINT/DEVICE: DEVICE is the served plugin's own device string, options included, for example\n"
            "  tcp://127.0.0.1:5556/sim0:chunks=100   ipc:///run/tavo/board.sock/board0\n"
            "Environment: TAVO_REMOTE (servers to list), TAVO_REMOTE_TIMEOUT (seconds per call, 5),\n"
            "TAVO_REMOTE_KEYS (folder with key, key.pub and server.pub for CURVE)\n";
        ask_listed_servers(wire::Kind::device_options, [&out](const std::string& endpoint, const std::string& options,
                                                               const std::string& failure) {
            out += "\n" + endpoint + ":\n" + (failure.empty() ? options : "  (" + failure + ")\n");
        });
        return out;
    }

    // Runs without the interpreter lock, so a slow server holds up no other
    // Python thread.
    tavo::DeviceHandle create_device(const std::string& name) override {
        const DeviceName parsed = split_device_name(name);
        const ClientSettings settings = settings_from_environment();
        auto connection = Connection::get(parsed.endpoint, settings);
        wire::Body body;
        body.text = parsed.device;
        const Answer answer = connection->call(wire::Kind::create_device, body, settings.timeout);
        if (answer.message.body.handle == 0) return {};
        return tavo::make_device<RemoteDevice>(shared_from_this(), std::move(connection), answer.message.body.handle,
                                               answer.instance, settings.timeout);
    }

private:
    const std::filesystem::path location_;
};

tavo::DeviceManager* make_remote_manager() {
    pin_own_library();
    std::error_code error;
    auto location = std::filesystem::canonical(own_file_name(), error);
    if (error) location = std::filesystem::absolute(own_file_name());
    return new RemoteManager(std::move(location));
}

}  // namespace

}  // namespace tavo::remote

TAVO_DEVICE_MANAGER_ENTRY(tavo::remote::make_remote_manager);
