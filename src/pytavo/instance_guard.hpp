// Python instances whose native object was never constructed.
//
// The binding library hands a method the native object behind its Python
// instance. An instance made without its class's __init__ has none: one made
// by calling __new__ directly, by copy or pickle machinery that goes through
// __new__, or a subclass instance whose own __init__ calls a method before
// super().__init__(). For those the library lazily allocates uninitialised
// storage and passes that on. Every class of the module converts its
// instances through ConstructedOnly instead, which refuses such an instance
// with TypeError before any method or property runs, and before a value a
// Python override returned is read.
//
// The specialisations must be seen wherever the types are converted: this
// header declares them for the interface types and is included by the headers
// every binding file includes (py_device.hpp, streams.hpp); buffers.hpp
// declares those of its records next to their definitions.
#pragma once

#include <pybind11/pybind11.h>

#include <tavo/device.hpp>
#include <tavo/device_manager.hpp>

namespace pytavo {

// Throws the TypeError for an instance without its native object.
[[noreturn]] void refuse_unconstructed(const pybind11::detail::instance* instance);

template <typename T>
class ConstructedOnly : public pybind11::detail::type_caster_base<T> {
public:
    bool load(pybind11::handle src, bool convert) {
        return this->template load_impl<ConstructedOnly>(src, convert);
    }
    // Called by load_impl with the instance's storage, where the library's
    // own loader would allocate a missing value.
    void load_value(pybind11::detail::value_and_holder&& v_h) {
        if (v_h.value_ptr() == nullptr) refuse_unconstructed(v_h.inst);
        this->value = v_h.value_ptr();
    }
};

// Makes `cls` refuse pickling and copying under every protocol with TypeError.
// Without it, protocols 0 and 1 call the binding library's base type (which
// only guard_unregistered_classes keeps from aborting the process); the
// others would copy an instance without its native object.
void refuse_pickling(pybind11::handle cls);

// Makes calling a class of the binding library that has no registered native
// type among its bases fail with TypeError: the library's shared base type
// itself, or a Python class derived from it alone. The library's __new__
// fails for such a class with a C++ exception that escapes through the
// interpreter and aborts the process. Every other class, this module's and
// every other module's, is called exactly as before. Call with the lock held.
void guard_unregistered_classes();

}  // namespace pytavo

#define PYTAVO_CONSTRUCTED_ONLY(T)                                                    \
    template <>                                                                         \
    class pybind11::detail::type_caster<T> : public pytavo::ConstructedOnly<T> {}

PYTAVO_CONSTRUCTED_ONLY(tavo::Device);
PYTAVO_CONSTRUCTED_ONLY(tavo::Device::DataStream);
PYTAVO_CONSTRUCTED_ONLY(tavo::DeviceManager);
PYTAVO_CONSTRUCTED_ONLY(tavo::BasicDeviceStatus);
