// A thread object that a forked child forgets instead of joining.
//
// fork() copies only the calling thread. The child inherits every thread
// object of its parent, naming threads that do not exist in it, and glibc
// hands those threads' records (descriptor and stack) to the threads the
// child starts later. Joining an inherited std::thread or std::jthread then
// waits for one of the child's own threads (a hang), or fails with EINVAL
// inside a destructor that cannot throw (an abort); detaching it detaches a
// thread of the child. A plugin whose device may be used in a forked child
// (Python's os.fork, multiprocessing's "fork" start method) holds its threads
// in this type; the module's stream workers do.
//
// Design: in the process that started it, a ForkSafeThread is a std::jthread
// (its destructor requests a stop and joins). In any other process, join(),
// detach() and the destructor forget the thread: the thread object is moved
// into storage that is never destroyed, so nothing is joined or detached.
// Forgetting leaks what the thread owned (its callable and arguments, the
// stop state, whatever its stack referred to), and so must its owner leak
// whatever the thread may have been using: the parent's thread may have been
// anywhere in its work when the process forked.
//
// The process is told by its id, read at the start and at each end. A
// process id is reused only after that process is gone, so no descendant can
// take the starter for itself while the starter lives.
//
// Threads: as std::jthread; one thread at a time calls the non-const members.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <new>
#include <stop_token>
#include <thread>
#include <utility>

namespace tavo {

class ForkSafeThread {
public:
    ForkSafeThread() noexcept = default;

    // Starts the thread as std::jthread does (a callable whose first
    // parameter is a std::stop_token gets one). Throws std::system_error if
    // no thread can be started.
    template <typename Function, typename... Args>
    explicit ForkSafeThread(Function&& function, Args&&... args)
        : thread_(std::forward<Function>(function), std::forward<Args>(args)...), starter_(::getpid()) {}

    ForkSafeThread(ForkSafeThread&& other) noexcept
        : thread_(std::move(other.thread_)), starter_(std::exchange(other.starter_, 0)) {}

    // Ends the thread this object holds (as the destructor does), then takes
    // over the other's.
    ForkSafeThread& operator=(ForkSafeThread&& other) noexcept {
        if (this != &other) {
            end();
            thread_ = std::move(other.thread_);
            starter_ = std::exchange(other.starter_, 0);
        }
        return *this;
    }

    // In the starting process: requests a stop and joins. Elsewhere: forgets.
    ~ForkSafeThread() { end(); }

    bool joinable() const noexcept { return thread_.joinable(); }
    std::thread::id get_id() const noexcept { return thread_.get_id(); }
    std::stop_source get_stop_source() noexcept { return thread_.get_stop_source(); }
    std::stop_token get_stop_token() const noexcept { return thread_.get_stop_token(); }
    bool request_stop() noexcept { return thread_.request_stop(); }

    // Whether the thread was started by this process (false when there is
    // none): in a forked child, an inherited thread does not exist.
    bool started_here() const noexcept { return thread_.joinable() && starter_ == ::getpid(); }

    // In the starting process, std::jthread::join (throws as it does).
    // Elsewhere forgets the thread and returns at once.
    void join() {
        if (started_here()) {
            thread_.join();
        } else if (thread_.joinable()) {
            forget();
        }
    }

    // In the starting process, std::jthread::detach. Elsewhere forgets.
    void detach() {
        if (started_here()) {
            thread_.detach();
        } else if (thread_.joinable()) {
            forget();
        }
    }

private:
    void end() noexcept {
        if (!thread_.joinable()) return;
        if (started_here()) {
            thread_.request_stop();
            thread_.join();  // as ~jthread: a failure terminates
        } else {
            forget();
        }
    }

    // Moves the thread object out into storage whose destructor never runs:
    // afterwards this object holds no thread, and the other one is not
    // joined, not detached, and never looked at again.
    void forget() noexcept {
        alignas(std::jthread) unsigned char storage[sizeof(std::jthread)];
        ::new (static_cast<void*>(storage)) std::jthread(std::move(thread_));
    }

    std::jthread thread_;
    pid_t starter_ = 0;  // the process that started thread_
};

}  // namespace tavo
