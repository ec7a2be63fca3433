// Loads a Device Manager plugin and builds the owner that keeps it loaded.

#include "device_manager_loader.hpp"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/dll/import.hpp>

namespace tavo {

namespace {

bool path_missing(std::filesystem::file_type type) {
    return type == std::filesystem::file_type::not_found || type == std::filesystem::file_type::none;
}

// Keeps a library loaded until the process ends. The list is never
// destroyed (so exit does not unload it under running code).
void pin_for_good(std::shared_ptr<boost::dll::shared_library> library) {
    static std::mutex lock;
    static auto* pinned = new std::vector<std::shared_ptr<boost::dll::shared_library>>;
    const std::lock_guard guard(lock);
    pinned->push_back(std::move(library));
}

// Checks that the symbol `create_manager` of an open library is what the
// alias import reads: a variable holding a factory's address. A function
// exported under that name (a common mistake) would be read as if its first
// instructions were an address, and a null address would be called: either
// way the call jumps into nowhere. The symbol's type comes from the library's
// own symbol table entry.
void check_entry_point(boost::dll::shared_library& library, const std::string& path) {
    void* const entry = dlsym(library.native(), "create_manager");
    Dl_info where{};
    void* entry_symbol = nullptr;
    if (entry != nullptr && dladdr1(entry, &where, &entry_symbol, RTLD_DL_SYMENT) != 0 && entry_symbol != nullptr) {
        const auto* symbol = static_cast<const ElfW(Sym)*>(entry_symbol);
        // ELF32_ST_TYPE and ELF64_ST_TYPE are one and the same.
        const auto type = ELF64_ST_TYPE(symbol->st_info);
        if (type == STT_FUNC || type == STT_GNU_IFUNC) {
            throw std::runtime_error(
                "Device Manager create_manager is a function, not a variable holding the factory's address: " +
                path);
        }
        if (type != STT_OBJECT || symbol->st_size < sizeof(ManagerFactory)) {
            throw std::runtime_error(
                "Device Manager create_manager is not a variable holding the factory's address: " + path);
        }
    }
    if (entry == nullptr || *static_cast<const ManagerFactory*>(entry) == nullptr) {
        throw std::runtime_error("Device Manager create_manager holds a null factory address: " + path);
    }
}

}  // namespace

std::shared_ptr<DeviceManager> get_device_manager(const std::filesystem::path& path) {
    const std::string& text = path.native();

    // The throwing forms: a failure other than "not found" (permission denied,
    // say) propagates as std::filesystem::filesystem_error.
    if (path_missing(std::filesystem::status(path).type())) {
        throw std::runtime_error("Device Manager not found: " + text);
    }
    // The canonical path only serves this test; messages quote the caller's
    // path, and the library is opened through it (links included).
    if (std::filesystem::status(std::filesystem::canonical(path)).type() !=
        std::filesystem::file_type::regular) {
        throw std::runtime_error("Not a regular file: " + text);
    }

    // Default load mode: RTLD_LAZY with local symbols, "./" in front of a bare
    // name, no decoration of the name. Boost.DLL's load error carries the
    // dynamic loader's reason and propagates unchanged.
    auto library = std::make_shared<boost::dll::shared_library>(boost::dll::fs::path(text));
    if (!library->has("create_manager")) {
        throw std::runtime_error("Device Manager does not have create_manager function: " + text);
    }
    check_entry_point(*library, text);

    // The alias import reads the factory address stored at the symbol. It
    // holds a second open of the library of its own, released on return.
    auto factory = boost::dll::import_alias<DeviceManager*()>(*library, "create_manager");

    std::shared_ptr<DeviceManager> manager;
    try {
        // The shared_ptr constructor deletes the manager through the deleter
        // if its control block cannot be allocated; it also attaches the
        // manager's enable_shared_from_this link unless a live owner exists.
        manager = std::shared_ptr<DeviceManager>(factory(), manager_deleter{library});
    } catch (const std::exception& e) {
        // The text is copied while the library (and the exception's code) is
        // still loaded.
        throw std::runtime_error("Failed to create manager: " + text + " " + e.what());
    } catch (...) {
        // Passed through unchanged, but its type information and destructor
        // may be the plugin's code, used by whoever catches it after this
        // function has released the library: keep the library loaded for
        // good rather than let the handler run unmapped code.
        pin_for_good(std::move(library));
        throw;
    }
    // From here on the deleter in the control block is the library's only owner.
    return manager;
}

}  // namespace tavo
