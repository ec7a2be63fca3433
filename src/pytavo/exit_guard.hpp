// Taking the interpreter lock from native code, up to the process's exit.
//
// What CPython 3.12 does when it exits (Py_FinalizeEx): it joins the
// non-daemon threads, runs the atexit handlers, frees their registrations,
// and then marks the runtime as finalizing. From that moment a thread other
// than the finalizing one that takes the interpreter lock (restoring its
// thread state, or a new thread state) is ended inside that call by
// pthread_exit: a forced unwind, which aborts the process ("terminate called
// without an active exception") if it has to leave a destructor or a
// noexcept function on its way up. Later still the runtime is freed, and a
// thread state created then is a fatal error.
//
// Design: the exit gate. Native code of this module takes the lock only
// through the gate, which admits a thread while it is open and counts it
// until the thread holds the lock. The gate is closed while the interpreter
// is still whole, after the last atexit handler (see exit_guard.cpp for the
// hook), by the finalizing thread, which then waits, with the lock released,
// until every admitted thread has taken it (a callback's release: finished
// with it; see close_gate for the bound). So checking "is the process
// exiting" and taking the lock are one step: no thread of this module ever
// waits for the lock of a finalizing interpreter, or creates a thread state
// after the runtime is gone. A thread turned away at the closed gate does
// not touch Python again:
// - a stream worker delivers nothing more and leaks its Python callback;
// - a Python thread coming back from native work with the lock released
//   (DataStream.stop, __exit__, a stream's release, create_device) parks
//   forever. Only daemon threads can be there at that point; the process
//   ends them.
// Once the gate is closed, the module also stops releasing the lock around
// native work (nothing could take it back) and destroying a stream queue
// no longer joins its worker, which may be blocked in a callback forever.
//
// A worker that holds the lock may still lose it inside Python code (the
// callback's own sleep or I/O, a finalizer run by the callback's release)
// and ask for it back once finalization has begun: the interpreter then ends
// the thread inside that call with a forced unwind. Every such section of
// the workers runs inside run_python_section, which catches that unwind and
// parks the thread where the section began. Nothing is unwound past it (the
// callback's release may run in a destructor, which the unwind could not
// leave), and what the section was doing is left undone: the process ends.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <cstddef>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace pytavo {

// Arms the exit hook; does nothing when it is armed. Call with the lock
// held (the start methods and create_device do, before they release it).
void install_exit_guard();

// True once the gate is closed: the process is exiting. Safe from any thread.
bool python_exiting() noexcept;

// Admission through the gate. If enter_gate() returns true, the caller must
// take the lock now and call leave_gate() once it holds it (or once it is
// done with Python, where a whole section must finish before finalization).
bool enter_gate() noexcept;
void leave_gate() noexcept;

// Takes the lock back after PyEval_SaveThread(), through the gate. A thread
// turned away never returns (see above).
void retake_lock(PyThreadState* state) noexcept;

// Blocks the calling thread for good, touching nothing: for a thread that can
// neither return to Python nor end, once the process is exiting.
[[noreturn]] void park_thread() noexcept;

// AddressSanitizer clears the stack's record of the frames a thrown
// exception leaves, but the interpreter's forced unwind is not thrown: the
// redzones of the frames it tore down stay marked below the handler, where
// the sanitizer's own calls on the way to parking then land and are taken
// for overflows. The handler clears that record first. (Parking goes no
// deeper than a few frames, so a bounded stretch below it is enough.)
__attribute__((always_inline)) inline void forget_unwound_frames() noexcept {
#if defined(__SANITIZE_ADDRESS__)
    constexpr std::size_t stretch = 64 * 1024;
    char* const handler = static_cast<char*>(__builtin_frame_address(0));
    __asan_unpoison_memory_region(handler - stretch, stretch);
#endif
}

// Runs `section`: the Python work of a thread of this module that took the
// lock through the gate. If the interpreter ends the thread inside it (see
// above), the thread parks here instead of unwinding further. Other
// exceptions pass. The section must hold nothing by RAII that touches Python
// or the lock: it is unwound up to here.
//
// The forced unwind is not a C++ exception: it carries no object, so the
// handler's reference is bound to null, which the null check of the
// undefined-behaviour sanitizer reports. The handler never reads it.
template <typename Section>
__attribute__((no_sanitize("null"))) void run_python_section(Section&& section) {
    try {
        section();
    } catch (abi::__forced_unwind&) {
        forget_unwound_frames();
        park_thread();  // never returns, so the unwind is never resumed
    }
}

// Runs `work` (native code that must not touch Python) with the lock
// released, on a thread that holds it, and takes the lock back. Once the
// process is exiting, runs `work` with the lock held. Failures of `work`
// propagate with the lock held again.
template <typename Work>
void without_lock(Work&& work) {
    if (python_exiting()) {
        work();
        return;
    }
    PyThreadState* state = PyEval_SaveThread();
    try {
        work();
    } catch (...) {
        retake_lock(state);
        throw;
    }
    retake_lock(state);
}

}  // namespace pytavo
