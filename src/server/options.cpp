// Parsing tavo-server's command line: a hand-written loop over argv, since
// the options are few and each takes at most one value.

#include "options.hpp"

#include <charconv>
#include <string_view>

#include <remote/seconds_text.hpp>

namespace tavo::server {

namespace {

std::uint64_t parse_count(std::string_view option, std::string_view text, std::uint64_t low, std::uint64_t high) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value < low || value > high) {
        throw UsageError(std::string(option) + " takes a whole number in " + std::to_string(low) + ".." +
                         std::to_string(high) + ", not '" + std::string(text) + "'");
    }
    return value;
}

std::chrono::milliseconds parse_seconds(std::string_view option, const std::string& text) {
    const auto seconds = tavo::wire::seconds_from_text(text);
    if (!seconds || *seconds < 0.1 || *seconds > 3600) {
        throw UsageError(std::string(option) + " takes seconds in 0.1..3600, not '" + text + "'");
    }
    return std::chrono::milliseconds(static_cast<long long>(*seconds * 1000));
}

}  // namespace

std::string usage_text() {
    return "usage: tavo-server PLUGIN [--bind ENDPOINT]... [options]\n"
           "       tavo-server --keygen DIR\n"
           "\n"
           "Serves the devices of a Device Manager plugin to remote-plugin clients.\n"
           "PLUGIN is a file (a path with '/') or a short name looked up as libtavo_NAME.so,\n"
           "libNAME.so, NAME.so in $TAVO_PLUGIN_PATH, then in this installation's plugins.\n"
           "\n"
           "  --bind ENDPOINT        tcp://HOST:PORT or ipc://PATH (default tcp://127.0.0.1:5556);\n"
           "                         repeat to serve several. Without keys only loopback and ipc://.\n"
           "  --curve-secret FILE    encrypt with CURVE: this server's secret key (see --keygen)\n"
           "  --allow DIR            with --curve-secret: the clients let in, one KEY.pub file each\n"
           "  --insecure             serve any address unencrypted and to anyone (trusted networks only)\n"
           "  --keygen DIR           write a key pair, DIR/key (secret, 0600) and DIR/key.pub, and exit\n"
           "  --max-clients N        clients served at once (64)\n"
           "  --max-devices N        open devices per client (16)\n"
           "  --max-streams N        running streams per client (8)\n"
           "  --max-request BYTES    largest bulk write or read (67108864)\n"
           "  --stream-queue BYTES   data waiting per stream before it is dropped and counted (67108864)\n"
           "  --client-timeout S     silence after which a client is taken for gone (3)\n"
           "  --log-level LEVEL      trace, debug, info, warn, error (info)\n"
           "\n"
           "SIGINT or SIGTERM stops every stream, frees every device and exits 0.\n";
}

Options parse_options(int argc, const char* const* argv) {
    Options options;
    std::vector<std::string_view> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) throw UsageError(std::string(arg) + " needs a value");
            return std::string(args[++i]);
        };
        if (arg == "--help" || arg == "-h") options.help = true;
        else if (arg == "--bind") options.binds.push_back(value());
        else if (arg == "--insecure") options.insecure = true;
        else if (arg == "--curve-secret") options.curve_secret = value();
        else if (arg == "--allow") options.allow_dir = value();
        else if (arg == "--keygen") options.keygen_dir = value();
        else if (arg == "--log-level") options.log_level = value();
        else if (arg == "--max-clients") options.limits.max_clients = parse_count(arg, value(), 1, 4096);
        else if (arg == "--max-devices") options.limits.max_devices = parse_count(arg, value(), 1, 4096);
        else if (arg == "--max-streams") options.limits.max_streams = parse_count(arg, value(), 0, 4096);
        else if (arg == "--max-request") options.limits.max_request = parse_count(arg, value(), 1, 1ull << 32);
        else if (arg == "--stream-queue") options.limits.stream_queue_bytes = parse_count(arg, value(), 1, 1ull << 36);
        else if (arg == "--client-timeout") options.limits.client_timeout = parse_seconds(arg, value());
        else if (arg.starts_with("-")) throw UsageError("unknown option " + std::string(arg));
        else if (options.plugin.empty()) options.plugin = std::string(arg);
        else throw UsageError("one PLUGIN only; '" + std::string(arg) + "' is extra");
    }
    if (options.help) return options;
    if (options.keygen_dir) {
        if (!options.plugin.empty() || !options.binds.empty()) throw UsageError("--keygen DIR takes nothing else");
        return options;
    }
    if (options.plugin.empty()) throw UsageError("PLUGIN is missing");
    if (options.curve_secret.has_value() != options.allow_dir.has_value()) {
        throw UsageError("--curve-secret FILE and --allow DIR go together");
    }
    if (options.binds.empty()) options.binds.emplace_back(default_endpoint);
    return options;
}

}  // namespace tavo::server
