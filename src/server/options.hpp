// tavo-server's command line.
//
//   tavo-server PLUGIN [--bind ENDPOINT]... [options]
//   tavo-server --keygen DIR
//
// Threads: parsed once, on the main thread, before anything starts.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavo::server {

// What one client may hold, and what one message may carry. Every refusal
// names the limit and the option that sets it.
struct Limits {
    std::size_t max_clients = 64;                  // --max-clients: sessions at once
    std::size_t max_devices = 16;                  // --max-devices: open devices per client
    std::size_t max_streams = 8;                   // --max-streams: running streams per client
    std::uint64_t max_request = 64ull << 20;       // --max-request: bytes of one bulk write or read
    std::uint64_t stream_queue_bytes = 64ull << 20;  // --stream-queue: bytes waiting per stream
    std::size_t stream_queue_events = 65536;       // events waiting per stream
    std::chrono::milliseconds client_timeout{3000};  // --client-timeout: silence that ends a session
};

struct Options {
    std::string plugin;
    std::vector<std::string> binds;  // default: tcp://127.0.0.1:5556
    bool insecure = false;
    std::optional<std::filesystem::path> curve_secret;
    std::optional<std::filesystem::path> allow_dir;
    std::optional<std::filesystem::path> keygen_dir;
    std::string log_level = "info";
    Limits limits;
    bool help = false;
};

inline constexpr const char* default_endpoint = "tcp://127.0.0.1:5556";

// A mistake on the command line; main prints it in one line and exits 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses argv. Throws UsageError.
Options parse_options(int argc, const char* const* argv);

// The --help text.
std::string usage_text();

}  // namespace tavo::server
