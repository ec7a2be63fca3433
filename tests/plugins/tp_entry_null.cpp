// tp_entry_null: exports create_manager in the right form, a variable, but
// holding no factory.
#include <tavo/device_manager.hpp>

extern "C" __attribute__((visibility("default"))) const tavo::ManagerFactory create_manager = nullptr;
