#include "device_access.hpp"

#include <string>

#include <pybind11/pybind11.h>

// The caster that refuses an instance whose native object was never
// constructed, shared with pytavo_device.
#include "pytavo/instance_guard.hpp"

namespace py = pybind11;

namespace tavo_native {

DeviceAccess reach_device(PyObject* object) {
    const auto* type = py::detail::get_type_info(typeid(tavo::Device));
    pytavo::ConstructedOnly<tavo::Device> caster;
    // No conversions: only the class itself and its subclasses pass.
    if (type == nullptr || !caster.load(object, false)) {
        throw py::type_error(std::string("device must be a pytavo_device.Device, not ") + Py_TYPE(object)->tp_name);
    }
    auto* device = static_cast<tavo::Device*>(caster);
    auto* instance = reinterpret_cast<py::detail::instance*>(object);
    auto v_h = instance->get_value_and_holder(type);
    std::shared_ptr<const void> keep_alive;
    if (v_h.holder_constructed()) keep_alive = v_h.holder<tavo::DeviceHandle>().get_deleter().keep_alive;
    return {device, std::move(keep_alive)};
}

}  // namespace tavo_native
