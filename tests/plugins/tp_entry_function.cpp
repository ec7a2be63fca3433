// tp_entry_function: exports create_manager as the factory function itself,
// not as a variable holding its address (a common mistake).
#include <tavo/device_manager.hpp>

extern "C" __attribute__((visibility("default"))) tavo::DeviceManager* create_manager() { return nullptr; }
