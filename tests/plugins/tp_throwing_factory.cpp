// tp_throwing_factory: a plugin whose factory reports failure the ordinary
// way, with an exception derived from std::exception.
#include <stdexcept>

#include <tavo/device_manager.hpp>

namespace {

tavo::DeviceManager* make_manager() { throw std::runtime_error("factory failed"); }

}  // namespace

TAVO_DEVICE_MANAGER_ENTRY(make_manager);
