// What the remote plugin takes from its environment, read when a device is
// created or the device list is asked for (so a process may change it in
// between):
//
//   TAVO_REMOTE          the servers whose devices list_devices shows,
//                        endpoints separated by spaces
//   TAVO_REMOTE_TIMEOUT  the deadline of every call, in seconds (default 5)
//   TAVO_REMOTE_KEYS     a folder with this client's CURVE key pair (key,
//                        key.pub) and the server's public key (server.pub);
//                        unset: no encryption
//
// Device names are ENDPOINT/DEVICE: tcp://HOST:PORT/DEVICE, or
// ipc://PATH/DEVICE where PATH ends at the last '/' (so a device name sent
// over ipc:// cannot contain '/').
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tavo::remote {

struct ClientKeys {
    std::string secret;         // Z85
    std::string public_key;     // Z85
    std::string server_public;  // Z85
};

struct ClientSettings {
    std::chrono::milliseconds timeout{5000};
    std::optional<ClientKeys> keys;
    std::string keys_dir;  // TAVO_REMOTE_KEYS as given, for messages
};

// Reads TAVO_REMOTE_TIMEOUT and TAVO_REMOTE_KEYS. Throws std::runtime_error
// naming the variable for a value that is not usable.
ClientSettings settings_from_environment();

// The endpoints of TAVO_REMOTE, in order.
std::vector<std::string> listed_servers();

struct DeviceName {
    std::string endpoint;  // tcp://HOST:PORT or ipc://PATH
    std::string device;    // the server's own device string
};

// Splits ENDPOINT/DEVICE. Throws std::runtime_error with the syntax.
DeviceName split_device_name(const std::string& name);

// "5 s", "0.5 s": a deadline as messages show it.
std::string seconds_text(std::chrono::milliseconds duration);

}  // namespace tavo::remote
