#include "instance_guard.hpp"

#include <new>
#include <string>

namespace py = pybind11;

namespace pytavo {

void refuse_unconstructed(const py::detail::instance* instance) {
    throw py::type_error(std::string(Py_TYPE(instance)->tp_name) +
                         " object has no native object: its __init__ has not run");
}

void refuse_pickling(py::handle cls) {
    py::setattr(cls, "__reduce__",
                py::cpp_function(
                    [](py::handle self) -> py::object {
                        throw py::type_error(std::string("cannot pickle '") + Py_TYPE(self.ptr())->tp_name +
                                             "' object");
                    },
                    py::name("__reduce__"), py::is_method(cls)));
}

namespace {

ternaryfunc library_call = nullptr;  // the metaclass's own call slot

// The binding library's metaclass call, refused for a class without a
// registered native type: there the library's __new__ would abort the
// process. The check is the one that __new__ makes (all_type_info caches its
// answer for the class, as the library does on every instantiation).
PyObject* guarded_call(PyObject* cls, PyObject* args, PyObject* kwargs) {
    try {
        if (py::detail::all_type_info(reinterpret_cast<PyTypeObject*>(cls)).empty()) {
            PyErr_SetString(PyExc_TypeError,
                            "instance allocation failed: new instance has no pybind11-registered base types");
            return nullptr;
        }
    } catch (py::error_already_set& error) {
        error.restore();
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return library_call(cls, args, kwargs);
}

}  // namespace

void guard_unregistered_classes() {
    // The metaclass is shared by every module of this binding library version
    // in the process, so the guard is installed once. Its call slot is the
    // one place to refuse: calling any class of the library goes through it
    // (the metaclass has no vectorcall), while CPython compares no call slot
    // with another. A __new__ slot would not do: CPython's check that
    // X.__new__(Y) is safe compares Y's inherited __new__ slot with X's, and
    // classes that other modules made before a change keep the old slot.
    auto* metaclass = py::detail::get_internals().default_metaclass;
    if (metaclass->tp_call == &guarded_call) return;
    library_call = metaclass->tp_call;
    metaclass->tp_call = &guarded_call;
}

}  // namespace pytavo
