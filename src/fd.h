// An open file descriptor with one owner, for the driver and publication.
//
// Every descriptor they open is held this way from the call that opens it:
// a value is a descriptor only if an open call gave it, it is closed once,
// and nothing converts to or from it silently, so that neither a bool, nor
// 0, nor an unchecked result can stand in for one.
#ifndef ZELMOR_FD_H
#define ZELMOR_FD_H

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

class unique_fd {
  public:
    unique_fd() = default;
    // Takes the result of an open call: a descriptor, or -1 for none.
    explicit unique_fd(int fd) noexcept : fd_(fd < 0 ? -1 : fd) {}
    // Nothing but an int, as open calls return: no bool, no other number.
    template <typename T>
    explicit unique_fd(T) = delete;
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
    unique_fd &operator=(unique_fd &&other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    // Closing here is for descriptors whose close cannot lose data: those
    // that were never written, or after a failure.  Written ones go through
    // close(), which says whether the data got out.
    ~unique_fd() { reset(); }

    [[nodiscard]] bool valid() const noexcept { return fd_ >= 0; }
    [[nodiscard]] int get() const noexcept { return fd_; }

    // Closes the descriptor; 0, or -1 with errno set (EBADF when none is
    // held).
    [[nodiscard]] int close() noexcept {
        int fd = std::exchange(fd_, -1);
        if (fd < 0) errno = EBADF;
        return fd >= 0 ? ::close(fd) : -1;
    }
    // Closes the descriptor, if one is held, keeping errno as it was.
    void reset() noexcept {
        int err = errno;
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
        errno = err;
    }

  private:
    [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd) noexcept {
        reset();
        fd_ = fd;
    }
    int fd_ = -1;
};

// Makes reads and writes on `fd` wait, or not; false, with errno set, if
// it cannot.
inline bool set_blocking(int fd, bool wait) noexcept {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, wait ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

#endif
