// The remote plugin's environment and device names.

#include "client_settings.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "curve_keys.hpp"
#include "seconds_text.hpp"

namespace tavo::remote {

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::chrono::milliseconds timeout_from(const std::string& text) {
    if (text.empty()) return std::chrono::milliseconds(5000);
    const auto seconds = tavo::wire::seconds_from_text(text);
    if (!seconds || *seconds <= 0 || *seconds > 86400) {
        throw std::runtime_error("TAVO_REMOTE_TIMEOUT must be a number of seconds in (0, 86400], not '" + text + "'");
    }
    return std::max(std::chrono::milliseconds(1), std::chrono::milliseconds(std::llround(*seconds * 1000)));
}

ClientKeys keys_from(const std::filesystem::path& dir) {
    ClientKeys keys;
    try {
        keys.secret = tavo::wire::read_key_file(dir / "key");
        keys.public_key = tavo::wire::read_key_file(dir / "key.pub");
        keys.server_public = tavo::wire::read_key_file(dir / "server.pub");
    } catch (const std::exception& e) {
        throw std::runtime_error("TAVO_REMOTE_KEYS=" + dir.string() + ": " + e.what() +
                                 " (the folder holds key, key.pub and the server's server.pub)");
    }
    if (tavo::wire::public_key_of(keys.secret) != keys.public_key) {
        throw std::runtime_error("TAVO_REMOTE_KEYS=" + dir.string() + ": key.pub is not the public key of key");
    }
    return keys;
}

}  // namespace

ClientSettings settings_from_environment() {
    ClientSettings settings;
    settings.timeout = timeout_from(environment("TAVO_REMOTE_TIMEOUT"));
    settings.keys_dir = environment("TAVO_REMOTE_KEYS");
    if (!settings.keys_dir.empty()) settings.keys = keys_from(settings.keys_dir);
    return settings;
}

std::vector<std::string> listed_servers() {
    std::vector<std::string> endpoints;
    std::istringstream words(environment("TAVO_REMOTE"));
    for (std::string endpoint; words >> endpoint;) endpoints.push_back(endpoint);
    return endpoints;
}

DeviceName split_device_name(const std::string& name) {
    std::size_t slash = std::string::npos;
    if (name.starts_with("tcp://")) slash = name.find('/', 6);
    else if (name.starts_with("ipc://")) slash = name.rfind('/');
    if (slash == std::string::npos || slash <= 6 || slash + 1 >= name.size()) {
        throw std::runtime_error("remote device names are ENDPOINT/DEVICE, ENDPOINT being tcp://HOST:PORT or "
                                 "ipc://PATH (for example tcp://127.0.0.1:5556/sim0), not '" + name + "'");
    }
    return {name.substr(0, slash), name.substr(slash + 1)};
}

std::string seconds_text(std::chrono::milliseconds duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", static_cast<double>(duration.count()) / 1000.0);
    return text;
}

}  // namespace tavo::remote
