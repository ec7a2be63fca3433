// tp_foreign_throw: a plugin whose factory throws a type of its own, not
// derived from std::exception. The exception object's type information and
// destructor live in this library, so it must still be mapped while the
// caller's handler runs and destroys the exception.
#include <string>

#include <tavo/device_manager.hpp>

namespace {

struct PluginFailure {
    std::string text;
};

tavo::DeviceManager* make_manager() { throw PluginFailure{"a failure type only this plugin knows"}; }

}  // namespace

TAVO_DEVICE_MANAGER_ENTRY(make_manager);
