// tp_null_factory: a plugin whose factory succeeds but returns no manager.
#include <tavo/device_manager.hpp>

namespace {

tavo::DeviceManager* make_manager() { return nullptr; }

}  // namespace

TAVO_DEVICE_MANAGER_ENTRY(make_manager);
