// One owner for a file descriptor, for the monitor, the service and the lab.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace platform {

// A descriptor of our own, closed with the object.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = other.Release();
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    // Gives the descriptor up without closing it.
    int Release() { return std::exchange(fd_, -1); }
    // Closes it now; the errno of close, or 0. Linux closes the descriptor
    // even when close reports an error (EINTR too), so it is never retried.
    int Reset() {
        if (fd_ < 0) return 0;
        return ::close(std::exchange(fd_, -1)) == 0 ? 0 : errno;
    }

  private:
    int fd_ = -1;
};

}  // namespace platform
