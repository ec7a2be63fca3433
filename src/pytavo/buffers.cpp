#include "buffers.hpp"

#include <new>

namespace py = pybind11;

namespace pytavo {

namespace {

// What one export keeps alive: its own one-element shape and strides.
struct ExportShape {
    Py_ssize_t shape[1];
    Py_ssize_t strides[1];
};

unsigned char empty_bytes[1];

unsigned char* bytes_of(const ManagedBuffer& record) { return record.data.get(); }
unsigned char* bytes_of(const DataView& record) { return record.data; }

// Fills `view` for an instance's record. An instance made through __new__,
// bypassing the refused constructor, has no record: its export fails with
// BufferError instead of reaching a null record. Nothing here may throw: the
// interpreter calls it directly.
template <typename Record>
int export_record(PyObject* obj, Py_buffer* view, int flags) {
    // Only instances of the class itself reach this slot (it is the class's
    // own), so the instance layout is the binding library's.
    auto* instance = reinterpret_cast<py::detail::instance*>(obj);
    auto v_h = instance->get_value_and_holder(py::detail::get_type_info(typeid(Record)));
    if (!v_h || !v_h.holder_constructed() || v_h.value_ptr() == nullptr) {
        view->obj = nullptr;
        PyErr_SetString(PyExc_BufferError, "buffer object has no native record");
        return -1;
    }
    const auto* record = v_h.value_ptr<Record>();
    auto* shape = new (std::nothrow) ExportShape;
    if (shape == nullptr) {
        view->obj = nullptr;
        PyErr_NoMemory();
        return -1;
    }
    const auto size = static_cast<Py_ssize_t>(record->size);
    unsigned char* bytes = size ? bytes_of(*record) : empty_bytes;
    shape->shape[0] = size;
    shape->strides[0] = 1;
    view->buf = bytes;
    view->obj = Py_NewRef(obj);  // the export keeps the Python object alive
    view->len = size;
    view->itemsize = 1;
    view->readonly = 0;
    view->ndim = 1;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>("B") : nullptr;
    const bool strided = (flags & PyBUF_STRIDES) == PyBUF_STRIDES;
    view->shape = strided ? shape->shape : nullptr;
    view->strides = strided ? shape->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = shape;
    return 0;
}

void release_export(PyObject*, Py_buffer* view) { delete static_cast<ExportShape*>(view->internal); }

// Replaces the binding library's buffer slot with ours: its description
// functions cannot fail without ending the process.
template <typename Record>
void install_buffer_slots(py::handle cls) {
    auto* type = reinterpret_cast<PyHeapTypeObject*>(cls.ptr());
    type->as_buffer.bf_getbuffer = &export_record<Record>;
    type->as_buffer.bf_releasebuffer = &release_export;
}

}  // namespace

void register_buffers(py::module_& m) {
    py::class_<ManagedBuffer> managed(m, "ManagedBuffer", py::buffer_protocol());
    install_buffer_slots<ManagedBuffer>(managed);
    py::class_<DataView> view(m, "DataView", py::buffer_protocol());
    install_buffer_slots<DataView>(view);
}

}  // namespace pytavo
