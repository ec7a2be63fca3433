// Loading a Device Manager plugin by path.
//
// Every call opens the library and creates a new manager: there is no cache.
// The returned owner's control block holds the library, so the plugin's code
// stays loaded until the manager is deleted and no weak owner remains.
#pragma once

#include <filesystem>
#include <memory>

#include <boost/dll/shared_library.hpp>

#include <tavo/device_manager.hpp>

namespace tavo {

// The deleter stored in the manager owner's control block. It deletes the
// manager through its virtual destructor; `library` is released only when the
// control block itself goes, that is after the manager is gone.
struct manager_deleter {
    std::shared_ptr<boost::dll::shared_library> library;

    void operator()(DeviceManager* manager) const noexcept { delete manager; }
};

// Checks `path`, opens the library, calls its create_manager factory and
// returns the manager (null if the factory returned null, still holding the
// library until released). Throws std::runtime_error with a fixed text for a
// missing path, a path that is not a regular file, a library without
// create_manager, a create_manager that is a function or holds null (both
// refused before anything calls through them) and a failing factory; the loader's own errors (Boost.DLL)
// and filesystem errors propagate unchanged. Runs on the calling thread; the
// Python binding calls it with the interpreter lock held.
std::shared_ptr<DeviceManager> get_device_manager(const std::filesystem::path& path);

}  // namespace tavo
