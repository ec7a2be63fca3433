// tavo-server: serves a Device Manager plugin's devices over ZeroMQ to the
// remote plugin. See docs/remote.md.
//
// Exit status: 0 after SIGINT or SIGTERM (every stream stopped, every
// device freed) and after --keygen or --help; 1 for a failure (one log
// line says which); 2 for a usage error.

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <iostream>

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include "tavo/device_manager_loader.hpp"
#include "options.hpp"
#include "plugin_search.hpp"
#include "security.hpp"
#include "server.hpp"

namespace {

// The server a signal stops; set while run() runs. Read by the handler,
// so atomic (and lock-free, as a handler may only touch such atomics).
std::atomic<tavo::server::Server*> running_server{nullptr};
static_assert(std::atomic<tavo::server::Server*>::is_always_lock_free);

extern "C" void on_stop_signal(int) {
    if (auto* server = running_server.load()) server->request_stop();
}

void set_up_logging(const std::string& level) {
    auto logger = spdlog::stderr_logger_mt("tavo-server");
    logger->set_pattern("%Y-%m-%d %H:%M:%S.%e tavo-server %l: %v");
    spdlog::set_default_logger(logger);
    const auto parsed = spdlog::level::from_str(level);
    if (parsed == spdlog::level::off && level != "off") {
        throw tavo::server::UsageError("--log-level takes trace, debug, info, warn, error or off, not '" + level + "'");
    }
    spdlog::set_level(parsed);
    spdlog::flush_on(spdlog::level::trace);  // a log line is out before the next thing happens
}

void install_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = &on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

int serve(const tavo::server::Options& options) {
    using namespace tavo::server;
    const auto path = find_plugin(options.plugin, plugin_dirs(std::getenv("TAVO_PLUGIN_PATH"), own_plugin_dir()));
    auto manager = tavo::get_device_manager(path);
    if (!manager) throw std::runtime_error("plugin " + path.string() + " made no device manager");
    Server server(options, manager);
    manager.reset();  // the server holds it
    spdlog::info("serving {} ({})", path.string(), server.endpoints().size() == 1 ? "one endpoint" : "several endpoints");
    running_server.store(&server);
    install_signal_handlers();
    server.run();
    running_server.store(nullptr);
    spdlog::info("stopped");
    return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    tavo::server::Options options;
    try {
        options = tavo::server::parse_options(argc, argv);
        if (options.help) {
            std::cout << tavo::server::usage_text();
            return EXIT_SUCCESS;
        }
        set_up_logging(options.log_level);
    } catch (const tavo::server::UsageError& e) {
        std::cerr << "tavo-server: error: " << e.what() << " (see 'tavo-server --help')\n";
        return 2;
    }
    try {
        if (options.keygen_dir) {
            tavo::server::write_key_pair(*options.keygen_dir);
            return EXIT_SUCCESS;
        }
        return serve(options);
    } catch (const std::exception& e) {
        spdlog::error("{}", e.what());
        return EXIT_FAILURE;
    }
}
