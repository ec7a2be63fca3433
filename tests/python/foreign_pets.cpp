// Test-only extension: a second module of the same binding library, standing
// for any other extension in the process. It shares the library's base type
// and metaclass with pytavo_device, so it shows whether importing
// pytavo_device changes anything for other modules' classes.
#include <string>

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace {

struct Pet {
    std::string name;
};

}  // namespace

PYBIND11_MODULE(foreign_pets, m) {
    // Picklable through __getstate__/__setstate__: copying and unpickling go
    // through Pet.__new__, the base type's __new__.
    py::class_<Pet>(m, "Pet")
        .def(py::init<std::string>())
        .def_readonly("name", &Pet::name)
        .def(py::pickle([](const Pet& pet) { return py::make_tuple(pet.name); },
                        [](const py::tuple& state) { return Pet{state[0].cast<std::string>()}; }));
}
