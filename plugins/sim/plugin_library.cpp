// dladdr and dlopen on the plugin's own code.

#include "plugin_library.hpp"

#include <dlfcn.h>

#include <stdexcept>
#include <string>
#include <system_error>

namespace tavo::sim {

namespace {

// The file name the dynamic loader recorded for this library: the path the
// loader was given, possibly relative to the working directory of that time.
const char* loaded_file_name() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&own_library_path), &info) == 0 || info.dli_fname == nullptr) {
        throw std::runtime_error("simulator: dladdr cannot locate the plugin library");
    }
    return info.dli_fname;
}

}  // namespace

std::filesystem::path own_library_path() {
    const std::filesystem::path recorded(loaded_file_name());
    std::error_code error;
    auto path = std::filesystem::canonical(recorded, error);
    if (error) path = std::filesystem::absolute(recorded);
    return path;
}

void pin_own_library() {
    // Stream handles, their producer threads and the release function of
    // every OwnedData chunk are this library's code, and each may outlive
    // the manager (a Python user can drop the manager while a stream or a
    // received buffer is alive), after which the module's loader closes the
    // library. RTLD_NODELETE on an already loaded object makes that close,
    // and every later one, leave the code mapped. The extra handle opened
    // here is closed at once: the flag stays with the object.
    void* handle = dlopen(loaded_file_name(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    if (handle == nullptr) {
        const char* reason = dlerror();
        throw std::runtime_error(std::string("simulator: cannot pin its library: ") +
                                 (reason ? reason : "unknown reason"));
    }
    dlclose(handle);
}

}  // namespace tavo::sim
