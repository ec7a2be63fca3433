#include "instance_guard.hpp"

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

newfunc base_type_new = nullptr;

// The base type's own __new__, with its failure turned into TypeError. The
// half-made object of a failed allocation is leaked: its layout was never
// set up, so the base type's deallocation cannot be run on it.
PyObject* guarded_base_type_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        return base_type_new(type, args, kwargs);
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_TypeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_TypeError, "instance allocation failed");
    }
    return nullptr;
}

}  // namespace

void guard_base_type_new() {
    // The base type is shared by every module of this binding library version
    // in the process; classes made from it later (this module's among them)
    // inherit the wrapper. Where the original succeeds, the wrapper returns
    // what it returned, so only the failure changes: TypeError, not an abort.
    auto* base = reinterpret_cast<PyTypeObject*>(py::detail::get_internals().instance_base);
    if (base->tp_new == &guarded_base_type_new) return;
    base_type_new = base->tp_new;
    base->tp_new = &guarded_base_type_new;
}

}  // namespace pytavo
