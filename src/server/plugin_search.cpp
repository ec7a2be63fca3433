// Plugin lookup by short name.

#include "plugin_search.hpp"

#include <algorithm>
#include <stdexcept>
#include <string_view>

// Set by the build (TavoInstall): the installed plugin directory, relative
// to the installed bin directory unless absolute.
#ifndef TAVO_SERVER_INSTALLED_PLUGIN_DIR
#define TAVO_SERVER_INSTALLED_PLUGIN_DIR "../lib/tavo/plugins"
#endif

namespace tavo::server {

namespace fs = std::filesystem;

fs::path own_plugin_dir() {
    std::error_code error;
    const fs::path executable = fs::read_symlink("/proc/self/exe", error);
    if (error) return TAVO_SERVER_BUILD_PLUGIN_DIR;
    const fs::path bin_dir = executable.parent_path();
    if (fs::equivalent(bin_dir, TAVO_SERVER_BUILD_BIN_DIR, error)) return TAVO_SERVER_BUILD_PLUGIN_DIR;
    const fs::path installed = TAVO_SERVER_INSTALLED_PLUGIN_DIR;
    return installed.is_absolute() ? installed : (bin_dir / installed).lexically_normal();
}

std::vector<fs::path> plugin_dirs(const char* plugin_path_variable, const fs::path& own_dir) {
    std::vector<fs::path> dirs;
    const auto add = [&dirs](const fs::path& dir) {
        if (!dir.empty() && std::find(dirs.begin(), dirs.end(), dir) == dirs.end()) dirs.push_back(dir);
    };
    for (std::string_view rest = plugin_path_variable ? plugin_path_variable : ""; !rest.empty();) {
        const auto colon = rest.find(':');
        add(fs::path(rest.substr(0, colon)));
        rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
    }
    add(own_dir);
    return dirs;
}

fs::path find_plugin(const std::string& name, const std::vector<fs::path>& dirs) {
    std::error_code error;
    if (!name.empty() && fs::is_regular_file(name, error)) return name;
    if (name.empty() || name.find('/') != std::string::npos) throw std::runtime_error("plugin file not found: " + name);
    for (const auto& dir : dirs) {
        for (const auto& file : {"libtavo_" + name + ".so", "lib" + name + ".so", name + ".so"}) {
            if (fs::is_regular_file(dir / file, error)) return dir / file;
        }
    }
    std::string searched;
    for (const auto& dir : dirs) searched += (searched.empty() ? "" : ", ") + dir.string();
    throw std::runtime_error("plugin '" + name + "' not found; searched: " +
                             (searched.empty() ? "no directories (set TAVO_PLUGIN_PATH)" : searched));
}

}  // namespace tavo::server
