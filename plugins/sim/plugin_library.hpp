// The simulator's own shared library file: where it is, and keeping it
// loaded for the rest of the process.
//
// Called from the factory, on the thread that loads the plugin.
#pragma once

#include <filesystem>

namespace tavo::sim {

// The absolute path of the loaded libtavo_sim.so.
// Throws std::runtime_error if the dynamic loader cannot tell.
std::filesystem::path own_library_path();

// Marks the library as never to be unloaded. Throws std::runtime_error with
// the dynamic loader's reason on failure.
void pin_own_library();

}  // namespace tavo::sim
