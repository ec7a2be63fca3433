// The extension module pytavo_device.
//
// Import checks the interpreter version (3.12 only), then registers the
// module's whole surface in an order the signatures depend on: every class a
// signature names is registered before the methods that name it. Import
// starts no thread and keeps no state.
#include <pybind11/pybind11.h>

#include "buffers.hpp"
#include "device_class.hpp"
#include "manager_binding.hpp"
#include "streams.hpp"

namespace pytavo {
void register_exception_translation();
void register_return_code(pybind11::module_& m);
}

PYBIND11_MODULE(pytavo_device, m) {
    m.doc() = "Python binding for TAVO Device";
    pytavo::register_exception_translation();
    pytavo::guard_unregistered_classes();
    pytavo::register_return_code(m);
    pytavo::register_data_stream(m);
    pytavo::register_buffers(m);
    pytavo::register_device(m);
    pytavo::register_device_manager(m);
    pytavo::register_get_device_manager(m);
    for (const char* name : {"DataStream", "ManagedBuffer", "DataView", "Device", "DeviceManager"}) {
        pytavo::refuse_pickling(m.attr(name));
    }
}
