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

}  // namespace pytavo
