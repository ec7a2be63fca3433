// Native failures reach Python with their text whole.
//
// The binding library's own translation decodes an exception's text strictly
// as UTF-8, so a text that is not (a path with other bytes, a plugin's
// message carrying the device name it was given) became UnicodeDecodeError
// and the reason was lost. This translator, tried before the library's for
// the module's functions, maps the standard exception classes to the same
// Python types as the library does (std::bad_alloc to MemoryError, the
// runtime and other errors to RuntimeError, ...) and decodes their text with
// surrogateescape, as os.fsdecode does: every byte is kept (os.fsencode gives
// it back) and none is invented. A nested exception becomes the cause, as
// with the library. The library's own exceptions (a pending Python error, its
// builtin exceptions) pass on to its translator unchanged, and so does
// anything that is not a std::exception.
//
// Runs on the thread of the failed call, with the interpreter lock held.
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace pytavo {

namespace {

PyObject* python_type_of(const std::exception& e) {
    if (dynamic_cast<const std::bad_alloc*>(&e)) return PyExc_MemoryError;
    if (dynamic_cast<const std::domain_error*>(&e) || dynamic_cast<const std::invalid_argument*>(&e) ||
        dynamic_cast<const std::length_error*>(&e) || dynamic_cast<const std::range_error*>(&e)) {
        return PyExc_ValueError;
    }
    if (dynamic_cast<const std::out_of_range*>(&e)) return PyExc_IndexError;
    if (dynamic_cast<const std::overflow_error*>(&e)) return PyExc_OverflowError;
    return PyExc_RuntimeError;
}

// Raises `type` with `what`; an error already set (a nested failure) becomes
// its cause and context. (PyErr_Fetch rather than the newer calls: the
// module must load far enough under other interpreters to refuse them.)
void raise_text(PyObject* type, const char* what) {
    PyObject *cause_type = nullptr, *cause = nullptr, *cause_traceback = nullptr;
    PyErr_Fetch(&cause_type, &cause, &cause_traceback);
    if (cause_type != nullptr) {
        PyErr_NormalizeException(&cause_type, &cause, &cause_traceback);
        if (cause_traceback != nullptr) PyException_SetTraceback(cause, cause_traceback);
        Py_DECREF(cause_type);
        Py_XDECREF(cause_traceback);
    }
    PyObject* text = PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)), "surrogateescape");
    if (text == nullptr) {  // no memory for the text: that error stands
        Py_XDECREF(cause);
        return;
    }
    PyErr_SetObject(type, text);
    Py_DECREF(text);
    if (cause != nullptr) {
        PyObject *raised_type = nullptr, *raised = nullptr, *traceback = nullptr;
        PyErr_Fetch(&raised_type, &raised, &traceback);
        PyErr_NormalizeException(&raised_type, &raised, &traceback);
        PyException_SetCause(raised, Py_NewRef(cause));  // both steal a reference
        PyException_SetContext(raised, cause);
        PyErr_Restore(raised_type, raised, traceback);
    }
}

void translate(std::exception_ptr failure);

// Sets the Python error of the exception nested in `e`, if it has one.
void raise_nested(const std::exception& e, const std::exception_ptr& failure) {
    const auto* nested = dynamic_cast<const std::nested_exception*>(&e);
    if (nested == nullptr || !nested->nested_ptr() || nested->nested_ptr() == failure) return;
    try {
        translate(nested->nested_ptr());
    } catch (...) {
        py::detail::translate_exception(std::current_exception());
    }
}

void translate(std::exception_ptr failure) {
    if (!failure) return;
    try {
        std::rethrow_exception(failure);
    } catch (const py::error_already_set&) {
        throw;
    } catch (const py::builtin_exception&) {
        throw;
    } catch (const std::exception& e) {
        raise_nested(e, failure);
        raise_text(python_type_of(e), e.what());
    }
}

}  // namespace

void register_exception_translation() { py::register_local_exception_translator(&translate); }

}  // namespace pytavo
