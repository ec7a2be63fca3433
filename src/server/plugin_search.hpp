// Finding the plugin that tavo-server serves, as the tavo package finds
// plugins: an existing file as it is; otherwise a short name looked up as
// libtavo_NAME.so, libNAME.so and NAME.so in each directory of
// TAVO_PLUGIN_PATH (':'-separated, empty entries ignored), then in this
// installation's own plugin directory.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tavo::server {

// This executable's own plugin directory: the build tree's when it runs
// from the build tree, else the installed one beside its bin directory.
std::filesystem::path own_plugin_dir();

// The directories searched for a short name, in order.
std::vector<std::filesystem::path> plugin_dirs(const char* plugin_path_variable,
                                               const std::filesystem::path& own_dir);

// The plugin file for `name`. Throws std::runtime_error naming the
// directories searched when nothing is found.
std::filesystem::path find_plugin(const std::string& name, const std::vector<std::filesystem::path>& dirs);

}  // namespace tavo::server
