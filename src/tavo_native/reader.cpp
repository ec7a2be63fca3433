// The Reader type: starting, closing and deallocating a pulled stream, and
// the small methods the Python half (tavo._reader) builds on.
#include "reader.hpp"

#include <new>
#include <utility>

#include "device_access.hpp"
#include "errors.hpp"
#include "pytavo/exit_guard.hpp"

namespace tavo_native {

namespace {

using tavo::DataStream::PullQueue;

PyObject* reader_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<Reader*>(self)->state = new (std::nothrow) ReaderState;
    if (reinterpret_cast<Reader*>(self)->state == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

// _start(device, addr, chunk_size, alignment, max_items, max_bytes,
// raise_overflow): starts the stream; False when the device starts none.
// The arguments are checked by the Python half.
PyObject* reader_start(PyObject* self, PyObject* args) {
    PyObject* device = nullptr;
    unsigned int addr = 0;
    unsigned long long chunk_size = 0, alignment = 0, max_items = 0, max_bytes = 0;
    int raise_overflow = 1;
    if (!PyArg_ParseTuple(args, "OIKKKKp:_start", &device, &addr, &chunk_size, &alignment, &max_items, &max_bytes,
                          &raise_overflow)) {
        return nullptr;
    }
    ReaderState& s = state_of(self);
    if (s.queue) {
        PyErr_SetString(PyExc_RuntimeError, "the reader's stream has started already");
        return nullptr;
    }
    return guarded(
        [&]() -> PyObject* {
            auto access = reach_device(device);
            pytavo::install_exit_guard();
            auto queue = std::make_shared<PullQueue>(PullQueue::Limits{max_items, max_bytes, alignment});
            // Called with the lock held, like the module's own start methods.
            // A sink the device did not take is destroyed here: it holds
            // nothing of Python and no thread, so the lock may stay held.
            auto sink = PullQueue::make_sink(queue);
            auto handle = access.device->start_read_stream(addr, std::move(sink), chunk_size);
            sink = nullptr;
            if (!handle || !*handle) Py_RETURN_FALSE;
            s.queue = std::move(queue);
            s.handle = std::move(*handle);
            s.keep_alive = std::move(access.keep_alive);
            s.device = Py_NewRef(device);
            s.raise_overflow = raise_overflow != 0;
            s.closed = false;
            Py_RETURN_TRUE;
        },
        static_cast<PyObject*>(nullptr));
}

// Closes the reader: pushes are discarded from now on, waits end, the device
// stops and its handle is destroyed, and what was pulled is freed. Any thread
// may close, and more than once: a close that finds another one stopping the
// stream waits for it (without the lock), so that every close returns with
// nothing of the stream running.
void close_reader(ReaderState& s) {
    if (!s.queue) return;  // never started
    s.closed = true;
    s.queue->close();
    if (pytavo::python_exiting()) {
        // A reader left open at exit. Stopping its stream would join the
        // device's threads one stream at a time, each to be scheduled among
        // every other open stream's (50 unpaced streams: seconds); the
        // process is ending, and they touch nothing of Python: the handle is
        // left as it is, and what they still push is discarded. Its code must
        // stay loaded: a share of keep_alive is left with it.
        if (s.handle) {
            (void)s.handle.release();
            (void)new (std::nothrow) std::shared_ptr<const void>(s.keep_alive);
        }
        return;
    }
    auto handle = std::move(s.handle);
    pytavo::without_lock([&] {
        std::lock_guard stopping(s.close_mutex);
        if (handle) handle->stop();
        handle.reset();  // joins the device's threads; destroys the sink, unless the device keeps it
    });
    s.head.clear();  // frees the pieces: the release functions are the plugin's, still held by keep_alive
    free_spent(s);
    s.head_bytes = s.head_markers = s.front_taken = 0;
    ++s.generation;
}

PyObject* reader_close(PyObject* self, PyObject*) {
    return guarded(
        [self]() -> PyObject* {
            close_reader(state_of(self));
            Py_RETURN_NONE;
        },
        static_cast<PyObject*>(nullptr));
}

// A reader dropped unclosed (or collected in a cycle, or left at exit) is
// closed here, on the thread that drops it.
void reader_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (ReaderState* state = reinterpret_cast<Reader*>(self)->state) {
        PyObject* pending = PyErr_GetRaisedException();
        try {
            close_reader(*state);
        } catch (...) {
            set_error_from_exception();
            PyErr_WriteUnraisable(self);
        }
        PyObject* device = std::exchange(state->device, nullptr);
        auto keep_alive = std::move(state->keep_alive);
        delete state;       // what is left of the queue's share
        Py_XDECREF(device); // the device, which is the plugin's code ...
        keep_alive.reset(); // ... so its library goes last
        PyErr_SetRaisedException(pending);
    }
    type->tp_free(self);
    Py_DECREF(type);
}

int reader_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (ReaderState* state = reinterpret_cast<Reader*>(self)->state) Py_VISIT(state->device);
    return 0;
}

PyObject* reader_closed(PyObject* self, void*) { return PyBool_FromLong(state_of(self).closed); }

PyObject* reader_counts(PyObject* self, PyObject*) {
    const ReaderState& s = state_of(self);
    const auto c = s.queue ? s.queue->counts() : PullQueue::Counts{0, 0, 0, 0};
    return Py_BuildValue("(KKKK)", static_cast<unsigned long long>(c.pieces), static_cast<unsigned long long>(c.bytes),
                         static_cast<unsigned long long>(c.dropped), static_cast<unsigned long long>(c.errors));
}

// The event-loop side of waiting: the fd to watch, a task's registration
// (True when it must wait: nothing to take yet; False leaves nothing
// registered), its removal, and clearing the fd in the loop's callback.
PyObject* reader_wake_fd(PyObject* self, PyObject*) {
    const ReaderState& s = state_of(self);
    return PyLong_FromLong(s.queue ? s.queue->wait_fd() : -1);
}

PyObject* reader_arm_async(PyObject* self, PyObject*) {
    ReaderState& s = state_of(self);
    if (s.closed) Py_RETURN_FALSE;
    ++s.async_waits;
    rearm(s);
    if (!pull_for(s, Need{0})) Py_RETURN_TRUE;
    --s.async_waits;
    rearm(s);
    Py_RETURN_FALSE;
}

PyObject* reader_disarm_async(PyObject* self, PyObject*) {
    ReaderState& s = state_of(self);
    if (s.async_waits > 0) --s.async_waits;
    rearm(s);
    Py_RETURN_NONE;
}

PyObject* reader_clear_wake(PyObject* self, PyObject*) {
    const ReaderState& s = state_of(self);
    if (s.queue) (void)s.queue->clear_wake();
    Py_RETURN_NONE;
}

PyMethodDef reader_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&reader_read)), METH_VARARGS | METH_KEYWORDS,
     "read(n, timeout=None)\n--\n\nExactly `n` bytes; fewer only at the end of the stream, then b\"\".\n"
     "Raises TimeoutError if `timeout` seconds (None or inf: no limit) pass first, taking nothing.\n"
     "A device error or a gap within the n bytes raises StreamError or Overflow after the bytes\n"
     "before it, which it carries as .partial."},
    {"readinto", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&reader_readinto)),
     METH_VARARGS | METH_KEYWORDS,
     "readinto(buffer, timeout=None)\n--\n\nFills `buffer` (any writable bytes-like object) and returns its length;\n"
     "fewer bytes only at the end of the stream, then 0. Timeouts, errors and gaps as for read()."},
    {"close", &reader_close, METH_NOARGS,
     "Stops the stream and drops what was buffered; returns when nothing of the stream runs any more.\n"
     "Later reads raise ValueError. Any thread may call it."},
    {"_start", &reader_start, METH_VARARGS, nullptr},
    {"_counts", &reader_counts, METH_NOARGS, nullptr},
    {"_next_nowait", &reader_next_nowait, METH_NOARGS, nullptr},
    {"_wake_fd", &reader_wake_fd, METH_NOARGS, nullptr},
    {"_arm_async", &reader_arm_async, METH_NOARGS, nullptr},
    {"_disarm_async", &reader_disarm_async, METH_NOARGS, nullptr},
    {"_clear_wake", &reader_clear_wake, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"closed", &reader_closed, nullptr, "True once the reader is closed (or was never started).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&reader_traverse)},
    {Py_tp_iter, reinterpret_cast<void*>(&PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(&reader_iternext)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {Py_tp_doc, const_cast<char*>("The native half of tavo.StreamReader.")},
    {0, nullptr},
};

PyType_Spec reader_spec = {"tavo._native.Reader", sizeof(Reader), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, reader_slots};

}  // namespace

PyObject* closed_error() {
    PyErr_SetString(PyExc_ValueError, "read from a closed StreamReader");
    return nullptr;
}

bool add_reader_type(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &reader_spec, nullptr);
    const bool added = type != nullptr && PyModule_AddObjectRef(module, "Reader", type) == 0;
    Py_XDECREF(type);
    return added;
}

}  // namespace tavo_native
