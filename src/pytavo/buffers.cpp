#include "buffers.hpp"

#include <cstdint>
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

// A DataView counts its exports, so that its consumer can tell whether one
// outlives the callback; a ManagedBuffer owns its bytes and needs no count.
void count_export(ManagedBuffer&, int) {}
void count_export(DataView& record, int change) {
    record.exports += static_cast<std::uint64_t>(change);
    // The last export of a view whose callback has returned: nothing can
    // reach the bytes it kept for its exports any more.
    if (record.exports == 0 && record.data == nullptr) record.kept.reset();
}

// The native record of an instance, or null for one made through __new__,
// bypassing the refused constructor. Only instances of the class and of its
// subclasses reach the buffer slots (__buffer__ checks the type as well), so
// the instance layout is the binding library's.
template <typename Record>
Record* record_of(PyObject* obj) {
    auto* instance = reinterpret_cast<py::detail::instance*>(obj);
    auto v_h = instance->get_value_and_holder(py::detail::get_type_info(typeid(Record)));
    if (!v_h || !v_h.holder_constructed()) return nullptr;
    return v_h.value_ptr<Record>();
}

// Fills `view` for an instance's record; an instance without one fails with
// BufferError. Nothing here may throw: the interpreter calls it directly.
// Runs with the lock held, like every export and release.
template <typename Record>
int export_record(PyObject* obj, Py_buffer* view, int flags) {
    auto* record = record_of<Record>(obj);
    if (record == nullptr) {
        view->obj = nullptr;
        PyErr_SetString(PyExc_BufferError, "buffer object has no native record");
        return -1;
    }
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
    // A request with PyBUF_ND is promised a shape; strides only when asked.
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? shape->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? shape->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = shape;
    count_export(*record, +1);
    return 0;
}

template <typename Record>
void release_export(PyObject* obj, Py_buffer* view) {
    delete static_cast<ExportShape*>(view->internal);
    // The export held `obj`, so its record is still there.
    if (auto* record = record_of<Record>(obj)) count_export(*record, -1);
}

// Puts our buffer slots in place of the binding library's (whose description
// functions cannot fail without ending the process) before the class is made
// ready: CPython then builds the class's __buffer__ and __release_buffer__
// from these slots, so the methods and memoryview(x) export alike.
template <typename Record>
py::custom_type_setup buffer_slots() {
    return py::custom_type_setup([](PyHeapTypeObject* type) {
        type->as_buffer.bf_getbuffer = &export_record<Record>;
        type->as_buffer.bf_releasebuffer = &release_export<Record>;
    });
}

}  // namespace

void register_buffers(py::module_& m) {
    py::class_<ManagedBuffer>(m, "ManagedBuffer", py::buffer_protocol(), buffer_slots<ManagedBuffer>());
    py::class_<DataView>(m, "DataView", py::buffer_protocol(), buffer_slots<DataView>());
}

}  // namespace pytavo
