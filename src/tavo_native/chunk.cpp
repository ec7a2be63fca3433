#include "chunk.hpp"

#include <new>
#include <utility>

namespace tavo_native {

namespace {

struct ChunkBytes {
    tavo::DataStream::Pulled::Data piece;
    std::uint64_t offset;
    std::shared_ptr<const void> keep_alive;  // declared after the piece: released after its bytes
};

struct Chunk {
    PyObject_HEAD
    ChunkBytes bytes;  // built in place by new_chunk, destroyed by chunk_dealloc
};

PyTypeObject* chunk_type = nullptr;
unsigned char no_bytes[1];

void chunk_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<Chunk*>(self)->bytes.~ChunkBytes();  // frees the piece, then lets keep_alive go
    type->tp_free(self);
    Py_DECREF(type);
}

int chunk_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    const auto& bytes = reinterpret_cast<Chunk*>(self)->bytes;
    const std::uint64_t size = bytes.piece.size - bytes.offset;
    unsigned char* data = size ? bytes.piece.bytes + bytes.offset : no_bytes;
    return PyBuffer_FillInfo(view, self, data, static_cast<Py_ssize_t>(size), 0, flags);
}

PyType_Slot chunk_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&chunk_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(&chunk_getbuffer)},
    {Py_tp_doc, const_cast<char*>("The bytes of one piece of a stream, exported without a copy.")},
    {0, nullptr},
};

PyType_Spec chunk_spec = {"tavo._native.Chunk", sizeof(Chunk), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, chunk_slots};

}  // namespace

bool add_chunk_type(PyObject* module) {
    chunk_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &chunk_spec, nullptr));
    return chunk_type != nullptr && PyModule_AddObjectRef(module, "Chunk", reinterpret_cast<PyObject*>(chunk_type)) == 0;
}

PyObject* new_chunk(tavo::DataStream::Pulled::Data& piece, std::uint64_t offset,
                    const std::shared_ptr<const void>& keep_alive) {
    PyObject* self = chunk_type->tp_alloc(chunk_type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<Chunk*>(self)->bytes) ChunkBytes{std::move(piece), offset, keep_alive};
    return self;
}

void take_back(PyObject* chunk, tavo::DataStream::Pulled::Data& piece) noexcept {
    piece = std::move(reinterpret_cast<Chunk*>(chunk)->bytes.piece);
    reinterpret_cast<Chunk*>(chunk)->bytes.piece = {};
}

}  // namespace tavo_native
