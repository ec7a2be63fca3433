// A wake-up signal that one thread polls beside its ZeroMQ sockets.
//
// An eventfd: zmq::poll watches its descriptor like a socket, so a thread
// that waits for messages also wakes when another thread (or a signal
// handler) has something for it. Used by tavo-server's loop and the remote
// plugin's own threads.
//
// Threads: signal() may be called from any thread and from a signal handler
// (it is one write()); clear() by the polling thread.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace tavo::wire {

class Wakeup {
public:
    // Throws std::system_error if the process is out of descriptors.
    Wakeup() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
        if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    ~Wakeup() { ::close(fd_); }
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;

    int fd() const { return fd_; }

    // Makes fd() readable until the next clear(). A full counter (2^64 - 2
    // signals not cleared) cannot happen; a failed write leaves the signal
    // already pending.
    void signal() const noexcept {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(fd_, &one, sizeof one);
    }

    // Takes every pending signal.
    void clear() const noexcept {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto got = ::read(fd_, &count, sizeof count);
    }

private:
    int fd_;
};

}  // namespace tavo::wire
