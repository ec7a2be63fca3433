// Knowing that the process is exiting.
//
// At interpreter exit, a thread that takes the interpreter lock while the
// interpreter finalizes is ended by CPython with a forced unwind, and a
// callback blocked forever would make any join hang. So, from the moment
// Python's atexit callbacks run (before finalization proper), the module:
// - stops joining stream workers: destroying a queue detaches its worker;
// - leaks the Python callbacks still owned by workers instead of taking the
//   lock to release them;
// - no longer releases the lock around stream-handle deletion.
#pragma once

namespace pytavo {

// Registers the atexit hook, once per process. Call with the lock held.
void install_exit_guard();

// True once the process has begun to exit. Safe from any thread.
bool python_exiting() noexcept;

}  // namespace pytavo
