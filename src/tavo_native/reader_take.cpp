// Taking from the stream: read(), readinto() and iteration.
//
// Each call waits (reader_wait.cpp) until what it needs is pulled, prepares
// its result and whatever exception it will raise, takes off head, and then
// runs the signal handlers: if one raises, what was taken goes back where it
// was, and the exception leaves the call with nothing taken. An interrupt
// therefore never loses bytes. (CPython itself runs the handler of a signal
// that arrives during the few instructions between that check and the
// caller's next instruction once the call has returned, and drops its result
// then, as it does for any call.)
#include <cstring>
#include <string>
#include <vector>

#include "chunk.hpp"
#include "errors.hpp"
#include "reader.hpp"

namespace tavo_native {

namespace {

using Deadline = std::optional<std::chrono::steady_clock::time_point>;

// Bytes of head.front() still to take.
std::uint64_t left_in(const ReaderState& s, const pulled::Data& piece, bool front) {
    return piece.size - (front ? s.front_taken : 0);
}

// The data bytes before the first marker in head, at most n, and that marker
// (null when the n bytes come first).
std::pair<std::uint64_t, const pulled::Item*> scan(const ReaderState& s, std::uint64_t n) {
    std::uint64_t count = 0;
    bool front = true;
    for (const auto& item : s.head) {
        if (count == n) return {count, nullptr};
        const auto* piece = std::get_if<pulled::Data>(&item);
        if (piece == nullptr) return {count, &item};
        count += std::min(n - count, left_in(s, *piece, front));
        front = false;
    }
    return {count, nullptr};
}

void copy_out(const ReaderState& s, unsigned char* out, std::uint64_t count) {
    bool front = true;
    for (auto it = s.head.begin(); count > 0; ++it, front = false) {
        const auto& piece = std::get<pulled::Data>(*it);
        const std::uint64_t offset = front ? s.front_taken : 0;
        const std::uint64_t take = std::min(count, piece.size - offset);
        std::memcpy(out, piece.bytes + offset, take);
        out += take;
        count -= take;
    }
}

// What a call took off head, kept until the signal handlers have run: put
// back if one of them raises, given up otherwise.
struct Taken {
    std::vector<pulled::Item> items;  // in stream order
    std::uint64_t front_taken;        // head's, before
    std::uint64_t bytes = 0, markers = 0;
    std::uint64_t freed = 0;  // bytes of the pieces wholly taken
};

// Takes `count` bytes, then the marker after them if `marker`.
Taken take(ReaderState& s, std::uint64_t count, bool marker) {
    Taken taken{std::move(s.scratch), s.front_taken, count, marker ? 1u : 0u};
    s.head_bytes -= count;
    while (!s.head.empty()) {
        auto* piece = std::get_if<pulled::Data>(&s.head.front());
        if (piece == nullptr) break;
        const std::uint64_t left = piece->size - s.front_taken;
        if (count < left) {
            s.front_taken += count;
            break;
        }
        count -= left;
        taken.freed += piece->size;
        taken.items.push_back(std::move(s.head.front()));
        s.head.pop_front();
        s.front_taken = 0;
    }
    if (marker) {
        taken.items.push_back(std::move(s.head.front()));
        s.head.pop_front();
        --s.head_markers;
    }
    ++s.generation;
    return taken;
}

void put_back(ReaderState& s, Taken& taken) {
    for (auto it = taken.items.rbegin(); it != taken.items.rend(); ++it) s.head.push_front(std::move(*it));
    taken.items.clear();
    s.scratch = std::move(taken.items);
    s.front_taken = taken.front_taken;
    s.head_bytes += taken.bytes;
    s.head_markers += taken.markers;
    ++s.generation;
}

// Taken for good. Freeing the pieces (each through the plugin's release
// function) waits for the next call: here it would widen the window after the
// last signal check. Their bytes count against the bound until then.
// Appended, not swapped in: spent is empty when this call began, but another
// thread's call may have given up its own pieces while this one waited.
void give_up(ReaderState& s, Taken& taken) {
    if (s.spent.empty()) {
        std::swap(s.spent, taken.items);
    } else {
        for (auto& item : taken.items) s.spent.push_back(std::move(item));
        taken.items.clear();
    }
    s.spent_bytes += taken.freed;
    s.scratch = std::move(taken.items);
}

// The exception a marker (not the end) raises. Python code runs here: the
// lock may change hands, so nothing of head may be held across it.
PyObject* marker_error(pulled::Item& item) {
    if (auto* gap = std::get_if<pulled::Dropped>(&item)) return new_overflow(gap->take());
    const std::string text = std::get<pulled::Error>(item).text;
    return new_stream_error(text);
}

PyObject* raise_error(PyObject* error) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
    Py_DECREF(error);
    return nullptr;
}

bool parse_deadline(PyObject* timeout, Deadline& deadline) {
    if (timeout == Py_None) return true;
    const double seconds = PyFloat_AsDouble(timeout);
    if (seconds == -1.0 && PyErr_Occurred()) return false;
    if (!(seconds >= 0)) {
        PyErr_Format(PyExc_ValueError, "timeout must be a non-negative number of seconds or None, not %R", timeout);
        return false;
    }
    if (seconds < 1e9) {  // beyond 30 years (inf included): no deadline
        deadline = std::chrono::steady_clock::now() +
                   std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    }
    return true;
}

// read() (target null: returns bytes) and readinto() (returns the count).
PyObject* fill(PyObject* self, std::uint64_t n, Py_buffer* target, PyObject* timeout) {
    Deadline deadline;
    if (!parse_deadline(timeout, deadline)) return nullptr;
    ReaderState& s = state_of(self);
    free_spent(s);
    for (;;) {
        if (s.closed) return closed_error();
        if (n == 0) return target ? PyLong_FromLong(0) : PyBytes_FromStringAndSize(nullptr, 0);
        const Need need{n};
        switch (wait_for(s, need, deadline)) {
        case Waited::failed: return nullptr;
        case Waited::timed_out:
            return PyErr_Format(PyExc_TimeoutError, "%llu bytes did not arrive within %R s",
                                static_cast<unsigned long long>(n), timeout);
        case Waited::ready: break;
        }
        if (s.closed) return closed_error();
        const std::uint64_t generation = s.generation;
        const auto [count, marker] = scan(s, n);
        PyObject* result = target ? PyLong_FromUnsignedLongLong(count)
                                  : PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count));
        if (result == nullptr) return nullptr;
        auto* out = target ? static_cast<unsigned char*>(target->buf)
                           : reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(result));
        copy_out(s, out, count);
        PyObject* error = nullptr;
        if (marker != nullptr && !std::holds_alternative<pulled::End>(*marker)) {
            // Raised after the bytes before it; they go with it as .partial.
            error = marker_error(const_cast<pulled::Item&>(*marker));
            PyObject* partial = error ? PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out),
                                                                   static_cast<Py_ssize_t>(count))
                                      : nullptr;
            const bool set = partial && PyObject_SetAttrString(error, "partial", partial) == 0;
            Py_XDECREF(partial);
            if (!set) {
                Py_XDECREF(error);
                Py_DECREF(result);
                return nullptr;
            }
        }
        if (s.closed || s.generation != generation) {  // while Python code ran: look again
            Py_XDECREF(error);
            Py_DECREF(result);
            continue;
        }
        Taken taken = take(s, count, error != nullptr);
        if (PyErr_CheckSignals() < 0) {
            put_back(s, taken);
            Py_XDECREF(error);
            Py_DECREF(result);
            return nullptr;
        }
        give_up(s, taken);
        if (error == nullptr) return result;
        Py_DECREF(result);
        return raise_error(error);
    }
}

bool byte_count(PyObject* n, Py_ssize_t& count) {
    count = PyNumber_AsSsize_t(n, PyExc_OverflowError);
    if (count == -1 && PyErr_Occurred()) return false;
    if (count < 0) {
        PyErr_SetString(PyExc_ValueError, "read() needs a byte count of 0 or more");
        return false;
    }
    return true;
}

// The next chunk: a memoryview of a Chunk that takes the front piece over,
// or back where it was when there is no memory for the view or a signal
// handler raises.
PyObject* take_chunk(ReaderState& s) {
    Taken taken{std::move(s.scratch), s.front_taken, left_in(s, std::get<pulled::Data>(s.head.front()), true)};
    taken.freed = std::get<pulled::Data>(s.head.front()).size;
    taken.items.push_back(std::move(s.head.front()));
    s.head.pop_front();
    s.head_bytes -= taken.bytes;
    s.front_taken = 0;
    ++s.generation;
    auto& piece = std::get<pulled::Data>(taken.items.front());
    PyObject* chunk = new_chunk(piece, taken.front_taken, s.keep_alive);
    PyObject* view = chunk ? PyMemoryView_FromObject(chunk) : nullptr;
    if (view == nullptr || PyErr_CheckSignals() < 0) {
        if (chunk) take_back(chunk, piece);
        Py_XDECREF(view);
        Py_XDECREF(chunk);
        put_back(s, taken);
        return nullptr;
    }
    Py_DECREF(chunk);
    give_up(s, taken);  // the Chunk has the bytes: the caller holds them now, not the reader
    return view;
}

// __next__ (block) and _next_nowait: the next chunk, the end
// (StopIteration; it stays, so every later call sees it too) or a marker's
// exception. _next_nowait returns None when nothing is there yet.
PyObject* next_chunk(PyObject* self, bool block) {
    ReaderState& s = state_of(self);
    free_spent(s);
    for (;;) {
        if (s.closed) return closed_error();
        if (block) {
            if (wait_for(s, Need{0}, std::nullopt) == Waited::failed) return nullptr;
            if (s.closed) return closed_error();
        } else if (!pull_for(s, Need{0})) {
            Py_RETURN_NONE;
        }
        auto& front = s.head.front();
        if (std::holds_alternative<pulled::End>(front)) {
            if (!block) PyErr_SetNone(PyExc_StopIteration);
            return nullptr;  // from tp_iternext with no error set: StopIteration
        }
        if (std::holds_alternative<pulled::Data>(front)) return take_chunk(s);
        const std::uint64_t generation = s.generation;
        PyObject* error = marker_error(front);
        if (error == nullptr) return nullptr;
        if (s.closed || s.generation != generation) {  // while Python code ran: look again
            Py_DECREF(error);
            continue;
        }
        Taken taken = take(s, 0, true);
        if (PyErr_CheckSignals() < 0) {
            put_back(s, taken);
            Py_DECREF(error);
            return nullptr;
        }
        give_up(s, taken);
        return raise_error(error);
    }
}

}  // namespace

PyObject* reader_read(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"n", "timeout", nullptr};
    PyObject *n = nullptr, *timeout = Py_None;
    Py_ssize_t count = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:read", const_cast<char**>(names), &n, &timeout) ||
        !byte_count(n, count)) {
        return nullptr;
    }
    return fill(self, static_cast<std::uint64_t>(count), nullptr, timeout);
}

PyObject* reader_readinto(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"buffer", "timeout", nullptr};
    PyObject *buffer = nullptr, *timeout = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:readinto", const_cast<char**>(names), &buffer, &timeout)) {
        return nullptr;
    }
    Py_buffer target;
    if (PyObject_GetBuffer(buffer, &target, PyBUF_SIMPLE) < 0) return nullptr;
    PyObject* result = nullptr;
    if (target.readonly) {
        PyErr_SetString(PyExc_TypeError, "readinto() needs a writable buffer");
    } else {
        result = fill(self, static_cast<std::uint64_t>(target.len), &target, timeout);
    }
    PyBuffer_Release(&target);
    return result;
}

PyObject* reader_iternext(PyObject* self) { return next_chunk(self, true); }

PyObject* reader_next_nowait(PyObject* self, PyObject*) { return next_chunk(self, false); }

}  // namespace tavo_native
