// tp_unknown_throw: a plugin whose factory throws something that is not a
// std::exception (an int), which the loader must let through untouched.
#include <tavo/device_manager.hpp>

namespace {

tavo::DeviceManager* make_manager() { throw 42; }

}  // namespace

TAVO_DEVICE_MANAGER_ENTRY(make_manager);
